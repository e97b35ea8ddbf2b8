"""sonorik_meter against ffmpeg's ebur128 filter (peak=true) on synthesised music-like material in several
formats and layouts; every run writes build/ffmpeg_agreement.md."""

from __future__ import annotations

import os
import re
import shutil
import subprocess

import numpy as np
import pytest
import soundfile
from scipy.signal import lfilter

import wavgen

meter = pytest.importorskip("sonorik_meter")
FFMPEG = shutil.which("ffmpeg")
pytestmark = pytest.mark.skipif(FFMPEG is None, reason="ffmpeg is not installed (`make pydeps` installs it)")

RATE = 48000
SECONDS = 30
PINK = ([0.049922035, -0.095993537, 0.050612699, -0.004408786], [1.0, -2.494956002, 2.017265875, -0.522189400])
# K-weighting at 48 kHz as published in ITU-R BS.1770: shelf, then high-pass.
K_WEIGHTING = [([1.53512485958697, -2.69169618940638, 1.19839281085285], [1.0, -1.69065929318241, 0.73248077421585]),
               ([1.0, -2.0, 1.0], [1.0, -1.99004745483398, 0.99007225036621])]

# (material, channels, writer, option, (BS.1770-4's, ffmpeg's) weights if they differ); mask: FL FR FC LFE BL BR.. SL SR
CASES = [
    ("stereo WAV PCM_24", 2, "sf", ("WAV", "PCM_24"), None),
    ("stereo FLAC PCM_16", 2, "sf", ("FLAC", "PCM_16"), None),
    ("stereo Ogg Vorbis", 2, "sf", ("OGG", "VORBIS"), None),
    ("stereo Ogg Opus", 2, "sf", ("OGG", "OPUS"), None),
    ("stereo MP3", 2, "sf", ("MP3", "MPEG_LAYER_III"), None),
    ("5.1 WAV, back pair (mask 0x3F)", 6, "mask", 0x3F, None),
    ("5.1 Ogg Vorbis (its own channel order)", 6, "sf", ("OGG", "VORBIS"), None),
    # BS.1770-4: back pair (+-135 degrees) 1.0, side pair (+-90) 1.41; 7 channels are 6.1 unless the mask is read
    ("7.0 WAV (mask 0x637)", 7, "mask", 0x637, ([1, 1, 1, 1, 1, 1.41, 1.41], [1, 1, 1] + [1.41] * 4)),
    ("7.1 WAV (mask 0x63F)", 8, "mask", 0x63F, ([1, 1, 1, 0, 1, 1, 1.41, 1.41], [1, 1, 1, 0] + [1.41] * 4)),
]
HEADER = ["Material", "I", "I reference", "ΔI (LU)", "TP (dBTP)", "ffmpeg TP", "ΔTP (dB)",
          "LRA (LU)", "ffmpeg LRA", "ΔLRA (LU)", "Pass"]


def music(channels: int, state: int) -> np.ndarray:
    """Pink noise and a chord in 6 s sections at -30..-12 dB, two accents a second, a level per channel."""
    rng = np.random.default_rng(state)
    t = np.arange(SECONDS * RATE) / RATE
    level = np.interp(t, np.arange(0, SECONDS + 6, 6.0), rng.uniform(-30, -12, SECONDS // 6 + 1))
    accent = 1.0 + 2.0 * np.exp(-10.0 * ((2.0 * t) % 1.0))
    common = lfilter(*PINK, rng.standard_normal(t.size))
    own = lfilter(*PINK, rng.standard_normal((t.size, channels)), axis=0)
    chord = sum(np.sin(2 * np.pi * f * t + rng.uniform(0, 6.3)) for f in (220.0, 277.2, 329.6, 1318.5))
    x = ((10 ** (level / 20) * accent)[:, None] * (common[:, None] + 0.8 * own + 0.05 * chord[:, None]) *
         10 ** (rng.uniform(-6, 0, channels) / 20))
    return 0.7 * x / np.abs(x).max()


def bs1770_integrated(x: np.ndarray, weights) -> float:
    for b, a in K_WEIGHTING:
        x = lfilter(b, a, x, axis=0)
    step = RATE // 10
    energy = np.cumsum(np.vstack([np.zeros(x.shape[1]), (x[: x.shape[0] // step * step] ** 2).reshape(
        -1, step, x.shape[1]).sum(axis=1)]), axis=0)
    blocks = ((energy[4:] - energy[:-4]) / (4 * step)) @ np.asarray(weights, dtype=float)
    blocks = blocks[-0.691 + 10 * np.log10(blocks) > -70.0]
    relative = -0.691 + 10 * np.log10(blocks.mean()) - 10.0
    return float(-0.691 + 10 * np.log10(blocks[-0.691 + 10 * np.log10(blocks) > relative].mean()))


def ffmpeg_reading(path: str) -> dict[str, float]:
    """I and LRA from the last metadata, true peak from the summary (one decimal)."""
    run = subprocess.run([FFMPEG, "-hide_banner", "-nostats", "-i", path, "-af",
                          "ebur128=peak=true:metadata=1,ametadata=print:file=-", "-f", "null", "-"],
                         capture_output=True, text=True, check=True,
                         env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})  # sanitizer runs
    summary = run.stderr[run.stderr.rindex("Summary:"):]
    return {"I": float(re.findall(r"lavfi\.r128\.I=(\S+)", run.stdout)[-1]),
            "LRA": float(re.findall(r"lavfi\.r128\.LRA=(\S+)", run.stdout)[-1]),
            "TP": float(re.search(r"Peak:\s+(\S+) dBFS", summary)[1])}


@pytest.mark.parametrize("index", range(len(CASES)), ids=[c[0] for c in CASES])
def test_agrees_with_ffmpeg(index, tmp_path, result_table):
    material, channels, writer, option, weights = CASES[index]
    x = music(channels, 100 + index)
    path = str(tmp_path / f"music.{option[0].lower() if writer == 'sf' else 'wav'}")
    if writer == "mask":
        wavgen.write_wav(path, x.ravel(), RATE, channels, 24, tag=wavgen.EXTENSIBLE, mask=option)
    elif option[1] in soundfile.available_subtypes(option[0]):
        soundfile.write(path, x, RATE, format=option[0], subtype=option[1])
    else:
        pytest.skip(f"this soundfile's libsndfile cannot write {option[0]} {option[1]}")
    m, ff = meter.measure(path), ffmpeg_reading(path)
    reference = ff["I"]
    if weights is not None:
        # ffmpeg weights the back pair +1.5 dB too: check bs1770_integrated with its weights, then use BS.1770-4's.
        assert abs(bs1770_integrated(x, weights[1]) - ff["I"]) <= 0.05
        reference = bs1770_integrated(x, weights[0])
        assert ff["I"] - reference > 0.2  # the material tells the two weightings apart
    errors = (m.integrated_lufs - reference, m.true_peak_dbtp - ff["TP"], m.loudness_range_lu - ff["LRA"])
    ok = abs(errors[0]) <= 0.1 and abs(errors[1]) <= 0.2 and abs(errors[2]) <= 0.3
    errors = [round(e, 2) + 0.0 for e in errors]  # no "-0.00" in the table
    result_table("ffmpeg_agreement.md", HEADER, len(CASES))[index] = [
        material, f"{m.integrated_lufs:.2f}", f"{reference:.2f}" + (" (BS.1770-4)" if weights else ""),
        f"{errors[0]:+.2f}", f"{m.true_peak_dbtp:.2f}", f"{ff['TP']:.1f}", f"{errors[1]:+.2f}",
        f"{m.loudness_range_lu:.2f}", f"{ff['LRA']:.2f}", f"{errors[2]:+.2f}", "yes" if ok else "**no**"]
    assert ok, (material, m.integrated_lufs, reference, m.true_peak_dbtp, m.loudness_range_lu, ff)
