"""Writes a few example WAV files: speech-like and music-like levels in the
common formats. Usage: python examples/make_examples.py OUTPUT_DIR"""

import sys
from pathlib import Path

import numpy as np

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests" / "python"))
import wavgen  # noqa: E402


def music_like(seconds: float, rate: int, channels: int) -> np.ndarray:
    """Noise shaped by a slow level envelope: quiet verses, loud choruses."""
    rng = np.random.default_rng(2024)
    n = int(seconds * rate)
    t = np.arange(n) / rate
    envelope = 10.0 ** ((-24.0 + 10.0 * (np.sin(2 * np.pi * t / 8.0) > 0)) / 20.0)
    tone = np.sin(2 * np.pi * 220.0 * t) + 0.5 * np.sin(2 * np.pi * 331.0 * t)
    mono = envelope * (0.4 * tone + 0.6 * rng.standard_normal(n).clip(-3, 3) / 3)
    return np.repeat(mono, channels)


def main(out_dir: str) -> None:
    out = Path(out_dir)
    out.mkdir(parents=True, exist_ok=True)
    files = [
        ("tone_-23dBFS_stereo_16bit.wav", wavgen.sine(20.0, 48000, 2, -23.0), 48000, 2, 16, "int"),
        ("music_like_stereo_24bit.wav", music_like(30.0, 44100, 2), 44100, 2, 24, "int"),
        ("noise_mono_float.wav", wavgen.noise(5.0, 48000, 1, -30.0), 48000, 1, 32, "float"),
        ("click_50ms_mono_16bit.wav", wavgen.sine(0.05, 44100, 1, -6.0, 440.0), 44100, 1, 16, "int"),
    ]
    for name, samples, rate, channels, bits, kind in files:
        wavgen.write_wav(out / name, samples, rate, channels, bits, kind)
        print(f"wrote {out / name}")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "examples/audio")
