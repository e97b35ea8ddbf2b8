"""get_audio_info_py: file information for every readable format and the
errors for everything else."""

import os

import pytest

import sonorik
import wavgen
from wavgen import EXTENSIBLE, FLOAT, PCM


@pytest.mark.parametrize("bits, kind, tag, fmt_name", [
    (8, "int", PCM, "U8"), (16, "int", PCM, "I16"), (24, "int", PCM, "I24"), (32, "int", PCM, "I32"),
    (32, "float", FLOAT, "F32"), (24, "int", EXTENSIBLE, "I24"), (32, "float", EXTENSIBLE, "F32"),
])
@pytest.mark.parametrize("channels", [1, 2, 6])
def test_formats_and_channels(tmp_path, bits, kind, tag, fmt_name, channels):
    x = wavgen.sine(1.0, 44100, channels, -6.0)
    path = wavgen.write_wav(tmp_path / "a.wav", x, 44100, channels, bits, kind, tag=tag,
                            subformat=FLOAT if kind == "float" else PCM, before=[wavgen.chunk(b"LIST", b"odd")])
    info = sonorik.get_audio_info_py(str(path))
    assert (info.sample_rate, info.channels, info.bit_depth, info.sample_format) == (44100, channels, bits, fmt_name)
    assert (info.total_samples, info.duration_seconds, info.duration_formatted) == (44100 * channels, 1.0, "00:00:01.000")


@pytest.mark.parametrize("seconds, rate, channels, total, duration, text", [
    (0.02, 48000, 2, 4800, 0.1, "00:00:00.100"),   # looped: frames after looping
    (0.05, 44100, 1, 4410, 0.1, "00:00:00.100"),
    (205.12, 100, 1, 20512, 205.12, "00:03:25.120"),
    (7205, 16, 1, 115280, 7205.0, "02:00:05.000"),
    (0, 48000, 2, 0, 0.0, "00:00:00.000"),          # empty data is not looped
])
def test_durations_and_looping(tmp_path, seconds, rate, channels, total, duration, text):
    path = wavgen.write_wav(tmp_path / "a.wav", wavgen.noise(seconds, rate, channels), rate, channels)
    info = sonorik.get_audio_info_py(str(path))
    assert (info.total_samples, info.duration_formatted) == (total, text)
    assert info.duration_seconds == pytest.approx(duration, abs=1e-12)
    with pytest.raises(AttributeError):
        info.sample_rate = 1


@pytest.mark.parametrize("name, inner", [
    ("song.mp3", "Unsupported audio format"),
    (".wav", "Unsupported audio format"),
    ('we"ird\\na\tme\x01.mp3', "Unsupported audio format"),
    ("missing.WAV", "Failed to decode audio file"),
    ("song.aiff", "Failed to decode audio file"),
    ("dir.wav", "Failed to decode audio file"),
    ("pipe.wav", "Failed to decode audio file"),
])
def test_load_errors(tmp_path, name, inner):
    path = tmp_path / name
    if name == "song.aiff":
        path.write_bytes(b"FORM")
    elif name == "dir.wav":
        path.mkdir()
    elif name == "pipe.wav":
        os.mkfifo(path)  # must not hang
    with pytest.raises(OSError) as info:
        sonorik.get_audio_info_py(str(path))
    quoted = str(path).replace("\\", "\\\\").replace('"', '\\"').replace("\t", "\\t").replace("\x01", "\\u{1}")
    assert str(info.value) == f'Failed to load audio: {inner}: "{quoted}"'
    assert type(info.value) is OSError


@pytest.mark.parametrize("body", [
    b"not a wav file at all",
    wavgen.wav_bytes(b"\x00" * 8, 1, 48000, 20),              # 20-bit integer samples
    wavgen.wav_bytes(b"\x00" * 8, 0, 48000, 16),              # no channels
    wavgen.wav_bytes(b"\x00" * 8, 1, 0, 16),                  # 0 Hz
    wavgen.wav_bytes(b"\x00" * 8, 1, 48000, 16, declared_data_size=1 << 31),  # lies about size
    wavgen.wav_bytes(b"\x00" * 8, 1, 48000, 16, data_first=True).replace(b"fmt \x10", b"fmt \x12"),  # fmt past the end
])
def test_bad_files_raise_decode_errors(tmp_path, body):
    path = tmp_path / "bad.wav"
    path.write_bytes(body)
    with pytest.raises(OSError) as info:
        sonorik.get_audio_info_py(str(path))
    assert str(info.value) == f'Failed to load audio: Failed to decode audio file: "{path}"'
