"""The `sonorik` command, run in subprocesses as a user runs it."""

import csv
import fcntl
import json
import os
import pty
import select
import shutil
import struct
import subprocess
import sys
import termios
import xml.etree.ElementTree as ET
from pathlib import Path

import pytest

import sonorik
import sonorik_meter
import wavgen

SOME_OPTIONS = ["--integrated", "--loudness-range", "--true-peak"]


def sonorik_cmd(*args):
    return subprocess.run([sys.executable, "-m", "sonorik_cli", *map(str, args)], capture_output=True)


def text(result):
    return result.stdout.decode(), result.stderr.decode()


@pytest.fixture(scope="module")
def album(tmp_path_factory):
    """Four short files of different levels and formats (each under 5 s, so
    the analyzer writes notices to descriptor 1 for every one of them)."""
    d = tmp_path_factory.mktemp("album")
    wavgen.write_wav(d / "a_tone.wav", wavgen.sine(1.0, 16000, 2, -12.0), 16000, 2, 16)
    wavgen.write_wav(d / "b_noise.wav", wavgen.noise(1.5, 16000, 1, -30.0), 16000, 1, 24)
    wavgen.write_wav(d / "c_float.wav", wavgen.sine(0.5, 22050, 1, -3.0, 440.0), 22050, 1, kind="float")
    (d / "sub").mkdir()
    wavgen.write_wav(d / "sub" / "d_quiet.wav", wavgen.sine(1.0, 16000, 1, -40.0), 16000, 1, 16)
    return d


@pytest.fixture(scope="module")
def files(album):
    return sonorik.find_audio_files(str(album))


def test_the_demo_examples_are_written_and_analysed(tmp_path):
    script = Path(__file__).resolve().parents[2] / "examples" / "make_examples.py"
    subprocess.run([sys.executable, str(script), str(tmp_path)], check=True, capture_output=True)
    result = sonorik_cmd("analyze", tmp_path)
    assert result.returncode == 0, text(result)
    assert len(table_rows(text(result)[0])[1]) == 4


def table_rows(stdout):
    lines = stdout.splitlines()
    return lines[:2], [line.split() for line in lines[2:]]


def test_table_has_one_aligned_row_per_file_with_the_library_values(album, files):
    result = sonorik_cmd("analyze", "-j", 1, album)
    out, err = text(result)
    assert result.returncode == 0, err
    headers, rows = table_rows(out)
    assert [r[0] for r in rows] == files
    # Every line ends in a right-aligned number column: equal lengths mean aligned.
    assert len({len(line) for line in out.splitlines()[2:]} | {len(headers[0])}) == 1
    assert "Extended" not in out  # the analyzer's notices stay off standard output
    for path, row in zip(files, rows):
        m = sonorik_meter.measure(path)
        levels = [m.integrated_lufs, m.short_term_max_lufs, m.momentary_max_lufs,
                  m.loudness_range_lu, m.true_peak_dbtp, m.sample_peak_dbfs, m.rms_max_dbfs,
                  m.rms_average_dbfs]
        assert row[2:4] + [" ".join(row[4:6])] == [str(m.rate_hz), str(m.channels), m.format]
        assert row[6:] == ["-" if v is None else f"{v:.2f}" for v in levels]


def test_measure_options_choose_the_columns(album):
    out, err = text(sonorik_cmd("analyze", *SOME_OPTIONS, album / "a_tone.wav"))
    headers, rows = table_rows(out)
    assert headers[0].split()[5:] == ["Integrated", "Range", "True", "peak"]
    assert headers[1].split() == ["Hz", "LUFS", "LU", "dBTP"]
    assert len(rows[0]) == 9
    assert not err and "Extended" not in out  # the measurement writes no notices


def read_report(fmt, data):
    """The report's records as dicts of text (reports written by a second run
    are appended, without a second header)."""
    if fmt == "json":
        return [{k: "" if v is None else str(v) for k, v in json.loads(line).items()}
                for line in data.splitlines()]
    if fmt == "xml":
        return [dict(ET.fromstring(line).attrib) for line in data.splitlines()]
    return list(csv.DictReader(data.splitlines(), delimiter="," if fmt == "csv" else "\t"))


@pytest.mark.parametrize("fmt", ["csv", "tsv", "json", "xml"])
def test_reports_hold_the_measurement_at_full_precision(tmp_path, files, fmt):
    out = tmp_path / "new" / f"report.{fmt}"
    for append in ([], ["--append"]):  # the second run appends, without a second header
        assert sonorik_cmd("analyze", "--format", fmt, "-o", out, *append, *SOME_OPTIONS,
                           *files).returncode == 0
    records = read_report(fmt, out.read_text())
    assert len(records) == 2 * len(files)
    for record, path in zip(records, files + files):
        m = sonorik_meter.measure(path)
        assert record["file"] == path and record["format"] == m.format
        assert [float(record[k]) for k in ("integrated_lufs", "loudness_range_lu",
                                           "true_peak_dbtp") if record.get(k)] == \
            [v for v in (m.integrated_lufs, m.loudness_range_lu, m.true_peak_dbtp) if v is not None]
    to_stdout = sonorik_cmd("analyze", "--format", fmt, *SOME_OPTIONS, *files)
    assert read_report(fmt, to_stdout.stdout.decode()) == records[:len(files)]


@pytest.mark.parametrize("fmt", ["csv", "tsv", "json", "xml", "normalize json"])
def test_infinity_is_the_text_minus_inf_in_every_report(tmp_path, fmt):
    short = wavgen.write_wav(tmp_path / "short.wav", wavgen.sine(0.2, 16000), 16000)  # no block: -inf
    if fmt == "normalize json":
        result = sonorik_cmd("normalize", "--to", "true-peak", "-3", "--format", "json", short,
                             "-o", tmp_path / "out.wav")
        key = "input_integrated_lufs"
    else:
        result = sonorik_cmd("analyze", "--integrated", "--format", fmt, short)
        key = "integrated_lufs"
    out = result.stdout.decode()
    assert result.returncode == 0, result.stderr
    if "json" in fmt:  # JSON has no infinity: a bare -Infinity would not parse as JSON
        [record] = [json.loads(line, parse_constant=pytest.fail) for line in out.splitlines()]
    else:
        [record] = read_report(fmt, out)
    assert record[key] == "-inf"


@pytest.mark.parametrize("fmt", ["table", "json"])
def test_two_jobs_give_the_results_of_one_in_input_order(files, fmt):
    order = files[::-1] + files[:2]  # not sorted, with repeats
    one = sonorik_cmd("analyze", "--format", fmt, "-j", 1, *order)
    two = sonorik_cmd("analyze", "--format", fmt, "-j", 2, *order)
    assert one.returncode == two.returncode == 0
    assert two.stdout == one.stdout
    if fmt == "json":
        names = [json.loads(line)["file"] for line in two.stdout.splitlines()]
        assert names == order


@pytest.mark.parametrize("jobs", [1, 2])
def test_failures_are_one_line_each_and_the_rest_is_reported(tmp_path, album, jobs):
    damaged = tmp_path / "damaged.wav"
    damaged.write_bytes(b"RIFF\x04\x00\x00\x00WAVE")
    result = sonorik_cmd("analyze", "-j", jobs, "--integrated", damaged, album / "a_tone.wav", "missing.wav")
    out, err = text(result)
    assert result.returncode == 1
    assert [r[0] for r in table_rows(out)[1]] == [str(album / "a_tone.wav")]
    missing, bad = err.splitlines()
    assert missing == "sonorik: missing.wav: No such file or directory"
    assert bad == f"sonorik: {damaged}: Error in WAV file. No 'data' chunk marker"


@pytest.mark.parametrize("args, status", [
    (["analyze"], 2),
    (["analyze", "--jobs", "0", "x.wav"], 2),
    (["analyze", "--format", "yaml", "x.wav"], 2),
    (["normalize", "--to", "loudest", "-1", "x.wav"], 2),
    (["normalize", "--to", "integrated", "loud", "x.wav"], 2),
    (["normalize", "--to", "integrated", "-1", "x.wav", "-o", "y", "--audio-format", "../x"], 2),
    (["analyze", "--append", "--format", "csv", "x.wav"], 2),  # nothing to append to
    (["analyze", "--safe-csv", "--format", "json", "x.wav"], 2),
    ([], 2),
    (["analyze", "{empty}"], 1),
    (["analyze", "missing.wav", "{tone}"], 1),
    (["analyze", "{bad}"], 1),  # an analysis failure alone
    (["analyze", "--format", "csv", "-o", "{empty}", "{tone}"], 1),  # report path is a directory
    (["normalize", "--to", "true-peak", "-1", "missing.wav"], 1),
    (["info", "missing.wav", "{tone}"], 1),
    (["info", "{tone}"], 0),
])
def test_exit_status_and_no_traceback(tmp_path, album, args, status):
    (tmp_path / "empty").mkdir()
    (tmp_path / "bad.wav").write_bytes(b"RIFF\x04\x00\x00\x00WAVE")
    names = {"empty": tmp_path / "empty", "tone": album / "a_tone.wav", "bad": tmp_path / "bad.wav"}
    result = sonorik_cmd(*[a.format(**names) for a in args])
    out, err = text(result)
    assert result.returncode == status
    assert "Traceback" not in err
    if status == 1:
        assert err.count("\n") == 1 and err.startswith("sonorik: ")


def test_unsafe_file_names_cannot_break_the_table(tmp_path):
    path = wavgen.write_wav(tmp_path / "two\nlines\x1b[2J.wav", wavgen.sine(0.5, 16000), 16000)
    out, _ = text(sonorik_cmd("analyze", "--true-peak", path))
    assert out.splitlines()[2].split()[0] == str(tmp_path / "two\\nlines\\x1b[2J.wav")


@pytest.mark.parametrize("measure, name", [
    ("integrated", "integrated"), ("short-term", "short_term_max"), ("momentary", "momentary_max"),
    ("true-peak", "true_peak"), ("rms-max", "rms_max"), ("rms-average", "rms_average"),
])
def test_normalize_calls_the_meter_with_the_measure(tmp_path, measure, name):
    source = wavgen.write_wav(tmp_path / "in.wav", wavgen.noise(4.0, 16000, 1, -30.0), 16000, 1, 24)
    expected = tmp_path / "expected.wav"
    sonorik_meter.normalize(source, expected, target=-20.0, measure=name)
    result = sonorik_cmd("normalize", "--to", measure, "-20", source, "-o", tmp_path / "out.wav")
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out.wav").read_bytes() == expected.read_bytes()

    sonorik_meter.normalize(source, expected, target=-30.0, measure=name, range=(-60.0, -25.0))
    in_place = shutil.copy(source, tmp_path / "in_place.wav")
    assert sonorik_cmd("normalize", "--to", measure, "--range", "-25", "-60", "-30",
                       in_place).returncode == 0
    assert Path(in_place).read_bytes() == expected.read_bytes()


def test_info_lists_each_file(album, files):
    out, _ = text(sonorik_cmd("info", *files))
    rows = table_rows(out)[1]
    for path, row in zip(files, rows):
        info = sonorik_meter.info(path)  # the file's own length, not repeated
        assert row == [path, *info.format.split(), str(info.rate_hz), str(info.channels),
                       str(info.frames), row[6], f"{info.duration_s:.3f}", *info.channel_map]


def test_progress_is_shown_only_on_a_terminal(files):
    leader, follower = pty.openpty()
    # A terminal of 24 x 100 characters (a new pseudo-terminal has no size).
    fcntl.ioctl(follower, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))
    proc = subprocess.Popen([sys.executable, "-m", "sonorik_cli", "analyze", "-j", "1", *files],
                            stdout=subprocess.PIPE, stderr=follower)
    os.close(follower)
    err = b""
    while select.select([leader], [], [], 30)[0]:
        try:
            data = os.read(leader, 4096)
        except OSError:  # the other end closed
            break
        if not data:
            break
        err += data
    os.close(leader)
    assert proc.stdout.read().count(b"\n") == 2 + len(files) and proc.wait() == 0
    assert f"/{len(files)} [".encode() in err
    assert f"/{len(files)} [" not in text(sonorik_cmd("analyze", *files))[1]


def test_console_script_is_installed():
    script = Path(sys.executable).parent / "sonorik"
    if not script.exists():
        pytest.skip("the package is not installed in this interpreter's environment")
    assert subprocess.run([script, "info", "--help"], capture_output=True).stdout.startswith(b"usage: sonorik info")
