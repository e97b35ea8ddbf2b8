#!/usr/bin/env python3
"""A live loudness meter: reads raw 32-bit float samples (interleaved,
little-endian) from standard input and prints the momentary and short-term
loudness ten times a second of audio, then the whole programme's levels.

    ffmpeg -v error -i song.flac -f f32le -ac 2 -ar 48000 - | \\
        python examples/live_meter.py --rate 48000 --channels 2
"""

from __future__ import annotations

import argparse
import sys
from typing import BinaryIO

import numpy as np

import sonorik_meter


def shown(level: float | None) -> str:
    """A level with one decimal, or "-" before its window is full."""
    return "     -" if level is None else f"{level:6.1f}"


def read_block(stream: BinaryIO, size: int) -> bytes:
    """Up to `size` bytes: less only at the end of the stream."""
    parts: list[bytes] = []
    while size > 0:
        part = stream.read(size)
        if not part:
            break
        parts.append(part)
        size -= len(part)
    return b"".join(parts)


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--rate", type=int, required=True, help="sample rate, Hz")
    parser.add_argument("--channels", type=int, required=True, help="channels (1 to 8)")
    args = parser.parse_args()
    meter = sonorik_meter.Meter(args.rate, args.channels)
    frame_bytes = 4 * args.channels
    step_bytes = (args.rate + 5) // 10 * frame_bytes  # the meter's 100 ms step
    print("    time  momentary  short-term  (LUFS)")
    while block := read_block(sys.stdin.buffer, step_bytes):
        whole = len(block) - len(block) % frame_bytes
        meter.add(np.frombuffer(block[:whole], dtype="<f4").reshape(-1, args.channels))
        now = meter.readings()
        print(f"{now.duration_s:8.1f}     {shown(now.momentary_lufs)}      {shown(now.short_term_lufs)}", flush=True)
        if whole != len(block):
            print(f"live_meter: the input ends inside a frame ({len(block) - whole} bytes left over)",
                  file=sys.stderr)
            return 1
    m = meter.measurement()
    print(f"integrated {m.integrated_lufs:.1f} LUFS, range {shown(m.loudness_range_lu).strip()} LU, "
          f"true peak {m.true_peak_dbtp:.1f} dBTP")
    return 0


if __name__ == "__main__":
    sys.exit(main())
