"""normalize(limit=True) / --limit: the target reached under the ceiling by
a true-peak limiter, as ffmpeg's meter reads the written file; no change at
all where nothing exceeds the ceiling; the linear default's report."""

import json
import os
import re
import shutil
import subprocess
import sys

import numpy as np
import pytest
import soundfile as sf

import sonorik_meter

needs_tools = pytest.mark.skipif(shutil.which("ffmpeg") is None or shutil.which("espeak-ng") is None,
                                 reason="ffmpeg and espeak-ng make and read the material")
RATE = 48000


def speech_over_music(path, seconds=24.0):
    """espeak-ng speech in phrases with pauses, over a chord bed that swells and
    a drum hit every half second (band-limited to 16 kHz as released audio is):
    peaks far above the speech."""
    speech_wav = path.with_name("speech.wav")
    text = "Welcome back. Today: loudness, peaks and players. " * 3
    # Not ours to instrument: a sanitizer run's preload stays out of it.
    subprocess.run(["espeak-ng", "-w", str(speech_wav), "-s", "150", "-g", "12", text], check=True,
                   timeout=120, env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(speech_wav), "-ar", str(RATE), "-ac",
                          "1", "-f", "f64le", "-"], check=True, capture_output=True).stdout
    n = int(seconds * RATE)
    speech = np.resize(np.frombuffer(raw, "<f8"), n)
    t = np.arange(n) / RATE
    swell = 0.02 + 0.04 * (np.sin(2 * np.pi * t / seconds) ** 2)
    bed = swell * sum(np.sin(2 * np.pi * f * t) for f in (110, 165, 220, 277))
    rng = np.random.default_rng(7)
    hits = np.zeros(n)
    for start in np.arange(0.25, seconds - 0.1, 0.5):
        i, m = int(start * RATE), int(0.08 * RATE)
        hits[i:i + m] += rng.standard_normal(m) * np.exp(-np.arange(m) / (0.003 * RATE)) * 0.4
    x = np.stack([0.5 * speech + bed + hits, 0.5 * speech + 0.9 * bed + 0.8 * hits], 1)
    spectrum = np.fft.rfft(x, axis=0)
    spectrum[np.fft.rfftfreq(n, 1 / RATE) > 16000] = 0
    x = np.fft.irfft(spectrum, n, axis=0)
    sf.write(path, 0.7 * x / np.abs(x).max(), RATE, subtype="PCM_24")
    speech_wav.unlink()
    return path


def ffmpeg_reading(path):
    """Integrated loudness (LUFS), loudness range (LU) and true peak (dBTP) as
    ffmpeg's ebur128 filter reads them."""
    err = subprocess.run(["ffmpeg", "-nostats", "-hide_banner", "-i", str(path), "-af",
                          "ebur128=peak=true", "-f", "null", "-"], capture_output=True,
                         text=True).stderr
    summary = err[err.rindex("Summary:"):]
    value = lambda key: float(re.search(rf"{key}:\s+(-?[\d.]+|-inf)", summary).group(1))
    return value("I"), value("LRA"), value("Peak")


@pytest.fixture(scope="module")
def material(tmp_path_factory):
    return speech_over_music(tmp_path_factory.mktemp("limiter") / "episode.wav")


@needs_tools
@pytest.mark.parametrize("ext", ["wav", "flac", "mp3", "ogg"])
def test_limited_output_reaches_the_target_under_the_ceiling(material, tmp_path, ext):
    out = tmp_path / f"ep.{ext}"
    r = sonorik_meter.normalize(material, out, target=-16.0, ceiling=-1.0, limit=True)
    assert os.listdir(tmp_path) == [out.name]  # no trial or temporary file left
    integrated, lra, peak = ffmpeg_reading(out)
    _, lra_before, _ = ffmpeg_reading(material)
    assert abs(integrated + 16.0) <= 0.1
    assert peak <= -1.0 + 0.1
    assert abs(lra - lra_before) <= 1.0
    # The report is the written file's and names the limiter's work.
    assert r.limited and r.capped_by is None and abs(r.output_level + 16.0) <= 0.05
    assert r.output_true_peak_dbtp <= -1.0
    assert r.limiting_needed_db > 1.0 and r.limiter_max_reduction_db >= r.limiting_needed_db
    assert 0.0 < r.limiter_share < 1.0 and r.limiter_events >= 10
    assert abs(r.output_loudness_range_lu - r.input_loudness_range_lu) <= 1.0


@pytest.mark.parametrize("ext", ["wav", "flac"])
def test_nothing_over_the_ceiling_leaves_the_linear_output_untouched(tmp_path, ext):
    t = np.arange(5 * RATE) / RATE
    sf.write(tmp_path / "sine.wav", 0.1 * np.sin(2 * np.pi * 1000 * t), RATE, subtype="PCM_24")
    outputs = []
    for limit in (False, True):
        out = tmp_path / f"out_{limit}.{ext}"
        r = sonorik_meter.normalize(tmp_path / "sine.wav", out, target=-18.0, limit=limit)
        assert not r.limited and r.limiter_share is None and r.limiting_needed_db == 0.0
        outputs.append(sf.read(out, dtype="int32")[0])
    assert np.array_equal(outputs[0], outputs[1])


def cli(*args):
    return subprocess.run([sys.executable, "-m", "sonorik_cli", "normalize", *args],
                          capture_output=True, text=True)


@needs_tools
@pytest.mark.parametrize("limit, status", [(False, 4), (True, 0)])
def test_cli_status_and_the_limiting_named(material, tmp_path, limit, status):
    args = ["--to", "integrated", "-16", str(material), "-o", str(tmp_path / "o.wav")]
    done = cli(*args, *(["--limit"] if limit else []))
    assert done.returncode == status, done.stderr
    record = json.loads(cli(*args, "--format", "json", *(["--limit"] if limit else [])).stdout)
    if limit:
        assert re.search(r"limited: up to \d+\.\d\d dB, \d+ times, \d+\.\d% of the time, "
                         r"loudness range \d+\.\d -> \d+\.\d LU$", done.stdout.strip())
        assert record["limited"] and record["capped_by"] is None
    else:
        # What --limit would take off: the gain asked less the gain the ceiling left.
        need = record["gain_asked_db"] - record["gain_applied_db"]
        assert f"--limit would reduce peaks by up to {need:.2f} dB" in done.stdout
        assert record["limiting_needed_db"] == pytest.approx(need)


def test_limit_is_refused_on_the_true_peak_measure(tmp_path):
    sf.write(tmp_path / "a.wav", np.zeros(RATE), RATE)
    with pytest.raises(ValueError, match="limit cannot be used with the true_peak measure"):
        sonorik_meter.normalize(tmp_path / "a.wav", tmp_path / "b.wav", target=-1.0,
                                measure="true_peak", limit=True)


def test_a_target_the_ceiling_cannot_hold_is_reported_short(tmp_path):
    # A full-scale sine from its first frame to 0 LUFS: the limiter would have
    # to squash it; at most 6 dB of lost loudness is made up, peaks stay under.
    t = np.arange(4 * RATE) / RATE
    sf.write(tmp_path / "s.wav", 0.89 * np.sin(2 * np.pi * 997 * t), RATE, subtype="FLOAT")
    r = sonorik_meter.normalize(tmp_path / "s.wav", tmp_path / "o.wav", target=0.0, limit=True)
    assert r.limited and r.capped_by == "ceiling" and r.output_level < -0.1
    assert r.gain_applied_db <= r.gain_asked_db + 6.0 and r.output_true_peak_dbtp <= -1.0
