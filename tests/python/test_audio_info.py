"""get_audio_info_py: file information for every readable format (errors: test_module_frame.py)."""

import struct

import numpy as np
import pytest

import sonorik
import wavgen
from wavgen import EXTENSIBLE, FLOAT, PCM


@pytest.mark.parametrize("bits, kind, tag, fmt_name", [
    (8, "int", PCM, "U8"), (16, "int", PCM, "I16"), (24, "int", PCM, "I24"), (32, "int", PCM, "I32"),
    (32, "float", FLOAT, "F32"), (24, "int", EXTENSIBLE, "I24"), (32, "float", EXTENSIBLE, "F32"),
])
@pytest.mark.parametrize("channels", [1, 2, 6])
def test_formats_read_and_normalized_in_kind(tmp_path, bits, kind, tag, fmt_name, channels):
    x = wavgen.sine(0.5, 22050, channels, -10.0, 440.0)  # 11,025 frames: odd data sizes get a pad byte
    path = wavgen.write_wav(tmp_path / "a.wav", x, 22050, channels, bits, kind, tag=tag,
                            subformat=FLOAT if kind == "float" else PCM, before=[wavgen.chunk(b"LIST", b"odd")])
    info = sonorik.get_audio_info_py(str(path))
    assert (info.sample_rate, info.channels, info.bit_depth, info.sample_format) == (22050, channels, bits, fmt_name)
    assert (info.total_samples, info.duration_seconds) == (11025 * channels, 0.5)
    out = tmp_path / "out.wav"
    sonorik.normalize_true_peak(str(path), -1.0, str(out))
    info = sonorik.get_audio_info_py(str(out))
    assert (info.sample_rate, info.channels, info.bit_depth, info.duration_seconds) == (22050, channels, bits, 0.5)
    data = out.read_bytes()  # RIFF size, pad byte, frames in the fact chunk
    assert len(data) % 2 == 0 and struct.unpack_from("<I", data, 4)[0] == len(data) - 8
    assert data.find(b"fact") < 0 or struct.unpack_from("<I", data, data.find(b"fact") + 8)[0] == 11025
    sf_data, sf_rate = pytest.importorskip("soundfile").read(str(out), always_2d=True)
    assert sf_rate == 22050 and sf_data.shape == (11025, channels)
    assert 20 * np.log10(np.max(np.abs(sf_data))) == pytest.approx(-1.0, abs=0.3 if bits == 8 else 0.05)


@pytest.mark.parametrize("seconds, rate, channels, total, duration, text", [
    (0.02, 48000, 2, 4800, 0.1, "00:00:00.100"),   # looped: frames after looping
    (0.05, 44100, 1, 4410, 0.1, "00:00:00.100"),
    (205.12, 100, 1, 20512, 205.12, "00:03:25.120"),
    (7205, 16, 1, 115280, 7205.0, "02:00:05.000"),
    (0, 48000, 2, 0, 0.0, "00:00:00.000"),          # empty data is not looped
])
def test_durations_and_looping(tmp_path, seconds, rate, channels, total, duration, text):
    path = wavgen.write_wav(tmp_path / "a.WAV", wavgen.noise(seconds, rate, channels), rate, channels)
    info = sonorik.get_audio_info_py(str(path))
    assert (info.total_samples, info.duration_formatted) == (total, text)
    assert info.duration_seconds == pytest.approx(duration, abs=1e-12)
    # analyze_audio's fast path takes .WAV too, and does not loop.
    assert sonorik.analyze_audio(str(path))[0].duration_seconds == pytest.approx(seconds, abs=1e-12)
    with pytest.raises(AttributeError):
        info.sample_rate = 1
