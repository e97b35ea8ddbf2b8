"""sonorik_meter: files of every format against the same samples as an array,
the standards' definitions (None / -inf), channel weighting, the released
interpreter lock, bounded memory and the error table."""

import math
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import sonorik_meter
import wavgen

sf = pytest.importorskip("soundfile")

RATE = 48000


def tone(seconds, dbfs=-20.0, freq=997.0, rate=RATE, channels=2):
    t = np.arange(int(seconds * rate)) / rate
    x = 10 ** (dbfs / 20) * np.sin(2 * np.pi * freq * t)
    return np.repeat(x[:, None], channels, axis=1)


def music(seconds=4.0, rate=RATE):
    """Two channels of different, changing content (chords and noise)."""
    rng = np.random.default_rng(3)
    t = np.arange(int(seconds * rate)) / rate
    env = 0.3 + 0.25 * np.sin(2 * np.pi * 0.7 * t)
    left = env * (np.sin(2 * np.pi * 220 * t) + 0.5 * np.sin(2 * np.pi * 331 * t))
    right = 0.2 * rng.standard_normal(t.size) * env + 0.3 * np.sin(2 * np.pi * 440 * t)
    return np.stack([left, right], axis=1) * 0.6


FIELDS = ("integrated_lufs", "momentary_max_lufs", "short_term_max_lufs", "loudness_range_lu",
          "relative_gate_lufs", "true_peak_dbtp", "sample_peak_dbfs", "rms_average_dbfs",
          "rms_max_dbfs", "channel_integrated_lufs", "channel_true_peak_dbtp",
          "channel_rms_average_dbfs", "frames", "rate_hz", "channels")


def values(m):
    out = []
    for name in FIELDS:
        v = getattr(m, name)
        out.extend(v if isinstance(v, tuple) else [v])
    return out


def assert_same(a, b, tol=1e-9):
    for name, x, y in zip(FIELDS, values(a), values(b)):
        if x is None or y is None or math.isinf(x) or math.isinf(y):
            assert x == y, name
        else:
            assert x == pytest.approx(y, abs=tol), name


# (soundfile format, subtype, expected format text, lossy)
FORMATS = [("WAV", "PCM_16", "WAV PCM_16", False), ("WAV", "PCM_24", "WAV PCM_24", False),
           ("WAV", "FLOAT", "WAV FLOAT", False), ("FLAC", "PCM_24", "FLAC PCM_24", False),
           ("OGG", "VORBIS", "OGG VORBIS", True), ("OGG", "OPUS", "OGG OPUS", True),
           ("AIFF", "PCM_16", "AIFF PCM_16", False), ("CAF", "PCM_24", "CAF PCM_24", False),
           ("RF64", "PCM_16", "RF64 PCM_16", False), ("W64", "DOUBLE", "W64 DOUBLE", False),
           ("MPEG", "MPEG_LAYER_III", "MPEG MPEG_LAYER_III", True)]


@pytest.mark.parametrize("major,subtype,text,lossy", FORMATS, ids=[f[2] for f in FORMATS])
def test_file_reads_as_its_samples(tmp_path, major, subtype, text, lossy):
    if subtype not in sf.available_subtypes(major):
        pytest.skip(f"this libsndfile cannot write {text}")
    path = tmp_path / f"a.{major.lower()}"
    rate = 48000 if subtype == "OPUS" else 44100
    sf.write(path, music(rate=rate), rate, format=major, subtype=subtype)
    decoded, _ = sf.read(path, dtype="float64", always_2d=True)
    m = sonorik_meter.measure(path)
    assert m.format == text
    assert m.channel_map == ("L", "R")
    assert m.duration_s == m.frames / rate
    # Lossy decoders of two library builds may differ in the last bits.
    assert_same(m, sonorik_meter.measure(decoded, rate), 1e-3 if lossy else 1e-9)


@pytest.mark.parametrize("major,channels,frames", [
    ("WAV", 1, 16 * 1000 + 7), ("WAVEX", 2, 4801), ("W64", 1, 4800), ("RF64", 3, 1000 * 3 + 13),
    ("WAV, a chunk after", 1, 9999)])
def test_16_bit_pcm_reads_as_its_codes_bit_for_bit(tmp_path, major, channels, frames):
    codes = np.random.default_rng(frames).integers(-32768, 32768, (frames, channels), dtype=np.int16)
    codes[:2] = [[-32768] * channels, [32767] * channels]
    path = tmp_path / "a.wav"
    if major.startswith("WAV,"):  # bytes of another chunk follow the samples
        riff = wavgen.wav_bytes(codes.tobytes(), channels, 8000)[8:] + wavgen.chunk(b"junk", b"x" * 99)
        path.write_bytes(b"RIFF" + len(riff).to_bytes(4, "little") + riff)
    else:
        sf.write(path, codes, 8000, format=major, subtype="PCM_16")
    m, ref = (sonorik_meter.measure(path, series=True),
              sonorik_meter.measure(codes / 32768, 8000, series=True))
    assert values(m) == values(ref)
    for name in ("momentary_lufs", "short_term_lufs", "true_peak_dbtp"):
        assert np.array_equal(getattr(m, "series_" + name), getattr(ref, "series_" + name),
                              equal_nan=True), name


def test_array_types_and_layouts():
    x = music(3.5)
    ref = sonorik_meter.measure(np.round(x * 32767) / 32768, RATE)
    as_int16 = np.round(x * 32767).astype(np.int16)
    cases = {"int16": as_int16, "int32": as_int16.astype(np.int32) << 16,
             "float32": (as_int16 / 32768).astype(np.float32),
             "fortran": np.asfortranarray(as_int16 / 32768),
             "strided": np.repeat(as_int16 / 32768, 2, axis=0)[::2],
             "memoryview": memoryview(as_int16)}
    for name, a in cases.items():
        assert_same(sonorik_meter.measure(a, RATE), ref)
        assert sonorik_meter.measure(a, RATE).format.startswith("array "), name
    mono = sonorik_meter.measure(as_int16[:, 0], RATE)
    assert mono.channel_map == ("M",) and mono.channel_integrated_lufs == (mono.integrated_lufs,)
    with pytest.raises(ValueError) as e:
        sonorik_meter.measure(np.ascontiguousarray(as_int16.T), RATE)
    assert str(e.value) == (f"array has {x.shape[0]} columns: pass an array shaped (frames, channels); "
                            "transpose a (channels, frames) array")


def test_reference_levels_and_series():
    # EBU Tech 3341 case 1 and Tech 3342 case 1, and the 100 ms series.
    m = sonorik_meter.measure(tone(20, -23.0, 1000.0), RATE, series=True)
    for v in (m.integrated_lufs, m.momentary_max_lufs, m.short_term_max_lufs):
        assert v == pytest.approx(-23.0, abs=0.1)
    assert m.true_peak_dbtp == pytest.approx(-23.0, abs=0.05)
    assert m.rms_average_dbfs == pytest.approx(-26.0, abs=0.02)
    assert len(m.series_time_s) == 200 and m.series_time_s[-1] == pytest.approx(20.0)
    assert np.isnan(m.series_momentary_lufs[:3]).all() and not np.isnan(m.series_momentary_lufs[3:]).any()
    assert np.isnan(m.series_short_term_lufs[:29]).all()
    assert np.nanmax(m.series_short_term_lufs) == m.short_term_max_lufs
    steps = np.concatenate([tone(20, -20.0, 1000.0), tone(20, -30.0, 1000.0)])
    r = sonorik_meter.measure(steps, RATE)
    assert r.loudness_range_lu == pytest.approx(10.0, abs=1.0)
    assert r.loudness_range_high_lufs - r.loudness_range_low_lufs == pytest.approx(r.loudness_range_lu)
    assert r.series_time_s is None


INF = -math.inf
# seconds, dBFS of a stereo tone (None: digital silence) -> integrated, momentary max,
# short-term max, range; "level" is the tone's own level (a stereo sine reads its dBFS).
UNDEFINED = [(0.0, -20, INF, None, None, None), (0.3, -20, INF, None, None, None),
             (1.0, -20, "level", "level", None, None), (4.0, None, INF, INF, INF, 0.0),
             (4.0, -85, INF, "level", "level", 0.0)]  # quiet, gated, but not floored


@pytest.mark.parametrize("seconds,dbfs,integrated,momentary,short,lra", UNDEFINED)
def test_undefined_values_are_none_and_silence_is_minus_inf(seconds, dbfs, integrated, momentary,
                                                           short, lra):
    x = tone(seconds, -20.0 if dbfs is None else dbfs) * (0.0 if dbfs is None else 1.0)
    m = sonorik_meter.measure(x, RATE)
    expect = {"level": pytest.approx(dbfs or 0, abs=0.1)}
    assert m.integrated_lufs == expect.get(integrated, integrated)
    assert m.momentary_max_lufs == expect.get(momentary, momentary)
    assert m.short_term_max_lufs == expect.get(short, short)
    assert m.loudness_range_lu == lra
    if integrated == INF:
        assert m.relative_gate_lufs == INF and m.loudness_range_low_lufs is None
    if dbfs is None:
        assert (m.true_peak_dbtp, m.sample_peak_dbfs, m.rms_average_dbfs) == (INF, INF, INF)
    assert (m.rms_max_dbfs is None) == (seconds < 0.1)


def extensible_wav(path, samples, mask, rate=RATE):
    """A 16-bit WAVE_FORMAT_EXTENSIBLE file declaring `mask`."""
    path.write_bytes(wavgen.wav_bytes(wavgen.encode(samples.reshape(-1), 16), samples.shape[1], rate, 16,
                                      wavgen.EXTENSIBLE, mask=mask))
    return path


def test_channel_weights_follow_the_mask_and_channel_map(tmp_path):
    # Tech 3341 case 6 in a 5.1 file, with a loud LFE that must not count.
    levels = [-28.0, -28.0, -24.0, -6.0, -30.0, -30.0]
    x = np.concatenate([tone(20, lv, 1000.0, channels=1) for lv in levels], axis=1)
    five_one = sonorik_meter.measure(extensible_wav(tmp_path / "51.wav", x, 0x3F))
    assert five_one.channel_map == ("L", "R", "C", "LFE", "Ls", "Rs")
    assert five_one.integrated_lufs == pytest.approx(-23.0, abs=0.1)
    assert five_one.channel_sample_peak_dbfs == pytest.approx(levels, abs=0.01)
    as_centre = sonorik_meter.measure(x, RATE, channel_map=["L", "R", "C", "C", "Ls", "Rs"])
    assert as_centre.integrated_lufs > five_one.integrated_lufs + 10
    sf.write(tmp_path / "51.ogg", x[:RATE], RATE)  # Ogg keeps its own order: L C R Ls Rs LFE
    assert sonorik_meter.info(tmp_path / "51.ogg").channel_map == ("L", "C", "R", "Ls", "Rs", "LFE")

    # 7.1 (FL FR FC LFE BL BR SL SR): the back pair weighs 1.0, the side pair 1.41.
    stereo = sonorik_meter.measure(tone(10), RATE).integrated_lufs
    pair = tone(10, channels=1)
    for columns, gain_db in (((4, 5), 0.0), ((6, 7), 10 * math.log10(1.41))):
        y = np.zeros((pair.shape[0], 8))
        y[:, columns] = pair
        m = sonorik_meter.measure(extensible_wav(tmp_path / "71.wav", y, 0x63F))
        assert m.channel_map == ("L", "R", "C", "LFE", "Lb", "Rb", "Ls", "Rs")
        assert m.integrated_lufs == pytest.approx(stereo + gain_db, abs=0.01)
        # The same layout by default for eight channels without a mask.
        assert sonorik_meter.measure(y, RATE).integrated_lufs == pytest.approx(m.integrated_lufs, abs=1e-3)


def test_threads_measure_with_the_lock_released():
    x = np.tile(music(2.0).astype(np.float32), (60, 1))
    ticks = 0
    progress = []

    def measure():
        before = ticks
        sonorik_meter.measure(x, RATE)
        progress.append(ticks - before)

    workers = [threading.Thread(target=measure) for _ in range(2)]
    for w in workers:
        w.start()
    while any(w.is_alive() for w in workers):
        ticks += 1
    # This thread kept counting while each measurement ran.
    assert len(progress) == 2 and min(progress) > 0


def test_memory_stays_bounded_for_a_long_file(tmp_path):
    path = tmp_path / "long.flac"
    block = tone(10.0, -20.0, channels=1)
    with sf.SoundFile(path, "w", RATE, 1, format="FLAC", subtype="PCM_16") as f:
        for _ in range(90):  # 15 minutes: 330 MB as float64 samples
            f.write(block)
    script = textwrap.dedent(f"""
        import resource, sonorik_meter
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        m = sonorik_meter.measure({str(path)!r})
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(m.frames, (after - before) // 1024)
    """)
    out = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, check=True)
    frames, grown_mib = map(int, out.stdout.split())
    assert frames == 900 * RATE
    assert grown_mib < 48


def test_errors(tmp_path):
    garbage = tmp_path / "garbage.wav"
    garbage.write_bytes(b"RIFX" + bytes(range(256)) * 4)
    fifo = tmp_path / "fifo.wav"
    os.mkfifo(fifo)
    a = np.zeros((100, 2), np.float32)
    open_files = len(os.listdir("/proc/self/fd"))
    cases = [
        ((tmp_path / "missing.flac",), {}, FileNotFoundError, None),
        ((tmp_path,), {}, IsADirectoryError, None),
        ((garbage,), {}, OSError, f"Format not recognised: {str(garbage)!r}"),
        ((fifo,), {}, OSError, None),
        (("a\0b.wav",), {}, ValueError, "embedded null byte in path"),
        ((str(garbage), 48000), {}, ValueError, None),
        ((a,), {}, ValueError, "rate (Hz) is required when source is an array"),
        ((a, 48000.0), {}, TypeError, "rate must be an int (Hz), got float"),
        ((a, 3000), {}, ValueError, "rate must be between 3364 and 2822400 Hz (got 3000)"),
        ((a.astype(np.int8), RATE), {}, TypeError, None),
        ((a.astype(np.complex64), RATE), {}, TypeError, None),
        ((np.zeros((4, 4, 2)), RATE), {}, ValueError, "array must have 1 or 2 dimensions (got 3)"),
        ((np.zeros((4, 0)), RATE), {}, ValueError, None),
        ((42,), {}, TypeError, None),
        ((a, RATE), {"channel_map": ["L"]}, ValueError, "channel_map has 1 names for 2 channels"),
        ((a, RATE), {"channel_map": ["L", "Q"]}, ValueError, None),
        ((a, RATE), {"channel_map": "LR"}, TypeError, None),
    ]
    for args, kwargs, error, message in cases:
        with pytest.raises(error) as e:
            sonorik_meter.measure(*args, **kwargs)
        if message is not None:
            assert str(e.value) == message
    assert str(fifo) in str(pytest.raises(OSError, sonorik_meter.measure, fifo).value)
    # Damaged files are refused or measured, never more.
    for i, data in enumerate(wavgen.malformed_corpus(120)):
        path = tmp_path / f"bad{i}.wav"
        path.write_bytes(data)
        try:
            sonorik_meter.measure(path)
        except (OSError, ValueError):
            pass
    assert len(os.listdir("/proc/self/fd")) == open_files  # every file closed on every path


def test_find_audio_files_by_name_in_byte_order(tmp_path):
    names = ["b.wav", "b/c.FLAC", "b/\udcff.caf", "a.ogg", ".hidden/x.aiff", "b/.wav", "notes.txt"]
    for name in names:
        (tmp_path / name).parent.mkdir(exist_ok=True)
        (tmp_path / name).write_bytes(b"")  # judged by name: never opened
    (tmp_path / "b" / "up").symlink_to(tmp_path)  # back into the path: not again
    expected = [str(tmp_path / n) for n in (".hidden/x.aiff", "a.ogg", "b/c.FLAC", "b/\udcff.caf", "b.wav")]
    assert sonorik_meter.find_audio_files(tmp_path) == expected
    for path, error in [(tmp_path / "missing", FileNotFoundError), (tmp_path / "b.wav", NotADirectoryError)]:
        with pytest.raises(error) as e:
            sonorik_meter.find_audio_files(os.fsencode(path))
        assert e.value.filename == os.fsencode(path)


def test_cli_finds_and_measures_every_format(tmp_path):
    x = music(3.5)
    names = ["b/c.rf64", "b.flac", "a.ogg", "b/a.caf", "notes.txt"]
    (tmp_path / "b").mkdir()
    for name in names[:-1]:
        sf.write(tmp_path / name, x, RATE, format=name.rsplit(".", 1)[1].upper())
    (tmp_path / "notes.txt").write_text("not audio")
    run = subprocess.run([sys.executable, "-m", "sonorik_cli", "analyze", "--per-channel",
                          "--integrated", "--true-peak", tmp_path], capture_output=True, text=True)
    assert run.returncode == 0, run.stderr
    rows = [line.split() for line in run.stdout.splitlines()[2:]]
    files = [str(tmp_path / n) for n in ("a.ogg", "b/a.caf", "b/c.rf64", "b.flac")]
    assert [r[0] for r in rows] == [p for f in files for p in (f, "1:L", "2:R")]
    for f, row, left in zip(files, rows[::3], rows[1::3]):
        m = sonorik_meter.measure(f)
        assert row[-2:] == [f"{m.integrated_lufs:.2f}", f"{m.true_peak_dbtp:.2f}"]
        assert left[1:] == [f"{m.channel_integrated_lufs[0]:.2f}", f"{m.channel_true_peak_dbtp[0]:.2f}"]
