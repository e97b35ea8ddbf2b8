"""`python3 tests/fuzz/make_corpus.py DIR` writes the fuzzers' starting inputs: small WAV files of every
sample layout and header variant the readers know, and, where ffmpeg is installed, the same audio as
FLAC, Ogg Vorbis and Opus, MP3, AIFF and CAF, tagged, for the door's and the tags' harnesses. Standard
library only (runs before any venv exists)."""

import math
import shutil
import struct
import subprocess
import sys
from pathlib import Path

PCM, FLOAT, EXTENSIBLE = 1, 3, 0xFFFE
GUID_TAIL = b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"


def chunk(tag, body, declared=None):
    size = len(body) if declared is None else declared
    return tag + struct.pack("<I", size) + body + (b"\x00" if len(body) % 2 else b"")


def fmt(channels, rate, bits, tag=PCM, sub=PCM, container=None):
    container = container or bits
    block = channels * container // 8
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * block, block, container)
    if tag == EXTENSIBLE:
        body += struct.pack("<HHI", 22, bits, 0) + struct.pack("<H", sub) + GUID_TAIL
    return body


def samples(frames, channels, bits, kind, container=None):
    container = container or bits
    out = bytearray()
    for i in range(frames):
        for c in range(channels):
            x = 0.5 * math.sin(2 * math.pi * (440 + 110 * c) * i / 8000)
            if kind == "float":
                out += struct.pack("<f", x)
            elif bits == 8:
                out.append(int(round(x * 127)) + 128)
            else:
                code = int(round(x * (2 ** (bits - 1) - 1))) << (container - bits)
                out += (code & ((1 << container) - 1)).to_bytes(container // 8, "little")
    return bytes(out)


def wav(fmt_body, data, *, before=b"", between=b"", data_first=False, declared=None):
    f, d = chunk(b"fmt ", fmt_body), chunk(b"data", data, declared)
    body = b"WAVE" + before + (d + between + f if data_first else f + between + d)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def corpus():
    files = {f"pcm{b}_{c}ch": wav(fmt(c, 8000, b), samples(200, c, b, "int")) for b in (8, 16, 24, 32) for c in (1, 2)}
    files["float32_stereo"] = wav(fmt(2, 8000, 32, FLOAT), samples(200, 2, 32, "float"))
    files["ext_pcm16"] = wav(fmt(2, 16000, 16, EXTENSIBLE), samples(150, 2, 16, "int"))
    files["ext_pcm24_6ch"] = wav(fmt(6, 8000, 24, EXTENSIBLE), samples(60, 6, 24, "int"))
    files["ext_float32"] = wav(fmt(1, 44100, 32, EXTENSIBLE, FLOAT), samples(300, 1, 32, "float"))
    files["ext_pcm32"] = wav(fmt(1, 8000, 32, EXTENSIBLE, PCM), samples(300, 1, 32, "int"))
    files["pcm20_in_24"] = wav(fmt(1, 8000, 20, container=24), samples(200, 1, 20, "int", 24))
    files["list_and_odd_chunk"] = wav(fmt(1, 8000, 16), samples(200, 1, 16, "int"),
                                      before=chunk(b"LIST", b"INFOodd"), between=chunk(b"junk", b"x"))
    files["data_before_fmt"] = wav(fmt(1, 8000, 16), samples(100, 1, 16, "int"), data_first=True)
    files["data_cut_short"] = wav(fmt(2, 8000, 16), samples(100, 2, 16, "int"), declared=4000)
    files["one_frame"] = wav(fmt(1, 8000, 16), samples(1, 1, 16, "int"))
    files["no_frames"] = wav(fmt(2, 48000, 24), b"")
    files["rate_10hz"] = wav(fmt(1, 10, 16), samples(200, 1, 16, "int"))
    files["long_at_20hz"] = wav(fmt(1, 20, 16), samples(400, 1, 16, "int"))
    return files


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: make_corpus.py DIR")
    Path(sys.argv[1]).mkdir(parents=True, exist_ok=True)
    for name, data in corpus().items():
        (Path(sys.argv[1]) / f"{name}.wav").write_bytes(data)
    if shutil.which("ffmpeg"):
        for ext, codec in [("flac", []), ("ogg", ["-c:a", "libvorbis"]), ("opus", ["-ar", "48000"]),
                           ("mp3", []), ("aiff", []), ("caf", []),
                           ("m4a", ["-c:a", "aac", "-movflags", "+faststart"])]:
            subprocess.run(["ffmpeg", "-v", "quiet", "-y", "-f", "lavfi", "-i", "sine=f=440:d=0.3", "-ac", "2",
                            *codec, "-metadata", "title=t", "-metadata", "custom=c",
                            str(Path(sys.argv[1]) / f"sine.{ext}")], check=False)
