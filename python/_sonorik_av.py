"""Audio inside video and AAC containers (MP4, M4A, MOV, Matroska, WebM,
MPEG-TS, ADTS AAC, AC-3, ...), decoded by PyAV and fed into the same engine as
every other input (sonorik_meter.Meter), so a Measurement from here has every
field a WAV file's has. Behind `sonorik_meter.measure` and `sonorik_meter.info`,
which hand a path here when its extension is one of
sonorik_meter._container_extensions() or when libsndfile does not recognise it
and its first bytes are a container's (sniffs()).

Needs PyAV (pip install "sonorik[video]"), imported on first use; without it
every call raises ModuleNotFoundError naming the extra.

Streams are counted among the audio streams only: stream 0 is the first audio
stream, whatever video or subtitle streams come before it. Without a stream,
the first audio stream marked default is taken, else the first one.

A damaged input is an error, never a shorter result: a decoder error, a packet
the demuxer marks corrupt, a change of rate or channels part way, or audio
ending well before the duration its stream declares.
"""

from __future__ import annotations

import errno
import os
import stat
from collections.abc import Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from typing import TYPE_CHECKING, Any

import numpy as np

if TYPE_CHECKING:
    import sonorik_meter

INSTALL_HINT = 'needs PyAV (pip install "sonorik[video]"), which is not installed'

# The most channels a container's stream is measured with (a Meter's).
MOST_CHANNELS = 8
# Frames gathered before a block goes to the meter: large blocks keep the
# per-call cost small, and memory stays flat whatever the length.
BLOCK_FRAMES = 1 << 17

# How far decoded audio may fall short of the duration its stream declares
# (encoder padding and rounding) before the input counts as cut short.
SHORT_BY_S = 0.1

# The sample types the meter takes as they are decoded.
_DTYPES = {"flt": np.float32, "dbl": np.float64, "s16": np.int16, "s32": np.int32}


def sniffs(path: str | bytes) -> bool:
    """True when the first bytes of the file at `path` are those of an
    MP4/MOV, Matroska/WebM, MPEG-TS, ADTS AAC or AC-3 stream. Never raises."""
    try:
        fd = os.open(os.fsdecode(path), os.O_RDONLY | os.O_NONBLOCK)
        try:
            head = os.read(fd, 376) if stat.S_ISREG(os.fstat(fd).st_mode) else b""
        finally:
            os.close(fd)
    except OSError:
        return False
    return (head[4:8] == b"ftyp" or head[:4] == b"\x1a\x45\xdf\xa3" or head[:2] == b"\x0b\x77"
            or (len(head) > 188 and head[0] == 0x47 and head[188] == 0x47)
            or (len(head) > 1 and head[0] == 0xFF and head[1] & 0xF6 == 0xF0))


def _av(path: str | bytes) -> Any:
    try:
        import av
    except ImportError:
        import sonorik_meter

        name = os.fsdecode(path)
        ext = os.path.splitext(name)[1][1:].lower()
        what = (f"{ext.upper()} files" if ext in sonorik_meter._container_extensions()
                else "this file (a video or AAC container)")
        raise ModuleNotFoundError(f"reading {what} {INSTALL_HINT}: {name!r}", name="av") from None
    return av


def _failure(e: BaseException, path: str | bytes, at_s: float | None = None) -> OSError:
    """An OSError naming `path` for PyAV's error `e` (the system's errno
    kept for files that cannot be opened)."""
    name = os.fsdecode(path)
    code = getattr(e, "errno", None)
    if isinstance(e, OSError) and code is not None and 0 < code < 4096 and at_s is None:
        return OSError(code, os.strerror(code), name)
    reason = getattr(e, "strerror", None) or str(e) or type(e).__name__
    where = f"damaged audio at {at_s:.3f} s: " if at_s is not None else ""
    return OSError(f"{where}{reason}: {name!r}")


def _open(path: str | bytes) -> Any:
    """The container at `path`, opened by PyAV. A directory, FIFO or device
    is refused first, as the door refuses them: opening one could block."""
    av = _av(path)
    name = os.fsdecode(path)
    mode = os.stat(name).st_mode
    if stat.S_ISDIR(mode):
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), name)
    if not stat.S_ISREG(mode):
        raise OSError(errno.ENODEV, os.strerror(errno.ENODEV), name)
    try:
        return av.open(name, "r")
    except (av.FFmpegError, OSError, ValueError) as e:
        raise _failure(e, path) from None


def _choose(container: Any, stream: int | None, path: str | bytes) -> Any:
    audio = list(container.streams.audio)
    name = os.fsdecode(path)
    if not audio:
        raise ValueError(f"no audio stream in {name!r}")
    if stream is None:
        return _decodable(next((s for s in audio if s.disposition & 1), audio[0]), name)
    if isinstance(stream, bool) or not isinstance(stream, int):
        raise TypeError(f"stream must be None or an int, got {type(stream).__name__}")
    if not 0 <= stream < len(audio):
        which = "stream 0 only" if len(audio) == 1 else f"streams 0 to {len(audio) - 1}"
        raise ValueError(f"no audio stream {stream}: the file has {which}: {name!r}")
    return _decodable(audio[stream], name)


def _decodable(s: Any, name: str) -> Any:
    """`s`, when it has a decoder and declares a rate and channels."""
    cc = s.codec_context
    if cc is None or not cc.sample_rate or not cc.channels:
        codec = cc.name if cc is not None else "without a decoder"
        raise ValueError(f"the audio stream cannot be decoded (codec {codec}, or no rate or "
                         f"channels declared): {name!r}")
    return s


def _format_name(container: Any, stream: Any, path: str | bytes) -> str:
    """'MP4 AAC', 'MKV AC3', 'WEBM OPUS': the container by the file's
    extension when the demuxer takes that name, else the demuxer's first
    name, and the codec."""
    ext = os.path.splitext(os.fsdecode(path))[1][1:].lower()
    names = container.format.name.split(",")
    known = set(names) | set(getattr(container.format, "extensions", ()) or ())
    box = ext if ext in known or (ext == "mkv" and "matroska" in names) else names[0]
    return f"{box.upper()} {stream.codec_context.name.upper()}"


def _declared_s(container: Any, stream: Any) -> float | None:
    """The duration the audio stream declares, seconds, or None."""
    if stream.duration and stream.time_base:
        return float(stream.duration * stream.time_base)
    text = (stream.metadata or {}).get("DURATION")
    if text:
        try:
            h, m, s = text.split(":")
            return int(h) * 3600 + int(m) * 60 + float(s)
        except ValueError:
            return None
    if container.duration and len(container.streams) == 1:
        return float(container.duration) / 1e6
    return None


def _layout(stream_or_frame: Any, channels: int) -> list[str]:
    import sonorik_meter

    names = [c.name for c in stream_or_frame.layout.channels]
    if len(names) != channels:
        names = []
    return list(sonorik_meter._layout_of(names, channels))


class _Gather:
    """Decoded frames copied into blocks of BLOCK_FRAMES frames, held
    channel by channel and handed out as (frames, channels) views."""

    def __init__(self, channels: int) -> None:
        self.channels = channels
        self.block: np.ndarray | None = None
        self.held = 0

    def put(self, frame: Any) -> list[np.ndarray]:
        """Adds `frame`; the blocks it fills."""
        parts = _channels(frame, self.channels)
        n = parts.shape[1]
        full = []
        if self.block is None or self.block.dtype != parts.dtype:
            if self.held:
                full.append(self.take())
            self.block = np.empty((self.channels, BLOCK_FRAMES), parts.dtype)
        start = 0
        while start < n:
            k = min(n - start, BLOCK_FRAMES - self.held)
            self.block[:, self.held:self.held + k] = parts[:, start:start + k]
            self.held += k
            start += k
            if self.held == BLOCK_FRAMES:
                full.append(self.take())
        return full

    def take(self) -> np.ndarray:
        assert self.block is not None
        out = self.block[:, :self.held].T
        self.block = np.empty_like(self.block)
        self.held = 0
        return out


def _channels(frame: Any, channels: int) -> np.ndarray:
    """A decoded frame's samples as (channels, frames), read in place where
    the meter takes the sample type (u8 and s64 become float64)."""
    fmt = frame.format
    n = frame.samples
    dtype = _DTYPES.get(fmt.name.rstrip("p"))
    if dtype is None:
        a: np.ndarray = frame.to_ndarray().astype(np.float64)
        a = (a - 128.0) / 128.0 if fmt.name.startswith("u8") else a / 2.0**63
        return a.reshape(channels, n) if fmt.is_planar else a.reshape(n, channels).T
    if fmt.is_planar:
        return np.stack([np.frombuffer(p, dtype, n) for p in frame.planes[:channels]])
    return np.frombuffer(frame.planes[0], dtype, n * channels).reshape(n, channels).T


def _blocks(container: Any, stream: Any, path: str | bytes) -> Iterator[np.ndarray]:
    """The stream's audio in blocks of BLOCK_FRAMES frames (the last one
    shorter); raises OSError for damage, naming `path` and where it is."""
    av = _av(path)
    rate, channels = stream.codec_context.sample_rate, stream.codec_context.channels
    gather = _Gather(channels)
    done = 0
    try:
        for packet in container.demux(stream):
            if packet.is_corrupt:
                raise _failure(ValueError("a packet is marked corrupt"), path, done / rate)
            for frame in packet.decode():
                if frame.sample_rate != rate or len(frame.layout.channels) != channels:
                    raise OSError(f"the audio changes from {channels} channels at {rate} Hz to "
                                  f"{len(frame.layout.channels)} at {frame.sample_rate} Hz at "
                                  f"{done / rate:.3f} s: {os.fsdecode(path)!r}")
                done += frame.samples
                yield from gather.put(frame)
    except av.FFmpegError as e:
        raise _failure(e, path, done / rate) from None
    if gather.held:
        yield gather.take()
    declared = _declared_s(container, stream)
    if declared is not None and done / rate < declared - SHORT_BY_S:
        raise OSError(f"the audio ends at {done / rate:.3f} s of the {declared:.3f} s it "
                      f"declares: {os.fsdecode(path)!r}")


def measure(path: str | bytes, stream: int | None, channel_map: Sequence[str] | None,
            series: bool) -> sonorik_meter.Measurement:
    """The Measurement of audio stream `stream` of the file at `path`."""
    import sonorik_meter

    with _open(path) as container:
        s = _choose(container, stream, path)
        cc = s.codec_context
        if cc.channels > MOST_CHANNELS:
            raise ValueError(f"the audio stream has {cc.channels} channels: a container's audio "
                             f"is measured up to {MOST_CHANNELS}: {os.fsdecode(path)!r}")
        layout = list(channel_map) if channel_map is not None else _layout(s, cc.channels)
        meter = sonorik_meter.Meter(cc.sample_rate, cc.channels, channel_map=layout, series=series)
        # The meter takes a block (without the interpreter lock) while the
        # next one is decoded; at most three blocks are held.
        try:
            with ThreadPoolExecutor(1) as feeder:
                fed: Future[None] | None = None
                for block in _blocks(container, s, path):
                    if fed is not None:
                        fed.result()
                    fed = feeder.submit(meter.add, block)
                if fed is not None:
                    fed.result()
        except ValueError as e:  # a sample that is not finite
            raise ValueError(f"{e}: {os.fsdecode(path)!r}") from None
        return sonorik_meter._measurement_as(meter.measurement(), _format_name(container, s, path))


def _stream_row(container: Any, s: Any, index: int) -> tuple[Any, ...]:
    cc = s.codec_context
    duration = _declared_s(container, s)
    language = s.language or (s.metadata or {}).get("language")
    if cc is None:  # no decoder: listed, never measured
        return (index, "unknown", 0, 0, [], language, duration, bool(s.disposition & 1))
    return (index, cc.name, cc.sample_rate, cc.channels, _layout(s, cc.channels),
            language if language and language != "und" else None, duration,
            bool(s.disposition & 1))


def info(path: str | bytes, stream: int | None) -> sonorik_meter.FileInfo:
    """The FileInfo of the file at `path`: the chosen audio stream's format,
    rate, channels and layout, and every audio stream."""
    import sonorik_meter

    with _open(path) as container:
        chosen = _choose(container, stream, path)
        rows = [_stream_row(container, s, i) for i, s in enumerate(container.streams.audio)]
        row = rows[list(container.streams.audio).index(chosen)]
        duration = row[6] or 0.0
        return sonorik_meter._file_info(_format_name(container, chosen, path), row[2], row[3],
                                        round(duration * row[2]), row[4], rows)
