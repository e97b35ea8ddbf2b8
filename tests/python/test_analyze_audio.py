"""analyze_audio / analyze_audio_all: the WAV fast path from Python."""

import subprocess
import sys

import numpy as np
import pytest

import sonorik
import wavgen

MEASURES = ["integrated_loudness", "short_term_loudness", "momentary_loudness", "loudness_range",
            "true_peak", "rms_max", "rms_average"]


def values(results):
    return {m: getattr(results, m) for m in MEASURES}


def test_only_requested_family_is_filled(tmp_path, capfd):
    path = wavgen.write_wav(tmp_path / "a.wav", wavgen.sine(2.0, 48000, 2, -20.0), 48000, 2)
    info, results = sonorik.analyze_audio(str(path), True)
    assert (info.total_samples, info.duration_seconds) == (96000, 2.0)
    assert (info.duration_formatted, info.sample_format) == ("00:00:02.000", "I16")
    v = values(results)
    # The loudness fields come together; true peak and RMS stay absent.
    assert all(isinstance(v[m], float) for m in MEASURES[:4])
    assert v["true_peak"] is v["rms_max"] is v["rms_average"] is None
    assert capfd.readouterr().out == \
        "FFmpeg compatibility: Extended 2.000s audio with 6 repeats (total 12.000s)\n"


def test_keyword_and_positional_flags_agree(tmp_path):
    path = str(wavgen.write_wav(tmp_path / "a.wav", wavgen.noise(6.0, 48000, 2), 48000, 2))
    a = values(sonorik.analyze_audio(path, True, False, False, False, True)[1])
    b = values(sonorik.analyze_audio(file_path=path, integrated_loudness=True, true_peak=True)[1])
    assert a == b


def test_all_measures_and_rms_family(tmp_path):
    path = str(wavgen.write_wav(tmp_path / "a.wav", wavgen.noise(6.0, 44100, 2, -20.0), 44100, 2, 24))
    info, results = sonorik.analyze_audio_all(path)
    assert info.sample_format == "I24" and info.bit_depth == 24
    assert all(isinstance(x, float) for x in values(results).values())
    only_avg = values(sonorik.analyze_audio(path, rms_average=True)[1])
    assert only_avg["rms_max"] == results.rms_max and only_avg["rms_average"] == results.rms_average
    assert results.rms_average == pytest.approx(-20.0, abs=0.1)
    none = values(sonorik.analyze_audio(path)[1])
    assert all(x is None for x in none.values())


@pytest.mark.parametrize("dbfs", [-23.0, -33.0])
def test_reference_sines_integrated_loudness(tmp_path, dbfs):
    # A 1 kHz stereo sine whose peak is at `dbfs` measures `dbfs` LUFS.
    path = wavgen.write_wav(tmp_path / "s.wav", wavgen.sine(20.0, 48000, 2, dbfs), 48000, 2)
    _, results = sonorik.analyze_audio(str(path), integrated_loudness=True)
    assert results.integrated_loudness == pytest.approx(dbfs, abs=0.1)


@pytest.mark.parametrize("name", ["a.WAV", "b.Wav"])
def test_extension_case_takes_fast_path(tmp_path, name):
    path = wavgen.write_wav(tmp_path / name, wavgen.sine(0.05, 48000, 1), 48000, 1)
    info, _ = sonorik.analyze_audio(str(path))
    # No looping on the fast path; the loader loops to 0.1 s.
    assert info.duration_seconds == 0.05
    assert sonorik.get_audio_info_py(str(path)).duration_seconds == 0.1


@pytest.mark.parametrize("bits, kind, name", [(16, "int", "I16"), (24, "int", "I24"), (32, "float", "F32")])
def test_sample_format_by_bits(tmp_path, bits, kind, name):
    path = wavgen.write_wav(tmp_path / "a.wav", wavgen.sine(0.5, 8000, 1), 8000, 1, bits, kind)
    assert sonorik.analyze_audio(str(path))[0].sample_format == name


def test_open_and_load_errors(tmp_path):
    missing = str(tmp_path / "missing.wav")
    with pytest.raises(OSError) as info:
        sonorik.analyze_audio(missing)
    assert str(info.value) == "Failed to open WAV file: No such file or directory (os error 2)"
    eight = wavgen.write_wav(tmp_path / "e.wav", wavgen.sine(0.5, 8000, 1), 8000, 1, 8)
    with pytest.raises(OSError) as info:
        sonorik.analyze_audio(str(eight))
    assert str(info.value) == "Failed to open WAV file: Unsupported audio format: 1 8bit"
    aiff = str(tmp_path / "x.aiff")
    with pytest.raises(OSError) as info:
        sonorik.analyze_audio(aiff)
    assert str(info.value) == f'Failed to load audio: Failed to decode audio file: "{aiff}"'
    mp3 = str(tmp_path / "x.mp3")
    with pytest.raises(OSError) as info:
        sonorik.analyze_audio(mp3)
    assert str(info.value) == f'Failed to load audio: Unsupported audio format: "{mp3}"'
    with pytest.raises(TypeError):
        sonorik.analyze_audio(missing, 1)


def test_loudness_and_true_peak_each_print_the_extension(tmp_path, capfd):
    path = wavgen.write_wav(tmp_path / "a.wav", wavgen.sine(3.0, 48000, 1), 48000, 1)
    sonorik.analyze_audio(str(path), integrated_loudness=True, true_peak=True)
    line = "FFmpeg compatibility: Extended 3.000s audio with 5 repeats (total 15.000s)\n"
    assert capfd.readouterr().out == line * 2


def test_steady_sine_gets_loudness_range_correction(tmp_path, capfd):
    path = wavgen.write_wav(tmp_path / "a.wav", wavgen.sine(20.0, 48000, 2, -20.0), 48000, 2)
    _, results = sonorik.analyze_audio(str(path), loudness_range=True)
    out = capfd.readouterr().out.splitlines()
    assert len(out) == 2
    assert out[0].startswith("Detecting abnormal loudness range: ")
    assert out[0].endswith(" LU, attempting correction...")
    assert out[1] == "Corrected loudness range: 0.1 LU"
    assert results.loudness_range == 0.1


def test_all_zero_file(tmp_path, capfd):
    path = wavgen.write_wav(tmp_path / "z.wav", np.zeros(48000 * 16), 48000, 1)
    _, r = sonorik.analyze_audio_all(str(path))
    assert r.rms_max == r.rms_average == -150.0
    assert r.integrated_loudness is r.momentary_loudness is r.short_term_loudness is None
    assert r.true_peak == -100.0
    assert r.loudness_range == 0.1
    assert "Corrected loudness range: 0.1 LU" in capfd.readouterr().out


def test_very_low_rate(tmp_path):
    path = wavgen.write_wav(tmp_path / "slow.wav", wavgen.sine(20.0, 8, 1, -6.0, 1.0), 8, 1)
    with pytest.raises(RuntimeError) as info:
        sonorik.analyze_audio(str(path), rms_max=True)
    assert str(info.value).startswith("Analysis failed: ")
    _, r = sonorik.analyze_audio(str(path), integrated_loudness=True, true_peak=True)
    assert r.integrated_loudness is None and r.loudness_range is None
    assert isinstance(r.true_peak, float)  # interpolation fallback


def test_malformed_corpus_never_crashes(tmp_path):
    corpus = wavgen.malformed_corpus(400, state=11)
    for i, body in enumerate(corpus):
        (tmp_path / f"m{i:03}.wav").write_bytes(body)
    code = f"""
import glob, sonorik
counts = {{}}
for p in sorted(glob.glob({str(tmp_path)!r} + "/m*.wav")):
    try:
        sonorik.analyze_audio_all(p); k = "ok"
    except (OSError, RuntimeError) as e:
        k = type(e).__name__
    counts[k] = counts.get(k, 0) + 1
print(sum(counts.values()))
"""
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, timeout=300)
    assert out.returncode == 0, out.stderr[-2000:]
    assert int(out.stdout.split()[-1]) == len(corpus)
