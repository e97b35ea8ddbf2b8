"""analyze_audio / analyze_audio_all: the WAV fast path from Python."""

import json

import numpy as np
import pytest

import sonorik
import wavgen
from wavgen import MEASURES


def values(results):
    return {m: getattr(results, m) for m in MEASURES}


def test_flags_choose_families_and_each_measurement_prints_the_extension(tmp_path, capfd):
    path = str(wavgen.write_wav(tmp_path / "a.wav", wavgen.noise(2.0, 44100, 2, -20.0), 44100, 2, 24))
    info, results = sonorik.analyze_audio(path, True)
    assert (info.total_samples, info.duration_seconds) == (88200, 2.0)
    assert (info.duration_formatted, info.sample_format, info.bit_depth) == ("00:00:02.000", "I24", 24)
    v = values(results)
    assert all(isinstance(v[m], float) for m in MEASURES[:4])  # the loudness fields come together
    assert v["true_peak"] is v["rms_max"] is v["rms_average"] is None
    line = "FFmpeg compatibility: Extended 2.000s audio with 6 repeats (total 12.000s)\n"
    assert capfd.readouterr().out == line
    sonorik.analyze_audio(path, integrated_loudness=True, true_peak=True)
    assert capfd.readouterr().out == line * 2
    # Keyword flags pick the same family as their positions; RMS comes as a pair.
    only_avg = values(sonorik.analyze_audio(path, rms_average=True)[1])
    assert only_avg == values(sonorik.analyze_audio(path, *[False] * 6, True)[1])
    assert only_avg["rms_average"] == pytest.approx(-20.0, abs=0.1) and only_avg["rms_max"] > -20.0
    assert only_avg["integrated_loudness"] is only_avg["true_peak"] is None
    assert all(x is None for x in values(sonorik.analyze_audio(path)[1]).values())
    assert all(isinstance(x, float) for x in values(sonorik.analyze_audio_all(path)[1]).values())


# A steady sine gets the range correction; one just under the absolute gate
# (and long enough to be corrected) gets both.
@pytest.mark.parametrize("seconds, dbfs, out, integrated, lra", [
    (20.0, -20.0, ["Detecting abnormal loudness range: 0.000 LU, attempting correction...",
                   "Corrected loudness range: 0.1 LU"], -20.0, 0.1),
    (15.5, -69.93, ["Detecting abnormal integrated loudness: -69.9 LUFS, attempting correction...",
                    "Corrected integrated loudness: -69.9 LUFS",
                    "Detecting abnormal loudness range: 0.000 LU, attempting correction...",
                    "Corrected loudness range: 0.1 LU"], -69.93, 0.1),
])
def test_corrections(tmp_path, capfd, seconds, dbfs, out, integrated, lra):
    path = wavgen.write_wav(tmp_path / "a.wav", wavgen.sine(seconds, 48000, 2, dbfs), 48000, 2, kind="float")
    _, r = sonorik.analyze_audio(str(path), True, True, True, True)
    assert capfd.readouterr().out.splitlines() == out
    for level in (r.integrated_loudness, r.momentary_loudness, r.short_term_loudness):  # steady: every window
        assert level == pytest.approx(integrated, abs=0.05)
    assert r.loudness_range == lra


@pytest.mark.parametrize("seconds", [9.0, 9.3])
def test_loudness_range_of_a_ramp(tmp_path, seconds):
    # Rising 1 dB/s: k short-term levels 0.1 dB apart; the range spans the 10th to 95th percentile.
    t = np.arange(int(48000 * seconds)) / 48000
    x = 10 ** ((t - 30) / 20) * np.sin(2 * np.pi * 1000 * t)
    path = wavgen.write_wav(tmp_path / "ramp.wav", np.repeat(x, 2), 48000, 2, kind="float")
    k = round(seconds * 10) - 29
    expected = 0.1 * (np.ceil(0.95 * k) - 1 - np.floor(0.1 * k))
    assert sonorik.analyze_audio(str(path), loudness_range=True)[1].loudness_range == pytest.approx(expected, abs=1e-6)


@pytest.mark.parametrize("seconds, out", [(16.0, "Corrected loudness range: 0.1 LU"), (0.0, "")])
def test_silent_and_empty_files_give_the_floors(tmp_path, capfd, seconds, out):
    path = wavgen.write_wav(tmp_path / "z.wav", np.zeros(int(48000 * seconds)), 48000, 1)
    _, r = sonorik.analyze_audio_all(str(path))
    assert r.rms_max == r.rms_average == -150.0
    assert r.integrated_loudness is r.momentary_loudness is r.short_term_loudness is None
    assert (r.true_peak, r.loudness_range) == (-100.0, 0.1 if seconds else 0.0)
    assert out in capfd.readouterr().out
    sonorik.export_to_json([str(path)], str(tmp_path / "r.json"), *[True] * 7)  # the general analyzer's floors
    assert json.loads((tmp_path / "r.json").read_text()) == {
        "file_name_ext": "z.wav", "integrated_loudness": -70.0, "short_term_loudness": -70.0,
        "momentary_loudness": -70.0, "loudness_range": 0.0, "true_peak": -96.0, "rms_max": -150.0,
        "rms_average": -150.0 if seconds else -96.0}


def test_very_low_rate(tmp_path):
    path = wavgen.write_wav(tmp_path / "slow.wav", wavgen.sine(20.0, 8, 1, -6.0, 1.0), 8, 1)  # RMS: the error table
    _, r = sonorik.analyze_audio(str(path), integrated_loudness=True, true_peak=True)
    assert r.integrated_loudness is None and r.loudness_range is None
    assert r.true_peak == pytest.approx(-6.0, abs=0.5)  # interpolation fallback
