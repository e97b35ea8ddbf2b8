"""The `sonorik` command, run in subprocesses as a user runs it."""

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
from pathlib import Path

import pytest

import sonorik
import wavgen

ALL = (True,) * 7
SOME = (True, False, False, True, True, False, False)  # integrated, range, true peak
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
        info, res = sonorik.analyze_audio_all(path)
        assert row[1:5] == [info.duration_formatted, str(info.sample_rate), str(info.channels), info.sample_format]
        assert row[5:] == [f"{getattr(res, m):.2f}" for m in wavgen.MEASURES]


def test_measure_options_choose_the_columns_and_verbose_shows_notices(album):
    out, err = text(sonorik_cmd("analyze", "-v", *SOME_OPTIONS, album / "a_tone.wav"))
    headers, rows = table_rows(out)
    assert [h.split() for h in headers] == [["File", "Duration", "Rate", "Ch", "Format", "Integrated", "Range", "True",
                                             "peak"], ["Hz", "LUFS", "LU", "dBTP"]]
    assert len(rows[0]) == 8
    assert "Extended" in err and "Extended" not in out


@pytest.mark.parametrize("fmt", ["csv", "tsv", "json", "xml"])
def test_reports_are_what_the_export_function_writes(tmp_path, files, fmt):
    expected = tmp_path / f"expected.{fmt}"
    getattr(sonorik, f"export_to_{fmt}")(files, str(expected), *SOME)
    out = tmp_path / "new" / f"report.{fmt}"
    for _ in range(2):  # the second run appends, without a second header
        assert sonorik_cmd("analyze", "--format", fmt, "-o", out, *SOME_OPTIONS, *files).returncode == 0
    getattr(sonorik, f"export_to_{fmt}")(files, str(expected), *SOME)
    assert out.read_bytes() == expected.read_bytes()

    to_stdout = sonorik_cmd("analyze", "--format", fmt, *SOME_OPTIONS, *files)
    once = tmp_path / f"once.{fmt}"
    getattr(sonorik, f"export_to_{fmt}")(files, str(once), *SOME)
    assert to_stdout.stdout == once.read_bytes()


@pytest.mark.parametrize("fmt", ["table", "json"])
def test_two_jobs_give_the_results_of_one_in_input_order(files, fmt):
    order = files[::-1] + files[:2]  # not sorted, with repeats
    one = sonorik_cmd("analyze", "--format", fmt, "-j", 1, *order)
    two = sonorik_cmd("analyze", "--format", fmt, "-j", 2, *order)
    assert one.returncode == two.returncode == 0
    assert two.stdout == one.stdout
    if fmt == "json":
        names = [json.loads(line)["file_name_ext"] for line in two.stdout.splitlines()]
        assert names == [Path(p).name for p in order]


@pytest.mark.parametrize("jobs", [1, 2])
def test_failures_are_one_line_each_and_the_rest_is_reported(tmp_path, album, jobs):
    damaged = tmp_path / "damaged.wav"
    damaged.write_bytes(b"RIFF\x04\x00\x00\x00WAVE")
    result = sonorik_cmd("analyze", "-j", jobs, "--integrated", damaged, album / "a_tone.wav", "missing.wav")
    out, err = text(result)
    assert result.returncode == 1
    assert [r[0] for r in table_rows(out)[1]] == [str(album / "a_tone.wav")]
    missing, bad = err.splitlines()
    assert missing == 'sonorik: missing.wav: Failed to scan directory: Path does not exist: "missing.wav"'
    assert bad.startswith(f"sonorik: {damaged}: Failed to open WAV file: ")


@pytest.mark.parametrize("args, status", [
    (["analyze"], 2),
    (["analyze", "--jobs", "0", "x.wav"], 2),
    (["analyze", "--format", "yaml", "x.wav"], 2),
    (["normalize", "--to", "loudest", "-1", "x.wav"], 2),
    (["normalize", "--to", "integrated", "loud", "x.wav"], 2),
    ([], 2),
    (["analyze", "{empty}"], 1),
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


@pytest.mark.parametrize("measure, function", [
    ("integrated", "normalize_integrated_loudness"), ("short-term", "normalize_short_term_loudness"),
    ("momentary", "normalize_momentary_loudness"), ("true-peak", "normalize_true_peak"),
    ("rms-max", "normalize_rms_max"), ("rms-average", "normalize_rms_average"),
])
def test_normalize_calls_the_library_function_of_the_measure(tmp_path, album, measure, function):
    source = shutil.copy(album / "b_noise.wav", tmp_path / "in_place.wav")
    expected = tmp_path / "expected.wav"
    getattr(sonorik, function)(str(source), -20.0, str(expected))
    result = sonorik_cmd("normalize", "--to", measure, "-20", source, "-o", tmp_path / "out.wav")
    assert result.returncode == 0, result.stderr
    assert result.stdout.decode() == f"wrote {tmp_path / 'out.wav'}\n"
    assert (tmp_path / "out.wav").read_bytes() == expected.read_bytes()
    if measure == "rms-average":  # a range, in place
        getattr(sonorik, function)(str(source), -30.0, str(expected), -25.0)
        assert sonorik_cmd("normalize", "--to", measure, "--range", "-25", "-30", source).returncode == 0
        assert Path(source).read_bytes() == expected.read_bytes()


def test_info_lists_each_file(album, files):
    out, _ = text(sonorik_cmd("info", *files))
    rows = table_rows(out)[1]
    for path, row in zip(files, rows):
        info = sonorik.get_audio_info_py(path)
        assert row == [path, info.sample_format, str(info.bit_depth), str(info.sample_rate),
                       str(info.channels), str(info.total_samples), info.duration_formatted,
                       f"{info.duration_seconds:.3f}"]


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
