"""The `sonorik` command under hostile conditions: files it must not damage,
names no format holds as they are, colliding outputs, signals, media it
cannot read. Run in subprocesses, as a user runs it."""

import csv
import glob
import hashlib
import io
import json
import os
import shutil
import signal
import subprocess
import sys
import time
import xml.etree.ElementTree as ET

import pytest

import wavgen

TONE = wavgen.wav_bytes(wavgen.encode(wavgen.sine(1.0, 16000), 16), 1, 16000)


def run(*args, cwd=None):
    return subprocess.run([sys.executable, "-m", "sonorik_cli", *args], capture_output=True, cwd=cwd)


def digest(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def leftovers(directory):
    return glob.glob(os.path.join(glob.escape(str(directory)), "**", ".sonorik-*"), recursive=True)


# (what the file holds before, the command's options, whether it is replaced)
REPORT_TARGETS = [
    ("audio", ["--format", "csv"], False),
    ("audio", ["--format", "table"], False),
    ("audio", ["--format", "xml", "--append"], False),
    ("csv of other columns", ["--format", "csv"], False),
    ("csv of other columns", ["--format", "csv", "--append"], False),
    ("csv", ["--format", "tsv"], False),
    ("json of other fields", ["--format", "json", "--append"], False),
    ("nothing", ["--format", "csv", "--append"], True),
    ("csv", ["--format", "csv"], True),
    ("csv", ["--format", "csv", "--append"], True),
    ("json", ["--format", "json", "--append"], True),
    ("xml", ["--format", "xml"], True),
    ("table", ["--format", "table"], True),
]


@pytest.mark.parametrize("before, options, replaced", REPORT_TARGETS)
def test_an_existing_output_is_replaced_only_when_it_holds_the_same_report(
        tmp_path, before, options, replaced):
    tone = tmp_path / "tone.wav"
    tone.write_bytes(TONE)
    out = tmp_path / "out.file"
    measures = ["--integrated", "--true-peak"]
    contents = {"audio": TONE, "nothing": b"", "csv of other columns": b"file,integrated_lufs\nx,1\n",
                "json of other fields": b'{"file": "x", "integrated_lufs": 1.0}\n'}
    if before in contents:
        out.write_bytes(contents[before])
    else:  # a report of the command's own, one record
        fmt = "table" if before == "table" else before
        assert run("analyze", "--format", fmt, "-o", out, *measures, tone).returncode == 0
    old = out.read_bytes()
    result = run("analyze", "-o", out, *options, *measures, tone)
    assert leftovers(tmp_path) == []
    if not replaced:
        assert result.returncode == 1 and out.read_bytes() == old
        assert result.stderr.decode().startswith(f"sonorik: {out}: ") and "left as it is" in result.stderr.decode()
        return
    assert result.returncode == 0, result.stderr
    new = out.read_text()
    fresh = run("analyze", *options[:2], *measures, tone).stdout.decode()
    if "--append" in options and old:  # the records added, without a second header
        fresh = old.decode() + (fresh.split("\n", 1)[1] if "csv" in options else fresh)
    assert new == fresh


def test_an_interrupted_report_leaves_the_old_file_and_no_temporary_file(tmp_path, monkeypatch):
    from sonorik_cli import reports

    out = tmp_path / "r.csv"
    out.write_text("file\nold\n")

    def interrupt(*args):
        raise KeyboardInterrupt

    monkeypatch.setattr(os, "replace", interrupt)  # just before the new report takes its place
    with pytest.raises(KeyboardInterrupt):
        reports.write_report("csv", [{"file": "new"}], str(out))
    assert out.read_text() == "file\nold\n" and leftovers(tmp_path) == []


# The documented escapes: a byte that is not UTF-8 is \xNN in CSV, TSV and XML
# (XML: also the control characters it cannot hold), JSON keeps the name exactly
# (\udcNN, which os.fsencode turns back into the byte); --safe-csv puts a ' in
# front of a cell that begins with = + - @ tab CR or '.
NASTY = [b"new\nline.wav", b"cr\rname.wav", b"tab\tname.wav", b"quo\"te's,.wav", b"a<b>&c.wav",
         b"ctl\x01\x1b.wav", b"=SUM(A1).wav", b"-2+3.wav", b"@at.wav", b"'quoted.wav",
         b"bad\xff\xfebytes.wav", "caf\u00e9 \u266b.wav".encode()]


def documented(name, fmt, safe):
    text = name.decode("utf-8", "backslashreplace")
    if fmt == "xml":
        text = "".join(f"\\x{ord(c):02x}" if ord(c) < 0x20 and c not in "\t\n\r" else c for c in text)
    if safe and text.startswith(("=", "+", "-", "@", "\t", "\r", "'")):
        text = "'" + text
    return text


def parsed(fmt, data):
    if fmt == "json":
        return [os.fsencode(json.loads(line)["file"]) for line in data.decode("ascii").splitlines()]
    text = data.decode("utf-8")  # every report is UTF-8 text
    if fmt == "xml":
        return [ET.fromstring(line).attrib["file"] for line in text.splitlines()]
    reader = csv.DictReader(io.StringIO(text, newline=""), delimiter="," if fmt == "csv" else "\t")
    return [row["file"] for row in reader]


@pytest.mark.parametrize("fmt, safe", [("csv", False), ("csv", True), ("tsv", False), ("tsv", True),
                                       ("json", False), ("xml", False)])
def test_nasty_names_come_back_from_every_report_exactly_or_as_documented(tmp_path, fmt, safe):
    for name in NASTY:
        with open(os.path.join(os.fsencode(tmp_path), name), "wb") as f:
            f.write(TONE)
    names = [os.fsdecode(n) for n in NASTY]
    extra = ["--safe-csv"] if safe else []
    result = run("analyze", "--integrated", "--format", fmt, *extra, "--", *names, cwd=tmp_path)
    assert result.returncode == 0 and result.stderr == b""
    expected = NASTY if fmt == "json" else [documented(n, fmt, safe) for n in NASTY]
    assert parsed(fmt, result.stdout) == expected
    # Found in a directory, into a report file: the same names.
    out = tmp_path / "out" / f"report.{fmt}"
    assert run("analyze", "--integrated", "--format", fmt, *extra, "-o", out, ".", cwd=tmp_path).returncode == 0
    assert sorted(parsed(fmt, out.read_bytes())) == sorted(
        b"./" + n if fmt == "json" else documented(b"./" + n, fmt, safe) for n in NASTY)


def test_names_that_are_not_utf8_reach_the_terminal_escaped(tmp_path):
    (tmp_path / "d").mkdir()
    with open(os.fsencode(tmp_path / "d") + b"/t\xffne.wav", "wb") as f:
        f.write(TONE)
    missing = os.fsdecode(b"gone\xff.wav")
    for args in (["analyze", "d", missing], ["info", "d/" + os.fsdecode(b"t\xffne.wav"), missing],
                 ["normalize", "--to", "true-peak", "-3", "d", "-o", "out"]):
        result = run(*args, cwd=tmp_path)
        assert b"Traceback" not in result.stderr
        assert b"t\\xffne.wav" in result.stdout
        if args[0] != "normalize":
            assert result.returncode == 1
            assert result.stderr == b"sonorik: gone\\xff.wav: No such file or directory\n"
    assert os.listdir(os.fsencode(tmp_path / "out")) == [b"t\xffne.wav"]


# (the input directory's files, a link to make (name, target), -o (None: in place),
# --audio-format, the message after "sonorik: in: ")
COLLISIONS = [
    (["song.wav", "song.flac"], None, "out", "flac",
     "in/song.flac and in/song.wav would both be written to out/song.flac"),
    (["song.wav", "song.flac"], None, "in", "flac",
     "in/song.flac and in/song.wav would both be written to in/song.flac"),
    (["a.wav", "b.wav"], ("b.wav", "a.wav"), None, None,
     "in/a.wav and in/b.wav would both be written to in/b.wav"),
    (["a.wav", "out/a.wav"], None, "in/out", None,
     "in/a.wav would be written to in/out/a.wav, replacing the input in/out/a.wav"),
]


@pytest.mark.parametrize("names, link, output, audio_format, message", COLLISIONS)
def test_normalize_refuses_colliding_outputs_before_writing_anything(
        tmp_path, names, link, output, audio_format, message):
    for name in names:
        (tmp_path / "in" / name).parent.mkdir(parents=True, exist_ok=True)
        (tmp_path / "in" / name).write_bytes(TONE)
    if link:
        (tmp_path / "in" / link[0]).unlink()
        os.link(tmp_path / "in" / link[1], tmp_path / "in" / link[0])
    before = {p: digest(p) for p in glob.glob(f"{tmp_path}/**", recursive=True) if os.path.isfile(p)}
    args = ["normalize", "--to", "integrated", "-30", "in"]
    args += ["-o", output] if output else []
    args += ["--audio-format", audio_format] if audio_format else []
    result = run(*args, cwd=tmp_path)
    assert result.returncode == 1 and result.stdout == b""
    assert result.stderr.decode() == f"sonorik: in: {message}; nothing written\n"
    after = {p: digest(p) for p in glob.glob(f"{tmp_path}/**", recursive=True) if os.path.isfile(p)}
    assert after == before


@pytest.mark.parametrize("signame, status", [("SIGINT", 130), ("SIGTERM", 143)])
@pytest.mark.parametrize("mode", ["in place", "to another file", "directory"])
def test_a_signal_stops_normalize_at_once_and_commits_nothing(tmp_path, ten_minutes, signame,
                                                              status, mode):
    (tmp_path / "in").mkdir()
    source = tmp_path / "in" / "b_long.wav"
    shutil.copy(ten_minutes, source)
    if mode == "directory":  # a short file beside it, finished before the signal
        (tmp_path / "in" / "a_short.wav").write_bytes(TONE)
    args = {"in place": [source], "to another file": [source, "-o", tmp_path / "out.wav"],
            "directory": [tmp_path / "in", "-o", tmp_path / "out", "-j", "2"]}[mode]
    writing = tmp_path / ("in" if mode == "in place" else "out" if mode == "directory" else "")
    before = digest(source)
    proc = subprocess.Popen([sys.executable, "-m", "sonorik_cli", "normalize", "--to", "integrated",
                             "-30", *map(str, args)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # The signal comes while the long file is being written (its temporary file exists).
    deadline = time.monotonic() + 60
    short_done = (tmp_path / "out" / "a_short.wav").exists if mode == "directory" else lambda: True
    while not (short_done() and glob.glob(f"{writing}/.sonorik-*.tmp")) and proc.poll() is None:
        assert time.monotonic() < deadline
        time.sleep(0.002)
    sent = time.monotonic()
    proc.send_signal(getattr(signal, signame))
    try:
        proc.wait(timeout=10)
    finally:
        proc.kill()
    took = time.monotonic() - sent
    err = proc.stderr.read().decode()
    assert proc.returncode == status, err
    assert took < 0.5, took  # the call stops at its next block, not at the end of the file
    assert digest(source) == before and leftovers(tmp_path) == []
    finished = f"{tmp_path}/out/a_short.wav"
    if mode == "directory":
        assert err == f"sonorik: interrupted by {signame}; 1 file finished before it\nsonorik: finished: {finished}\n"
        assert sorted(os.listdir(tmp_path / "out")) == ["a_short.wav"]
    else:
        assert err == f"sonorik: interrupted by {signame}; nothing written\n"
        assert sorted(os.listdir(tmp_path)) == ["in"] and os.listdir(tmp_path / "in") == ["b_long.wav"]


# (command, status): a directory holding a readable file, a video file and a WAV
# file that cannot be opened (damaged: a failure, whose status wins over the skip);
# without the damaged file the skip's status.
SKIPS = [
    (["analyze", "d"], True, 1),
    (["analyze", "d"], False, 3),
    (["analyze", "--format", "csv", "d"], False, 3),
    (["analyze", "d", "missing.wav"], False, 1),
    (["normalize", "--to", "true-peak", "-3", "d", "-o", "out"], False, 3),
    (["analyze", "--series", "--format", "csv", "d"], False, 3),
]


@pytest.mark.parametrize("args, broken, status", SKIPS)
def test_media_a_directory_holds_but_cannot_read_is_skipped(tmp_path, args, broken, status):
    (tmp_path / "d" / "sub").mkdir(parents=True)
    (tmp_path / "d" / "good.wav").write_bytes(TONE)
    (tmp_path / "d" / "sub" / "clip.wv").write_bytes(b"wvpk")
    if broken:
        (tmp_path / "d" / "sub" / "broken.wav").write_bytes(b"RIFF\x04\x00\x00\x00WAVE")
    result = run(*args, cwd=tmp_path)
    err = result.stderr.decode().splitlines()
    assert result.returncode == status
    assert "sonorik: d/sub/clip.wv: skipped: .wv files are not read by sonorik" in err
    assert [line for line in err if "broken.wav" in line] == (
        ["sonorik: d/sub/broken.wav: Error in WAV file. No 'data' chunk marker"] if broken else [])
    assert b"good.wav" in result.stdout


# Failures name the path that failed: the output, when its folder is missing.
@pytest.mark.parametrize("args, status, message", [
    (["normalize", "--to", "integrated", "-20", "tone.wav", "-o", "gone/x.wav"], 1,
     "sonorik: gone/x.wav: cannot write it: the folder gone does not exist"),
    (["plot", "tone.wav", "-o", "gone/x.png"], 1,
     "sonorik: gone/x.png: cannot write it: the folder gone does not exist"),
    (["normalize", "--to", "integrated", "0", "tone.wav", "-o", "loud.wav"], 4, None),
])
def test_failures_name_the_output_and_capped_targets_have_their_status(tmp_path, args, status, message):
    if args[0] == "plot":
        pytest.importorskip("matplotlib")
    (tmp_path / "tone.wav").write_bytes(TONE)
    result = run(*args, cwd=tmp_path)
    assert result.returncode == status
    if message:
        assert result.stderr.decode() == message + "\n"
    else:
        assert b"capped by the -1 dBTP ceiling" in result.stdout and result.stderr == b""
