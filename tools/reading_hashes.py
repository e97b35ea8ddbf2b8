"""Hashes of every reading of sonorik_meter.measure (and analyze_audio_all) on
fixed audio: a generated 10-minute stereo 24-bit WAV and float64 arrays of 1,
2, 3 and 6 channels. A refactor of the engine must leave every line unchanged:

    python tools/reading_hashes.py > before.txt   # on the old build
    python tools/reading_hashes.py > after.txt    # on the new build
    diff before.txt after.txt

--without=PREFIX leaves out the fields whose names start with PREFIX (a
change meant to move some readings can show the others did not move).
"""
from __future__ import annotations

import hashlib
import struct
import sys
from pathlib import Path

import numpy as np

import sonorik
import sonorik_meter

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "bench"))


WITHOUT = [a.split("=", 1)[1] for a in sys.argv[1:] if a.startswith("--without=")]


def _digest(m: object) -> str:
    h = hashlib.sha256()
    for name in sorted(n for n in dir(m) if not n.startswith("_")):
        if any(name.startswith(prefix) for prefix in WITHOUT):
            continue
        v = getattr(m, name)
        if callable(v):
            continue
        if isinstance(v, np.ndarray):
            h.update(name.encode() + v.tobytes())
        elif isinstance(v, float):
            h.update(name.encode() + struct.pack("<d", v))
        else:
            h.update(name.encode() + repr(v).encode())
    return h.hexdigest()[:16]


def main() -> None:
    import run as bench  # bench/run.py: its generated 10-minute WAV

    wav = bench.prepare_inputs(need_hour=False, need_flac=False)["long"]
    print("wav measure", _digest(sonorik_meter.measure(str(wav))))
    print("wav measure series", _digest(sonorik_meter.measure(str(wav), series=True)))
    info, res = sonorik.analyze_audio_all(str(wav))
    print("wav analyze_audio_all", _digest(res), _digest(info))
    rng = np.random.default_rng(7)
    for channels in (1, 2, 3, 6):
        a = rng.standard_normal((48000 * 37 + 123, channels)) * 0.1
        a[:, 0] *= np.linspace(0.0, 2.0, a.shape[0])
        print(f"array {channels} ch", _digest(sonorik_meter.measure(a, 48000, series=True)))
        print(f"array {channels} ch 44.1k", _digest(sonorik_meter.measure(a[:300000], 44100)))


if __name__ == "__main__":
    main()
