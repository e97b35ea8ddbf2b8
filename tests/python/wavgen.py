"""Test signals and WAV files written byte by byte (integer PCM, float,
extensible headers, extra chunks, malformed files)."""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np

PCM, FLOAT, EXTENSIBLE = 1, 3, 0xFFFE
_GUID_TAIL = b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"


# ---- signals (float64, interleaved, nominal -1..1) --------------------------

def db_to_amp(dbfs: float) -> float:
    return 10.0 ** (dbfs / 20.0)


def sine(seconds: float, rate: int = 48000, channels: int = 1, dbfs: float = -20.0,
         freq: float = 1000.0) -> np.ndarray:
    """A sine whose peak is at `dbfs`, the same on every channel."""
    n = int(round(seconds * rate))
    t = np.arange(n) / rate
    mono = db_to_amp(dbfs) * np.sin(2 * np.pi * freq * t)
    return np.repeat(mono, channels)


def noise(seconds: float, rate: int = 48000, channels: int = 1, dbfs: float = -20.0,
          state: int = 1234) -> np.ndarray:
    """Uniform white noise with RMS at `dbfs`, reproducible for a given state."""
    rng = np.random.default_rng(state)
    x = rng.uniform(-1.0, 1.0, int(round(seconds * rate)) * channels)
    return x * db_to_amp(dbfs) * np.sqrt(3.0)


# ---- encoding ---------------------------------------------------------------

def quantize(x: np.ndarray, bits: int) -> np.ndarray:
    """Float samples to integer codes: scale 2^(bits-1), rounded, clipped."""
    scale = float(2 ** (bits - 1))
    return np.clip(np.round(np.asarray(x, dtype=np.float64) * scale), -scale, scale - 1).astype(np.int64)


def encode(codes, bits: int, kind: str = "int") -> bytes:
    """Sample codes to little-endian bytes. For 8 bits the codes are signed and
    stored offset by 128; floats are stored as 32-bit IEEE."""
    if kind == "float":
        return np.asarray(codes, dtype="<f4").tobytes()
    a = np.asarray(codes, dtype=np.int64)
    if bits == 8:
        return (a + 128).astype(np.uint8).tobytes()
    if bits == 16:
        return a.astype("<i2").tobytes()
    if bits == 24:
        b = a.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :3]
        return b.tobytes()
    if bits == 32:
        return a.astype("<i4").tobytes()
    raise ValueError(f"no encoding for {bits} bits")


def chunk(tag: bytes, body: bytes, declared: int | None = None) -> bytes:
    """A RIFF chunk with its pad byte after an odd body."""
    size = len(body) if declared is None else declared
    pad = b"\x00" if len(body) % 2 else b""
    return tag + struct.pack("<I", size) + body + pad


def fmt_body(channels: int, rate: int, bits: int, tag: int = PCM, *, valid_bits: int | None = None,
             subformat: int | None = None, container_bits: int | None = None,
             extra: bytes = b"", channel_mask: int = 0) -> bytes:
    container = container_bits or bits
    block = channels * container // 8
    body = struct.pack("<HHIIHH", tag, channels, rate, rate * block, block, container)
    if tag == EXTENSIBLE:
        sub = subformat if subformat is not None else PCM
        body += struct.pack("<HHI", 22, valid_bits or bits, channel_mask) + struct.pack("<H", sub) + _GUID_TAIL
    return body + extra


def wav_bytes(data: bytes, channels: int = 1, rate: int = 48000, bits: int = 16, tag: int = PCM, *,
              fmt: bytes | None = None, before: list[bytes] = (), between: list[bytes] = (),
              after: list[bytes] = (), data_first: bool = False,
              declared_data_size: int | None = None, **fmt_options) -> bytes:
    """A whole WAV file around encoded sample bytes. `fmt` replaces the fmt
    chunk body; `before`/`between`/`after` are extra chunks around fmt and data."""
    fmt_chunk = chunk(b"fmt ", fmt if fmt is not None else fmt_body(channels, rate, bits, tag, **fmt_options))
    data_chunk = chunk(b"data", data, declared_data_size)
    if declared_data_size is not None and len(data) % 2:
        data_chunk = data_chunk[:-1]
    first, second = (data_chunk, fmt_chunk) if data_first else (fmt_chunk, data_chunk)
    body = b"WAVE" + b"".join(before) + first + b"".join(between) + second + b"".join(after)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def write_wav(path, samples, rate: int = 48000, channels: int = 1, bits: int = 16,
              kind: str = "int", **options) -> Path:
    """Writes float samples (-1..1, interleaved) as integer PCM or 32-bit float."""
    path = Path(path)
    if kind == "float":
        bits = 32
        data = encode(samples, 32, "float")
        tag = options.pop("tag", FLOAT)
    else:
        data = encode(quantize(samples, bits), bits)
        tag = options.pop("tag", PCM)
    path.write_bytes(wav_bytes(data, channels, rate, bits, tag, **options))
    return path


def write_codes(path, codes, rate: int = 48000, channels: int = 1, bits: int = 16, **options) -> Path:
    """Writes integer sample codes exactly as given."""
    path = Path(path)
    path.write_bytes(wav_bytes(encode(codes, bits), channels, rate, bits, **options))
    return path


# ---- malformed files --------------------------------------------------------

def malformed_corpus(count: int = 300, state: int = 7) -> list[bytes]:
    """Truncations, byte flips and header lies derived from small valid files."""
    rng = np.random.default_rng(state)
    bases = [
        wav_bytes(encode(quantize(sine(0.02, 8000, 1), 16), 16), 1, 8000, 16),
        wav_bytes(encode(quantize(sine(0.02, 8000, 2), 24), 24), 2, 8000, 24, EXTENSIBLE),
        wav_bytes(encode(sine(0.01, 8000, 2), 32, "float"), 2, 8000, 32, FLOAT,
                  before=[chunk(b"LIST", b"odd")]),
        wav_bytes(encode(quantize(sine(0.01, 8000, 1), 8), 8), 1, 8000, 8, data_first=True),
    ]
    out = [b"", b"RIFF", b"RIFF\x00\x00\x00\x00WAVE", b"\x00" * 44]
    while len(out) < count:
        b = bytearray(bases[int(rng.integers(len(bases)))])
        action = int(rng.integers(4))
        if action == 0:
            b = b[: int(rng.integers(len(b)))]
        elif action == 1:
            for _ in range(int(rng.integers(1, 6))):
                b[int(rng.integers(min(len(b), 80)))] = int(rng.integers(256))
        elif action == 2:
            pos = int(rng.choice([4, 16, 20, 22, 24, 28, 32, 34, 40]))
            if pos + 4 <= len(b):
                b[pos:pos + 4] = struct.pack("<I", int(rng.choice([0, 1, 0xFFFFFFFF, 0x7FFFFFFF, 3])))
        else:
            b = b[:36] + chunk(b"junk", bytes(int(rng.integers(0, 9)))) + b[36:]
        out.append(bytes(b))
    return out
