"""Test signals and WAV files written byte by byte (integer PCM, float,
extensible headers, extra chunks, lying sizes)."""

from __future__ import annotations

import struct
from pathlib import Path

import numpy as np

PCM, FLOAT, EXTENSIBLE = 1, 3, 0xFFFE
MEASURES = ["integrated_loudness", "short_term_loudness", "momentary_loudness", "loudness_range",
            "true_peak", "rms_max", "rms_average"]
INFO_FIELDS = ["sample_rate", "channels", "bit_depth", "total_samples", "duration_seconds",
               "duration_formatted", "sample_format"]


def sine(seconds: float, rate: int = 48000, channels: int = 1, dbfs: float = -20.0,
         freq: float = 1000.0) -> np.ndarray:
    """A sine whose peak is at `dbfs`, the same on every channel (interleaved)."""
    t = np.arange(int(round(seconds * rate))) / rate
    return np.repeat(10.0 ** (dbfs / 20.0) * np.sin(2 * np.pi * freq * t), channels)


def noise(seconds: float, rate: int = 48000, channels: int = 1, dbfs: float = -20.0,
          state: int = 1234) -> np.ndarray:
    """Uniform white noise with RMS at `dbfs`, reproducible for a given state."""
    x = np.random.default_rng(state).uniform(-1.0, 1.0, int(round(seconds * rate)) * channels)
    return x * 10.0 ** (dbfs / 20.0) * np.sqrt(3.0)


def encode(x, bits: int, kind: str = "int") -> bytes:
    """Float samples as 32-bit floats, or as integer codes (scale 2^(bits-1),
    rounded, clipped; 8 bits offset by 128) in little-endian bytes."""
    if kind == "float":
        return np.asarray(x, dtype="<f4").tobytes()
    scale = float(2 ** (bits - 1))
    a = np.clip(np.round(np.asarray(x, dtype=np.float64) * scale), -scale, scale - 1).astype(np.int64)
    if bits == 8:
        return (a + 128).astype(np.uint8).tobytes()
    return a.astype("<i4").view(np.uint8).reshape(-1, 4)[:, :bits // 8].tobytes()


def chunk(tag: bytes, body: bytes, declared: int | None = None) -> bytes:
    """A RIFF chunk with its pad byte after an odd body."""
    size = len(body) if declared is None else declared
    return tag + struct.pack("<I", size) + body + b"\x00" * (len(body) % 2)


def wav_bytes(data: bytes, channels: int = 1, rate: int = 48000, bits: int = 16, tag: int = PCM, *,
              subformat: int = PCM, mask: int = 0, before: list[bytes] = (), data_first: bool = False,
              declared_data_size: int | None = None) -> bytes:
    """A whole WAV file around encoded sample bytes; `before` holds extra
    chunks ahead of fmt and data; `mask` is an extensible header's channel mask."""
    block = channels * bits // 8
    fmt = struct.pack("<HHIIHH", tag, channels, rate, rate * block, block, bits)
    if tag == EXTENSIBLE:
        fmt += struct.pack("<HHIH", 22, bits, mask, subformat) + b"\x00\x00\x00\x00\x10\x00\x80\x00\x00\xaa\x00\x38\x9b\x71"
    data_chunk = chunk(b"data", data, declared_data_size)
    parts = [chunk(b"fmt ", fmt), data_chunk[:8 + len(data)] if declared_data_size else data_chunk]
    body = b"WAVE" + b"".join(before) + b"".join(parts[::-1] if data_first else parts)
    return b"RIFF" + struct.pack("<I", len(body)) + body


def write_wav(path, samples, rate: int = 48000, channels: int = 1, bits: int = 16,
              kind: str = "int", **options) -> Path:
    """Writes float samples (-1..1, interleaved) as integer PCM or 32-bit float."""
    bits = 32 if kind == "float" else bits
    tag = options.pop("tag", FLOAT if kind == "float" else PCM)
    Path(path).write_bytes(wav_bytes(encode(samples, bits, kind), channels, rate, bits, tag, **options))
    return Path(path)


def malformed_corpus(count: int, state: int = 7) -> list[bytes]:
    """Truncations, byte flips and lying sizes derived from small valid files."""
    rng = np.random.default_rng(state)
    bases = [wav_bytes(encode(sine(0.02, 8000), 16), 1, 8000, 16),
             wav_bytes(encode(sine(0.02, 8000, 2), 24), 2, 8000, 24, EXTENSIBLE),
             wav_bytes(encode(sine(0.01, 8000, 2), 32, "float"), 2, 8000, 32, FLOAT,
                       before=[chunk(b"LIST", b"odd")]),
             wav_bytes(encode(sine(0.01, 8000), 8), 1, 8000, 8, data_first=True)]
    out = [b"", b"RIFF", b"RIFF\x00\x00\x00\x00WAVE", b"\x00" * 44]
    while len(out) < count:
        b = bytearray(bases[int(rng.integers(len(bases)))])
        action = int(rng.integers(3))
        if action == 0:
            b = b[: int(rng.integers(len(b)))]
        elif action == 1:
            for _ in range(int(rng.integers(1, 6))):
                b[int(rng.integers(min(len(b), 80)))] = int(rng.integers(256))
        else:
            pos = int(rng.choice([4, 16, 20, 22, 24, 28, 32, 34, 40]))
            b[pos:pos + 4] = struct.pack("<I", int(rng.choice([0, 1, 0xFFFFFFFF, 0x7FFFFFFF, 3])))
        out.append(bytes(b))
    return out


def material(seed: int, seconds: float, rate: int, channels: int, sections: int) -> np.ndarray:
    """Sections at -40..-12 dB (50 ms changes) of noise and a tremolo chord of four random tones."""
    from scipy.signal import lfilter

    rng = np.random.default_rng(seed)
    t = np.arange(int(seconds * rate)) / rate
    level = rng.uniform(-40, -12, sections)[np.searchsorted(np.sort(rng.uniform(0, seconds, sections - 1)), t)]
    level = np.convolve(level, np.ones(rate // 20) / (rate // 20), mode="same")
    noise = lfilter([0.3], [1.0, -0.7], rng.standard_normal((t.size, channels)), axis=0)
    chord = sum(np.sin(2 * np.pi * f * t + rng.uniform(0, 6.3)) for f in rng.uniform(100, 2000, 4))
    chord *= 1.0 + 0.5 * np.sin(2 * np.pi * rng.uniform(0.5, 3.0) * t)
    return 10 ** (level / 20)[:, None] * (0.5 * noise / noise.std() + 0.3 * chord[:, None])
