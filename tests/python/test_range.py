"""sonorik_meter's loudness range (short-term loudness every 100 ms) against ffmpeg's ebur128 filter on
music-like material: sections at different levels of coloured noise and tones."""

from __future__ import annotations

import os
import re
import shutil
import subprocess

import numpy as np
import pytest
import soundfile

from wavgen import material

meter = pytest.importorskip("sonorik_meter")
FFMPEG = shutil.which("ffmpeg")
pytestmark = pytest.mark.skipif(FFMPEG is None, reason="ffmpeg is not installed (`make pydeps` installs it)")


def ffmpeg_range(path: str) -> tuple[float, float, float]:
    """LRA, LRA low and LRA high from the filter's summary (one decimal)."""
    run = subprocess.run([FFMPEG, "-nostats", "-i", path, "-af", "ebur128", "-f", "null", "-"],
                         capture_output=True, text=True, check=True,
                         env={k: v for k, v in os.environ.items() if k != "LD_PRELOAD"})  # sanitizer runs
    summary = run.stderr[run.stderr.rindex("Summary:"):]
    return tuple(float(re.search(rf"{name}:\s+(\S+)", summary)[1]) for name in ("LRA", "LRA low", "LRA high"))


# (seed, seconds, rate, channels, sections)
CASES = [(1, 10, 48000, 2, 3), (3, 30, 44100, 2, 6), (4, 45, 48000, 1, 8), (5, 60, 48000, 2, 12),
         (7, 25, 96000, 2, 5)]


@pytest.mark.parametrize("seed,seconds,rate,channels,sections", CASES,
                         ids=[f"{c[1]} s {c[2]} Hz {c[3]} ch" for c in CASES])
def test_range_agrees_with_ffmpeg(tmp_path, seed, seconds, rate, channels, sections):
    path = str(tmp_path / "music.wav")
    soundfile.write(path, material(seed, seconds, rate, channels, sections), rate, subtype="FLOAT")
    m = meter.measure(path)
    ours = (m.loudness_range_lu, m.loudness_range_low_lufs, m.loudness_range_high_lufs)
    assert ours[0] == ours[2] - ours[1]
    assert np.allclose(ours, ffmpeg_range(path), rtol=0.0, atol=0.3), (ours, ffmpeg_range(path))
