"""The lowest meter rates through every entry point whose meter lacks the short-term mode, and the loader's cut of
a trailing partial frame. `make test-memcheck` runs this under valgrind (it sees inside the meter library)."""

import wave

import numpy as np
import pytest

import sonorik
import wavgen

NO_SHORT_TERM = (True, False, False, False, True, True, True)


def at_the_gate_floor(path, rate):
    """20 s ending in a 1 s burst bisected to an integrated loudness in (-70, -69.9] LUFS."""
    burst = np.zeros(20 * rate)
    burst[-rate:] = wavgen.sine(1.0, rate, 1, 0.0, rate / 4)
    low, high = -120.0, 0.0
    for _ in range(60):
        gain = (low + high) / 2
        wavgen.write_wav(path, burst * 10 ** (gain / 20), rate, kind="float")
        level = sonorik.batch_analyze([str(path)], True, *[False] * 6)[0][2].integrated_loudness
        if -70.0 < level <= -69.9:
            return path
        low, high = (gain, high) if level <= -70.0 else (low, gain)
    raise AssertionError("no gain lands at the gate floor")


ENTRY_POINTS = {
    # At the gate floor the integrated-only meter re-measures 30 dB louder.
    "analyze_audio_all": lambda p, d: sonorik.analyze_audio_all(p)[1].integrated_loudness,
    "batch_analyze": lambda p, d: sonorik.batch_analyze([p], *NO_SHORT_TERM)[0][2].integrated_loudness,
    "batch_analyze_directory_py":
        lambda p, d: sonorik.batch_analyze_directory_py(str(d), *NO_SHORT_TERM)[0][2].integrated_loudness,
    "export_to_json": lambda p, d: sonorik.export_to_json([p], str(d / "r.json"), *NO_SHORT_TERM),
}  # normalisation refuses these rates before it builds a meter (test_compat_limits.py)


@pytest.mark.parametrize("rate", [16, 17])
@pytest.mark.parametrize("entry", ENTRY_POINTS)
def test_meters_without_the_short_term_mode(tmp_path, rate, entry, capfd):
    src = tmp_path / "in"
    src.mkdir()
    if entry == "analyze_audio_all":
        path = at_the_gate_floor(src / "a.wav", rate)
    else:
        path = wavgen.write_wav(src / "a.wav", wavgen.noise(20.0, rate, 1, -20.0), rate, kind="float")
    value = ENTRY_POINTS[entry](str(path), src if entry.startswith("batch") else tmp_path)
    out = capfd.readouterr()
    if entry == "analyze_audio_all":
        assert "Detecting abnormal integrated loudness" in out.out
    elif entry.startswith("batch"):
        # The K-weighting filter is unstable at 17 Hz: only a value is asked for.
        assert isinstance(value, float)
    assert "Warning" not in out.err


# 4,410 frames and a sample (cut to 4,410 frames); exactly 4,410 (under 0.1 s: counted in frames); 4,409 and a
# sample (looped to 4,410).
@pytest.mark.parametrize("codes", [8821, 8820, 8819])
def test_short_audio_with_a_partial_frame_ends_on_a_whole_frame(tmp_path, codes, total=4410):
    path = tmp_path / "a.wav"
    path.write_bytes(wavgen.wav_bytes(np.full(codes, 100, "<i2").tobytes(), 2, 44105))
    info = sonorik.get_audio_info_py(str(path))
    assert (info.total_samples, info.duration_seconds) == (total, total / 44105)
    # Normalisation writes the file's own whole frames.
    sonorik.normalize_true_peak(str(path), -3.0, str(tmp_path / "o.wav"))
    with wave.open(str(tmp_path / "o.wav")) as w:
        assert w.getnframes() == codes // 2
    assert (tmp_path / "o.wav").stat().st_size == 44 + 4 * (codes // 2)
