"""sonorik_meter.Meter (fed block by block) and album loudness: the fed meter
gives measure()'s numbers for the same audio however it is cut, its readings
every 100 ms agree with ffmpeg's ebur128 frame log, and an album agrees with
libebur128's pooled gating and with ffmpeg on the tracks joined."""

from __future__ import annotations

import copy
import csv
import ctypes
import ctypes.util
import io
import json
import math
import os
import re
import shutil
import subprocess
import sys
import threading
import xml.etree.ElementTree as ET

import numpy as np
import pytest
import soundfile

from wavgen import material

meter = pytest.importorskip("sonorik_meter")
FFMPEG = shutil.which("ffmpeg")
needs_ffmpeg = pytest.mark.skipif(FFMPEG is None, reason="ffmpeg is not installed (`make pydeps` installs it)")
FIELDS = [name for name in dir(meter.Measurement) if not name.startswith("_")]


def exactly(m) -> dict:
    """Every field of a Measurement, floats by their exact repr and arrays by their bytes."""
    def shown(v):
        return v.tobytes() if isinstance(v, np.ndarray) else repr(v)
    return {name: shown(getattr(m, name)) for name in FIELDS}


def samples(dtype: str, seconds: float, rate: int, channels: int, seed: int) -> np.ndarray:
    x = np.clip(material(seed, seconds, rate, channels, 4), -1.0, 1.0 - 2.0 ** -15)
    if dtype.startswith("int"):
        return np.round(x * 2.0 ** (np.dtype(dtype).itemsize * 8 - 1)).astype(dtype)
    return x.astype(dtype)


def cuts(rng, frames: int, rate: int) -> list[int]:
    """Block ends: lengths from 1 frame to 1 s, small ones as likely as large (log-uniform)."""
    ends, at = [], 0
    while at < frames:
        at = min(frames, at + int(np.exp(rng.uniform(0.0, np.log(rate)))))
        ends.append(at)
    return ends


# (dtype, rate, channels, channel_map, layout, series)
FEEDS = [("float32", 48000, 2, None, "C", False), ("float64", 44100, 1, None, "1-D", True),
         ("int16", 48000, 6, None, "C", False), ("int32", 32000, 8, None, "F", False),
         ("float32", 96000, 5, ["L", "R", "LFE", "Ls", "X"], "strided", True),
         ("float64", 8000, 3, ["L", "R", "C"], "F", False), ("int16", 22050, 4, ["L", "R", "Lb", "Rb"], "C", False),
         ("float32", 48000, 7, None, "C", True)]


@pytest.mark.parametrize("dtype,rate,channels,channel_map,layout,series", FEEDS,
                         ids=[f"{f[0]} {f[1]} Hz {f[2]} ch {f[4]}" for f in FEEDS])
def test_a_meter_fed_in_any_cut_measures_as_measure_does(dtype, rate, channels, channel_map, layout, series):
    rng = np.random.default_rng(channels)
    audio = samples(dtype, 4.2, rate, channels, seed=channels)
    if layout == "1-D":
        audio = audio[:, 0]
    elif layout == "F":
        audio = np.asfortranarray(audio)
    elif layout == "strided":
        audio = np.repeat(audio, 2, axis=1)[:, ::2]
    m = meter.Meter(rate, channels, channel_map=channel_map, series=series)
    m.add(np.ones((1000, channels) if audio.ndim == 2 else 1000, dtype))  # forgotten by reset()
    m.reset()
    ends = cuts(rng, len(audio), rate)
    half = ends[len(ends) // 2]
    start = 0
    for end in ends:
        m.add(audio[start:end])
        if end == half:
            snapshot = copy.copy(m)
            assert exactly(m.measurement()) == exactly(meter.measure(audio[:end], rate, channel_map=channel_map,
                                                                     series=series))
        start = end
    m.add(audio[:0])
    whole = meter.measure(audio, rate, channel_map=channel_map, series=series)
    assert exactly(m.measurement()) == exactly(whole)
    assert exactly(snapshot.measurement()) == exactly(meter.measure(audio[:half], rate, channel_map=channel_map,
                                                                    series=series))


def ffmpeg_framelog(path: str) -> dict[float, tuple[float, float]]:
    """(M, S) at every 100 ms of ffmpeg's frame log, keyed by time."""
    run = subprocess.run([FFMPEG, "-v", "verbose", "-nostats", "-i", path, "-af", "ebur128=framelog=verbose", "-f", "null", "-"],
                         capture_output=True, text=True, check=True,
                         env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    pattern = re.compile(r"t:\s*([\d.]+)\s+TARGET:.*?M:\s*(\S+)\s+S:\s*(\S+)")
    return {round(float(t), 1): (float(mo), float(st)) for t, mo, st in pattern.findall(run.stderr)}


@needs_ffmpeg
@pytest.mark.parametrize("rate,channels,seed", [(48000, 2, 11), (44100, 1, 12)])
def test_readings_every_100_ms_agree_with_ffmpeg(tmp_path, rate, channels, seed):
    audio = material(seed, 12.0, rate, channels, 6)
    path = str(tmp_path / "music.wav")
    soundfile.write(path, audio, rate, subtype="DOUBLE")
    theirs = ffmpeg_framelog(path)
    m = meter.Meter(rate, channels)
    step = (rate + 5) // 10
    rng = np.random.default_rng(seed)
    compared = {"M": 0, "S": 0}
    for k in range(len(audio) // step):
        cut = int(rng.integers(0, step))  # each step fed in two random pieces
        m.add(audio[k * step:k * step + cut])
        m.add(audio[k * step + cut:(k + 1) * step])
        now, (their_m, their_s) = m.readings(), theirs[round((k + 1) / 10, 1)]
        assert now.frames == (k + 1) * step
        for name, ours, their in (("M", now.momentary_lufs, their_m), ("S", now.short_term_lufs, their_s)):
            if ours is not None:
                assert abs(ours - their) <= 0.1, (name, (k + 1) / 10, ours, their)
                compared[name] += 1
    assert compared == {"M": len(audio) // step - 3, "S": len(audio) // step - 29}
    assert now.momentary_max_lufs == m.measurement().momentary_max_lufs


def library_album_lufs(tracks: list[tuple[np.ndarray, int]]) -> float:
    """ebur128_loudness_global_multiple over one libebur128 state per track."""
    lib = ctypes.CDLL(ctypes.util.find_library("ebur128"))
    lib.ebur128_init.restype = ctypes.c_void_p
    lib.ebur128_init.argtypes = [ctypes.c_uint, ctypes.c_ulong, ctypes.c_int]
    lib.ebur128_add_frames_double.argtypes = [ctypes.c_void_p, ctypes.POINTER(ctypes.c_double), ctypes.c_size_t]
    lib.ebur128_loudness_global_multiple.argtypes = [ctypes.POINTER(ctypes.c_void_p), ctypes.c_size_t,
                                                     ctypes.POINTER(ctypes.c_double)]
    lib.ebur128_destroy.argtypes = [ctypes.POINTER(ctypes.c_void_p)]
    states = (ctypes.c_void_p * len(tracks))()
    try:
        for i, (x, rate) in enumerate(tracks):
            x = np.ascontiguousarray(x.reshape(len(x), -1), dtype=np.float64)
            states[i] = lib.ebur128_init(x.shape[1], rate, 5)  # EBUR128_MODE_I
            assert states[i]
            assert lib.ebur128_add_frames_double(states[i], x.ctypes.data_as(ctypes.POINTER(ctypes.c_double)),
                                                 len(x)) == 0
        out = ctypes.c_double()
        assert lib.ebur128_loudness_global_multiple(states, len(tracks), ctypes.byref(out)) == 0
        return out.value
    finally:
        for i in range(len(tracks)):
            if states[i]:
                lib.ebur128_destroy(ctypes.byref(ctypes.c_void_p(states[i])))


def ffmpeg_summary(path: str) -> tuple[float, float]:
    """I and LRA from the filter's summary."""
    run = subprocess.run([FFMPEG, "-nostats", "-i", path, "-af", "ebur128", "-f", "null", "-"],
                         capture_output=True, text=True, check=True,
                         env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    summary = run.stderr[run.stderr.rindex("Summary:"):]
    return tuple(float(re.search(rf"{name}:\s+(\S+)", summary)[1]) for name in ("I", "LRA"))


# (given as, [(seconds, rate, channels)] per track). Tracks of a minute or more, as on a record: the
# windows that straddle two tracks joined (pooling leaves them out) then move the range little.
ALBUMS = [("paths", [(60, 48000, 2), (90, 48000, 2), (45, 48000, 2)]),
          ("arrays", [(70, 44100, 1), (2, 44100, 1), (80, 44100, 1)]),
          ("measurements", [(60, 48000, 5), (90, 48000, 5)]),
          ("paths", [(20, 48000, 2), (25, 44100, 2), (10, 96000, 1)])]


@needs_ffmpeg
@pytest.mark.parametrize("given,shape", ALBUMS, ids=[f"{a[0]} {len(a[1])} tracks {a[1][-1][1]} Hz" for a in ALBUMS])
def test_album_agrees_with_libebur128_and_ffmpeg(tmp_path, given, shape):
    tracks = [(material(20 + i, s, rate, ch, 5) * (0.5 if i % 2 else 1.0), rate)
              for i, (s, rate, ch) in enumerate(shape)]
    paths = []
    for i, (x, rate) in enumerate(tracks):
        paths.append(str(tmp_path / f"{i}.flac"))
        soundfile.write(paths[-1], x, rate, subtype="PCM_24")
    decoded = [(soundfile.read(p)[0], rate) for p, (_, rate) in zip(paths, tracks)]
    sources = {"paths": paths, "arrays": [x for x, _ in decoded],
               "measurements": [meter.measure(p) for p in paths]}[given]
    album = meter.measure_album(sources, shape[0][1])
    assert [exactly(t) for t in album.tracks] == [exactly(meter.measure(p)) for p in paths] or given == "arrays"
    assert abs(album.integrated_lufs - library_album_lufs(decoded)) <= 1e-9
    assert album.true_peak_dbtp == max(t.true_peak_dbtp for t in album.tracks)
    assert album.sample_peak_dbfs == max(t.sample_peak_dbfs for t in album.tracks)
    if len({(rate, x.ndim == 1 or x.shape[1]) for x, rate in decoded}) == 1:
        joined = str(tmp_path / "joined.wav")
        soundfile.write(joined, np.concatenate([x for x, _ in decoded]), shape[0][1], subtype="DOUBLE")
        their_i, their_lra = ffmpeg_summary(joined)
        assert abs(album.integrated_lufs - their_i) <= 0.1
        assert abs(album.loudness_range_lu - their_lra) <= 0.5


def test_threads_feeding_one_meter_together():
    # One thread adds a short block (fed with the interpreter lock held), the
    # other that block repeated 16 times (fed without it): whatever order they
    # went in, the meter must end as measure() of the short block repeated.
    short = (0.1 * np.random.default_rng(3).standard_normal((480, 2))).astype(np.float32)
    m = meter.Meter(48000, 2)
    threads = [threading.Thread(target=lambda block=block: [m.add(block) for _ in range(100)])
               for block in (short, np.tile(short, (16, 1)))]
    for t in threads:
        t.start()
    for _ in range(20):
        m.readings()
    for t in threads:
        t.join()
    assert exactly(m.measurement()) == exactly(meter.measure(np.tile(short, (1700, 1)), 48000))


@pytest.mark.parametrize("frames", [10, 48000], ids=["small block", "large block"])
def test_a_block_with_a_non_finite_sample_is_refused_whole(frames):
    m = meter.Meter(48000, 2)
    m.add(np.zeros((100, 2), np.float32))
    bad = np.zeros((frames, 2))
    bad[frames - 5, 1] = np.inf
    with pytest.raises(ValueError) as e:
        m.add(bad)
    assert str(e.value) == (f"the audio holds inf at frame {100 + frames - 5}, channel 1 (counting from 0); "
                            "only finite samples can be measured")
    assert m.frames == 100 and m.measurement().frames == 100


def stereo():
    return meter.Meter(48000, 2)


ERRORS = [
    (lambda: meter.Meter(48000, 9), ValueError, "a Meter measures 1 to 8 channels (got 9); measure() takes up to 64"),
    (lambda: meter.Meter(3000, 1), ValueError, "rate must be between 3364 and 2822400 Hz (got 3000)"),
    (lambda: meter.Meter(48000, 2, channel_map=["L"]), ValueError, "channel_map has 1 names for 2 channels"),
    (lambda: meter.Meter(48000.0, 2), TypeError, "rate must be an int (Hz), got float"),
    (lambda: stereo().add(np.zeros(10)), ValueError,
     "a 1-D block is mono, and this meter measures 2 channels: pass an array shaped (frames, 2)"),
    (lambda: stereo().add(np.zeros((10, 3))), ValueError,
     "block has 3 channels (shape (frames, channels)), and this meter measures 2"),
    (lambda: stereo().add(np.zeros((10, 2, 1))), ValueError, "array must have 1 or 2 dimensions (got 3)"),
    (lambda: stereo().add(np.zeros((10, 2), np.uint8)), TypeError,
     "unsupported sample type uint8: pass float32, float64, int16 or int32 samples"),
    (lambda: stereo().add([[0.0, 0.0]]), TypeError,
     "block must be an array of native-endian float32, float64, int16 or int32 samples, got list"),
    (lambda: meter.measure_album([]), ValueError, "measure_album() needs at least one source"),
    (lambda: meter.measure_album("a.wav"), TypeError,
     "sources must be a sequence of paths, arrays or Measurements, got one str: measure() measures one programme"),
    (lambda: meter.measure_album([np.zeros((4800, 2)), np.zeros((4800, 10))], 48000), ValueError,
     "album loudness needs every programme's gating blocks, which are kept for up to 8 channels: sources[1] has 10"),
    (lambda: meter.measure_album([np.zeros(4800)]), ValueError, "rate (Hz) is required when source is an array"),
]


@pytest.mark.parametrize("call,kind,message", ERRORS, ids=[e[2][:50] for e in ERRORS])
def test_wrong_arguments_are_refused_with_a_clear_message(call, kind, message):
    with pytest.raises(kind) as e:
        call()
    assert str(e.value) == message


# ---- the command's album rows -------------------------------------------------------------------


@pytest.fixture(scope="module")
def albums(tmp_path_factory):
    root = tmp_path_factory.mktemp("albums")
    for d, shapes in (("one", [(6, 48000, 2), (4, 48000, 2)]), ("two", [(5, 44100, 1), (7, 48000, 2)])):
        (root / d).mkdir()
        for i, (s, rate, ch) in enumerate(shapes):
            soundfile.write(str(root / d / f"{i}.flac"), material(i + len(d), s, rate, ch, 3), rate)
    return root


def report_rows(fmt: str, text: str) -> list[dict]:
    if fmt == "json":
        return [json.loads(line) for line in text.splitlines()]
    if fmt == "xml":
        return [dict(ET.fromstring(line).attrib) for line in text.splitlines()]
    return list(csv.DictReader(io.StringIO(text), delimiter="," if fmt == "csv" else "\t"))


@pytest.mark.parametrize("fmt", ["table", "csv", "tsv", "json", "xml"])
def test_analyze_album_adds_one_album_row_per_directory(albums, fmt):
    dirs = [str(albums / "one"), str(albums / "two")]
    run = subprocess.run([sys.executable, "-m", "sonorik_cli", "analyze", "--album", *dirs, "--format", fmt],
                         capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    expected = [meter.measure_album(meter.find_audio_files(d)) for d in dirs]
    if fmt == "table":
        lines = [line for line in run.stdout.splitlines() if "album" in line.split()]
        assert len(lines) == 2
        for line, album in zip(lines, expected):
            assert f"{album.integrated_lufs:.2f}" in line.split() and f"{album.true_peak_dbtp:.2f}" in line.split()
        return
    rows = [r for r in report_rows(fmt, run.stdout) if r["format"] == "album"]
    assert [r["file"] for r in rows] == dirs
    for r, album in zip(rows, expected):
        assert float(r["integrated_lufs"]) == album.integrated_lufs
        assert float(r["loudness_range_lu"]) == album.loudness_range_lu
        assert float(r["true_peak_dbtp"]) == album.true_peak_dbtp
        assert math.isclose(float(r["duration_s"]), album.duration_s)


def test_an_interrupted_add_leaves_the_meter_refusing_until_reset():
    # In a child interpreter, so that the signal cannot reach the test runner.
    # Ten minutes of a broadcast (stride 0) array: long to measure, no memory.
    code = """if True:
        import os, signal, threading, numpy as np, sonorik_meter
        m = sonorik_meter.Meter(48000, 2)
        audio = np.broadcast_to(np.full((1, 2), 0.1, np.float32), (48000 * 600, 2))
        threading.Timer(0.05, lambda: os.kill(os.getpid(), signal.SIGINT)).start()
        try:
            m.add(audio)
        except KeyboardInterrupt:
            print("interrupted")
        for call in (m.readings, m.measurement, lambda: m.add(audio[:10])):
            try:
                call()
            except RuntimeError as e:
                print(e)
        m.reset()
        m.add(audio[:48000])
        print(m.measurement().frames)
    """
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    refused = "add() was interrupted and the meter holds part of that block: call reset()"
    assert run.stdout.splitlines() == ["interrupted", refused, refused, refused, "48000"], run.stderr


@needs_ffmpeg
def test_the_live_meter_example_reads_ffmpeg_output(tmp_path):
    audio = material(5, 4.07, 44100, 2, 3)
    path = str(tmp_path / "in.wav")
    soundfile.write(path, audio, 44100, subtype="FLOAT")
    example = os.path.join(os.path.dirname(__file__), "..", "..", "examples", "live_meter.py")
    raw = subprocess.run([FFMPEG, "-v", "error", "-i", path, "-f", "f32le", "-ac", "2", "-ar", "48000", "-"],
                         capture_output=True, check=True).stdout
    run = subprocess.run([sys.executable, example, "--rate", "48000", "--channels", "2"], input=raw,
                         capture_output=True, check=True)
    lines = run.stdout.decode().splitlines()
    whole = meter.measure(np.frombuffer(raw, "<f4").reshape(-1, 2), 48000)
    assert [line.split()[0] for line in lines[1:-1]] == [f"{t / 10:.1f}" for t in range(1, 41)] + ["4.1"]
    assert lines[-1].startswith(f"integrated {whole.integrated_lufs:.1f} LUFS, range {whole.loudness_range_lu:.1f} LU")


def test_an_album_with_a_file_that_fails_gets_no_album_row(albums, tmp_path):
    damaged = tmp_path / "damaged"
    shutil.copytree(albums / "one", damaged)
    (damaged / "2.flac").write_bytes((damaged / "0.flac").read_bytes()[:2000])  # cut short
    run = subprocess.run([sys.executable, "-m", "sonorik_cli", "analyze", "--album", str(damaged), "--format", "json"],
                         capture_output=True, text=True)
    assert run.returncode == 1
    assert [r["format"] for r in report_rows("json", run.stdout)] == ["FLAC PCM_16", "FLAC PCM_16"]
    assert f"sonorik: {damaged}: album not measured: 1 of its 3 files failed" in run.stderr.splitlines()
