"""Inputs a careful user should never see measured as something else:
samples that are not numbers, rates no meter can weigh, ceilings an output
cannot keep, and file names that are not UTF-8."""

import os
import re

import numpy as np
import pytest
import soundfile

import sonorik_meter

RATE = 48000


def programme(frames=RATE * 4, channels=2):
    t = np.arange(frames) / RATE
    return np.stack([0.3 * np.sin(2 * np.pi * 997 * t)] * channels, axis=1)


@pytest.mark.parametrize("value, shown", [(np.nan, "nan"), (np.inf, "inf"), (-np.inf, "-inf")])
@pytest.mark.parametrize("where", ["array", "float file", "normalize"])
def test_non_finite_samples_are_refused_with_their_position(value, shown, where, tmp_path):
    a = programme()
    a[123457, 1] = value
    expected = f"the audio holds {shown} at frame 123457, channel 1 (counting from 0)"
    path = tmp_path / "f.wav"
    if where != "array":
        soundfile.write(path, a, RATE, "FLOAT")
    before = path.read_bytes() if where == "normalize" else None
    with pytest.raises(ValueError, match=re.escape(expected)):
        if where == "array":
            sonorik_meter.measure(a.astype(np.float32), RATE)
        elif where == "float file":
            sonorik_meter.measure(path)
        else:
            sonorik_meter.normalize(path, path, target=-20.0)
    if before is not None:
        assert path.read_bytes() == before


def test_normalize_refuses_the_rates_measure_refuses(tmp_path):
    path = tmp_path / "low.wav"
    soundfile.write(path, np.zeros((3363, 1)) + 0.1, 3363, "PCM_16")
    with pytest.raises(ValueError) as measured:
        sonorik_meter.measure(path)
    with pytest.raises(ValueError) as normalised:
        sonorik_meter.normalize(path, path, target=-20.0)
    assert str(normalised.value) == str(measured.value) == \
        "rate must be between 3364 and 2822400 Hz (got 3363)"


@pytest.mark.parametrize("subtype, ceiling, lowest", [("PCM_16", -80.0, "-78.27"),
                                                       ("PCM_24", -127.0, "-126.43")])
def test_a_ceiling_the_output_cannot_keep_is_refused(subtype, ceiling, lowest, tmp_path):
    path = tmp_path / "in.wav"
    soundfile.write(path, programme(), RATE, subtype)
    with pytest.raises(ValueError, match=f"it must be above {lowest} dBTP"):
        sonorik_meter.normalize(path, tmp_path / "out.wav", target=-30.0, ceiling=ceiling)
    assert not (tmp_path / "out.wav").exists()


def test_names_that_are_not_utf8_work_as_bytes_and_as_str(tmp_path):
    raw = os.fsencode(tmp_path) + b"/caf\xe9.wav"
    soundfile.write(tmp_path / "plain.wav", programme(), RATE, "PCM_16")
    try:
        os.rename(tmp_path / "plain.wav", raw)
    except OSError:
        pytest.skip("the file system refuses the name")
    as_str = os.fsdecode(raw)
    by_bytes = type("BytesPath", (), {"__fspath__": lambda self: raw})()  # bytes are audio, not a name
    assert sonorik_meter.measure(by_bytes).integrated_lufs == sonorik_meter.measure(as_str).integrated_lufs
    out = os.fsencode(tmp_path) + b"/out\xff.wav"
    r = sonorik_meter.normalize(raw, out, target=-20.0)
    assert (r.source, r.destination) == (as_str, os.fsdecode(out))
    assert os.path.exists(out)


def _cut_mp3(tmp_path):
    soundfile.write(tmp_path / "whole.mp3", programme(RATE), RATE, format="MP3")
    (tmp_path / "f.mp3").write_bytes((tmp_path / "whole.mp3").read_bytes()[:400])
    return tmp_path / "f.mp3"


def _rate_zero_wav(tmp_path):
    soundfile.write(tmp_path / "f.wav", programme(RATE), RATE, "PCM_16")
    b = bytearray((tmp_path / "f.wav").read_bytes())
    b[24:28] = bytes(4)
    (tmp_path / "f.wav").write_bytes(bytes(b))
    return tmp_path / "f.wav"


@pytest.mark.parametrize("make, message", [
    (_cut_mp3, "the file cannot be decoded: it is damaged, cut short, or not in the format it "
               "appears to be"),
    (_rate_zero_wav, "the header declares no usable format: a sample rate or channel count of "
                     "zero or out of range"),
])
def test_files_the_decoder_refuses_are_described_in_plain_words(make, message, tmp_path):
    if make is _cut_mp3 and "MP3" not in soundfile.available_formats():
        pytest.skip("no MP3 encoder")
    path = make(tmp_path)
    with pytest.raises(OSError) as e:
        sonorik_meter.measure(path)
    assert str(e.value) == f"{message}: {str(path)!r}"
