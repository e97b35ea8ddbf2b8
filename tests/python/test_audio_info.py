"""get_audio_info_py: file information for every readable format and the
errors for everything else."""

import subprocess
import sys

import numpy as np
import pytest

import sonorik
import wavgen
from wavgen import EXTENSIBLE, FLOAT


@pytest.mark.parametrize("bits, kind, tag, fmt_name", [
    (8, "int", wavgen.PCM, "U8"),
    (16, "int", wavgen.PCM, "I16"),
    (24, "int", wavgen.PCM, "I24"),
    (32, "int", wavgen.PCM, "I32"),
    (32, "float", FLOAT, "F32"),
    (24, "int", EXTENSIBLE, "I24"),
    (32, "float", EXTENSIBLE, "F32"),
])
@pytest.mark.parametrize("channels", [1, 2, 6, 8])
def test_formats_and_channels(tmp_path, bits, kind, tag, fmt_name, channels):
    rate = 44100
    x = wavgen.sine(1.0, rate, channels, -6.0)
    extra = {"subformat": FLOAT} if (tag == EXTENSIBLE and kind == "float") else {}
    path = wavgen.write_wav(tmp_path / "a.wav", x, rate, channels, bits, kind, tag=tag, **extra)
    info = sonorik.get_audio_info_py(str(path))
    assert isinstance(info, sonorik.PyAudioInfo)
    assert (info.sample_rate, info.channels, info.bit_depth) == (rate, channels, bits)
    assert info.sample_format == fmt_name
    assert info.total_samples == rate * channels  # all channels counted
    assert info.duration_seconds == 1.0
    assert info.duration_formatted == "00:00:01.000"


@pytest.mark.parametrize("seconds, rate, channels, total, duration, text", [
    (0.02, 48000, 2, 4800, 0.1, "00:00:00.100"),   # looped: frames after looping
    (0.05, 44100, 1, 4410, 0.1, "00:00:00.100"),
    (0.5, 8000, 1, 4000, 0.5, "00:00:00.500"),
    (205.12, 100, 1, 20512, 205.12, "00:03:25.120"),
])
def test_durations_and_looping(tmp_path, seconds, rate, channels, total, duration, text):
    path = wavgen.write_wav(tmp_path / "a.wav", wavgen.noise(seconds, rate, channels), rate, channels)
    info = sonorik.get_audio_info_py(str(path))
    assert info.total_samples == total
    assert info.duration_seconds == pytest.approx(duration, abs=1e-12)
    assert info.duration_formatted == text


def test_long_durations_format_hours(tmp_path):
    # Two hours and five seconds at 16 Hz: small file, long duration.
    path = wavgen.write_wav(tmp_path / "long.wav", np.zeros(16 * 7205), 16, 1)
    info = sonorik.get_audio_info_py(str(path))
    assert info.duration_formatted == "02:00:05.000"


def test_empty_data_is_not_looped(tmp_path):
    path = tmp_path / "empty.wav"
    path.write_bytes(wavgen.wav_bytes(b"", 2, 48000, 16))
    info = sonorik.get_audio_info_py(str(path))
    assert (info.total_samples, info.duration_seconds) == (0, 0.0)


def test_attributes_are_read_only(tmp_path):
    path = wavgen.write_wav(tmp_path / "a.wav", wavgen.sine(0.2, 8000), 8000)
    info = sonorik.get_audio_info_py(str(path))
    with pytest.raises(AttributeError):
        info.sample_rate = 1
    with pytest.raises(AttributeError):
        info.extra = 1
    assert info.sample_rate == 8000


@pytest.mark.parametrize("name, inner", [
    ("song.mp3", 'Unsupported audio format: "{}"'),
    ("noext", 'Unsupported audio format: "{}"'),
    (".wav", 'Unsupported audio format: "{}"'),
    ("missing.wav", 'Failed to decode audio file: "{}"'),
    ("missing.WAV", 'Failed to decode audio file: "{}"'),
    ("song.aiff", 'Failed to decode audio file: "{}"'),
])
def test_load_errors(tmp_path, name, inner):
    path = str(tmp_path / name)
    if name.endswith("aiff"):
        (tmp_path / name).write_bytes(b"FORM")
    with pytest.raises(OSError) as info:
        sonorik.get_audio_info_py(path)
    assert str(info.value) == "Failed to load audio: " + inner.format(path)
    assert type(info.value) is OSError


def test_quoted_path_escapes(tmp_path):
    path = str(tmp_path / 'we"ird\\name.mp3')
    with pytest.raises(OSError) as info:
        sonorik.get_audio_info_py(path)
    escaped = path.replace("\\", "\\\\").replace('"', '\\"')
    assert str(info.value) == f'Failed to load audio: Unsupported audio format: "{escaped}"'


@pytest.mark.parametrize("body", [
    b"not a wav file at all",
    wavgen.wav_bytes(b"\x00" * 8, 1, 48000, 20),              # 20-bit integer samples
    wavgen.wav_bytes(b"\x00" * 8, 0, 48000, 16),              # no channels
    wavgen.wav_bytes(b"\x00" * 8, 1, 0, 16),                  # 0 Hz
    wavgen.wav_bytes(b"\x00" * 8, 1, 48000, 16, declared_data_size=1 << 31),  # lies about size
])
def test_bad_files_raise_decode_errors(tmp_path, body):
    path = tmp_path / "bad.wav"
    path.write_bytes(body)
    with pytest.raises(OSError) as info:
        sonorik.get_audio_info_py(str(path))
    assert str(info.value) == f'Failed to load audio: Failed to decode audio file: "{path}"'


def test_directory_and_fifo_named_wav_do_not_hang(tmp_path):
    import os
    (tmp_path / "dir.wav").mkdir()
    os.mkfifo(tmp_path / "pipe.wav")
    for name in ("dir.wav", "pipe.wav"):
        with pytest.raises(OSError, match="Failed to decode audio file"):
            sonorik.get_audio_info_py(str(tmp_path / name))


def test_malformed_corpus_never_crashes(tmp_path):
    corpus = wavgen.malformed_corpus(300)
    for i, body in enumerate(corpus):
        (tmp_path / f"m{i:03}.wav").write_bytes(body)
    code = f"""
import glob, sonorik
ok = err = 0
for p in sorted(glob.glob({str(tmp_path)!r} + "/m*.wav")):
    try:
        sonorik.get_audio_info_py(p); ok += 1
    except OSError:
        err += 1
print(ok, err)
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=120)
    assert out.returncode == 0, out.stderr[-2000:]
    ok, err = map(int, out.stdout.split())
    assert ok + err == len(corpus) and err > 0
