"""Normalising the audio of a video or AAC container (behind
`sonorik_meter.normalize` for the files _sonorik_av reads): the same
container written again, every other stream (video, subtitles, data, other
audio) copied packet for packet, only the default audio stream decoded, given
one gain and encoded again with its own codec at its bit rate or higher; the
container's and every stream's tags and dispositions kept.

The file is written to a temporary file beside the destination
(sonorik_meter._Replacement, the safe replacement every output goes through)
and verified before it replaces it: the copied streams hold the same packets (count, bytes
and an MD5 of their payloads), and the audio, measured again through the same
engine, is under the ceiling and at the target within TOLERANCE_LU. A lossy
coding moves both a little: the gain is then corrected (and, when the level
missed, the bit rate raised) and the audio encoded again, at most ENCODES
times. Anything else, an interrupt included, leaves the
destination as it was and removes the temporary file.
"""

from __future__ import annotations

import contextlib
import hashlib
import math
import os
import shutil
from fractions import Fraction
from typing import Any

import numpy as np

import _sonorik_av as reader

# Muxers by extension: a container is written as the one it was read as.
MUXERS = {
    "mp4": "mp4", "m4v": "mp4", "m4a": "ipod", "m4b": "ipod", "mov": "mov", "3gp": "3gp",
    "3g2": "3g2", "mkv": "matroska", "mka": "matroska", "webm": "webm", "ts": "mpegts",
    "m2ts": "mpegts", "mts": "mpegts", "aac": "adts", "adts": "adts", "ac3": "ac3",
    "eac3": "eac3",
}
# Encoders where FFmpeg's own encoder of the codec is not the usual one.
ENCODERS = {"opus": "libopus", "mp3": "libmp3lame", "vorbis": "libvorbis"}
LOSSLESS = frozenset(("alac", "flac", "pcm_s16le", "pcm_s24le", "pcm_f32le", "truehd"))
# Bit rate, per channel, when the source does not declare one, and the most
# a retry raises it to.
BIT_RATE_PER_CHANNEL = 96_000
MOST_BIT_RATE_PER_CHANNEL = 256_000
# The Measurement attribute of each measure normalize() takes.
LEVELS = {
    "integrated": "integrated_lufs", "short_term_max": "short_term_max_lufs",
    "momentary_max": "momentary_max_lufs", "true_peak": "true_peak_dbtp",
    "rms_max": "rms_max_dbfs", "rms_average": "rms_average_dbfs",
}
TOLERANCE_LU = 0.1
ENCODES = 4
MARGIN_DB = 0.1


def _refuse(message: str, path: str) -> ValueError:
    return ValueError(f"{message}: {path!r}")


def _check(target: float, ceiling: float, bounds: tuple[float, float] | None) -> None:
    if not math.isfinite(target):
        raise ValueError(f"target must be a finite level (got {target})")
    if not math.isfinite(ceiling) or ceiling > 0.0:
        raise ValueError(f"ceiling must be a finite level of at most 0.0 dBTP (got {ceiling:.2f})")
    if bounds is not None and not bounds[0] <= bounds[1]:
        raise ValueError(f"range low {bounds[0]:.2f} is above range high {bounds[1]:.2f}")


def _digests(container: Any, skip: int) -> dict[int, tuple[int, int, str]]:
    """Packets, bytes and the MD5 of the payloads of every stream but `skip`."""
    sums: dict[int, Any] = {}
    counts: dict[int, list[int]] = {}
    for packet in container.demux():
        i = packet.stream.index
        if i == skip or packet.size == 0:
            continue
        sums.setdefault(i, hashlib.md5()).update(bytes(packet))
        c = counts.setdefault(i, [0, 0])
        c[0] += 1
        c[1] += packet.size
    return {i: (counts[i][0], counts[i][1], sums[i].hexdigest()) for i in sums}


def _add_streams(inp: Any, out: Any, audio: Any, bit_rate: int) -> dict[int, Any]:
    """The output's streams, one per input stream in the same order: the
    audio stream encoded anew, every other one from its template."""
    streams = {}
    for s in inp.streams:
        if s.index == audio.index:
            cc = audio.codec_context
            o = out.add_stream(ENCODERS.get(cc.name, cc.name), rate=cc.sample_rate)
            o.codec_context.layout = cc.layout
            # The source's sample format where the encoder takes it (a 24-bit
            # ALAC stays 24-bit), else the encoder's own.
            if cc.format.name in [f.name for f in (o.codec_context.codec.audio_formats or ())]:
                o.codec_context.format = cc.format.name
            if cc.name not in LOSSLESS:
                o.codec_context.bit_rate = bit_rate
            o.codec_context.time_base = Fraction(1, cc.sample_rate)
        else:
            o = out.add_stream_from_template(s)
        o.metadata.update(s.metadata)
        with contextlib.suppress(AttributeError, TypeError, ValueError):
            o.disposition = s.disposition
        streams[s.index] = o
    return streams


def _write(source: str, temp: str, muxer: str, gain_db: float, bit_rate: int) -> None:
    av = reader._av(source)
    factor = 10.0 ** (gain_db / 20.0)
    with reader._open(source) as inp, av.open(temp, "w", format=muxer) as out:
        out.metadata.update(inp.metadata)
        audio = reader._choose(inp, None, source)
        streams = _add_streams(inp, out, audio, bit_rate)
        encoder = streams[audio.index]
        cc = audio.codec_context
        layout = cc.layout.name
        to_float = av.AudioResampler(format="fltp", layout=layout, rate=cc.sample_rate)
        start: int | None = None
        done = 0
        try:
            for packet in inp.demux():
                if packet.stream.index != audio.index:
                    if packet.size:
                        packet.stream = streams[packet.stream.index]
                        out.mux(packet)
                    continue
                if packet.is_corrupt:
                    raise OSError(f"damaged audio at {done / cc.sample_rate:.3f} s: a packet is "
                                  f"marked corrupt: {source!r}")
                for frame in packet.decode():
                    if start is None:
                        start = round(float(frame.pts * frame.time_base) * cc.sample_rate) \
                            if frame.pts is not None else 0
                    for f in to_float.resample(frame):
                        a = f.to_ndarray().astype(np.float32) * np.float32(factor)
                        g = av.AudioFrame.from_ndarray(a, format="fltp", layout=layout)
                        g.sample_rate = cc.sample_rate
                        g.pts = start + done
                        g.time_base = Fraction(1, cc.sample_rate)
                        done += g.samples
                        out.mux(encoder.encode(g))
            out.mux(encoder.encode(None))
        except av.FFmpegError as e:
            raise reader._failure(e, source, done / cc.sample_rate) from None


def normalize(source: str | bytes, destination: str | bytes, target: float, measure: str,
              ceiling: float, bounds: tuple[float, float] | None, fmt: str,
              rate_hz: int) -> dict[str, Any]:
    """Normalises the default audio stream of the container `source` into
    `destination`; the report's fields as a dict (NormalizeReport)."""
    import sonorik_meter

    src, dst = os.fsdecode(source), os.fsdecode(destination)
    _check(target, ceiling, bounds)
    ext = os.path.splitext(src)[1][1:].lower()
    if fmt or rate_hz:
        raise _refuse("format and rate apply to audio files: a container's audio is written in "
                      "its own format and rate", src)
    if ext not in MUXERS:
        raise _refuse(f"normalising .{ext} files is not supported (only the audio of "
                      f"{', '.join(sorted(set(MUXERS)))} files)", src)
    if os.path.splitext(dst)[1][1:].lower() != ext:
        raise _refuse(f"the output of a .{ext} file is a .{ext} file", dst)
    with reader._open(src) as inp:
        audio = reader._choose(inp, None, src)
        index = list(inp.streams.audio).index(audio)
        cc = audio.codec_context
        bit_rate = max(cc.bit_rate or 0, BIT_RATE_PER_CHANNEL * cc.channels)
        skip = audio.index
        before = _digests(inp, skip)
    m_in = sonorik_meter.measure(src, stream=index)
    level = getattr(m_in, LEVELS[measure])
    if level is None or not math.isfinite(level):
        raise ValueError(f"cannot normalise on the {measure} level: it is {level}: {src!r}")
    report: dict[str, Any] = {
        "input": m_in, "output": m_in, "input_level": level, "output_level": level,
        "gain_asked_db": target - level, "gain_applied_db": 0.0, "limit": None,
        "written": True, "copied": False, "input_format": m_in.format,
        "output_format": m_in.format, "notes": [], "channel_map": list(m_in.channel_map),
    }
    if bounds is not None and bounds[0] <= level <= bounds[1]:
        report.update(limit="in range", gain_asked_db=0.0)
        if os.path.exists(dst) and os.path.samefile(src, dst):
            report["written"] = False
        else:
            _copy(src, dst)
            report["copied"] = True
        return report
    gain = target - level
    if math.isfinite(m_in.true_peak_dbtp) and gain > ceiling - m_in.true_peak_dbtp:
        gain = ceiling - m_in.true_peak_dbtp - 1e-4
        report["limit"] = "ceiling"
    for _ in range(ENCODES):
        replacement = sonorik_meter._Replacement(dst)
        try:
            _write(src, replacement.path, MUXERS[ext], gain, bit_rate)
            m_out = reader.measure(replacement.path, index, None, False)
            with reader._open(replacement.path) as written:
                after = _digests(written, list(written.streams)[skip].index)
            if after != before:
                raise OSError(f"the written file's other streams differ from the source's: "
                              f"nothing was written: {dst!r}")
            out_level = getattr(m_out, LEVELS[measure])
            over = m_out.true_peak_dbtp - ceiling
            off = target - out_level
            if over <= 0 and (report["limit"] == "ceiling" or abs(off) <= TOLERANCE_LU):
                replacement.commit()
                report.update(output=m_out, output_level=out_level, gain_applied_db=gain)
                return report
        finally:
            replacement.discard()
        if over > 0:
            gain -= over + MARGIN_DB
            report["limit"] = "ceiling"
        else:
            # A coding at a low bit rate can move the loudness by more than
            # the gain did (bands dropped or filled in by level): the next
            # encoding also gets more bits.
            gain += off
            bit_rate = max(bit_rate, min(bit_rate * 3 // 2, MOST_BIT_RATE_PER_CHANNEL * cc.channels))
    raise ValueError(f"the encoded audio stays off its target or over the ceiling after "
                     f"{ENCODES} encodings: nothing was written: {dst!r}")


def _copy(src: str, dst: str) -> None:
    """The file `src` copied byte for byte over `dst`."""
    import sonorik_meter

    replacement = sonorik_meter._Replacement(dst)
    try:
        shutil.copyfile(src, replacement.path)
        replacement.commit()
    finally:
        replacement.discard()
