"""Loudness, true peak, sample peak and RMS of any audio file or array, by the
standards' own definitions (ITU-R BS.1770-4, EBU R 128, EBU Tech 3341 and
3342). A value the audio is too short to define is None; digital silence reads
-inf. The interpreter lock is released while reading and measuring.

What is measured:

- integrated loudness: 400 ms blocks every 100 ms, absolute gate -70 LUFS,
  relative gate -10 LU (libebur128);
- momentary / short-term maximum: 400 ms / 3 s windows read every 100 ms
  (the meter's block of (rate + 5) // 10 frames), once the window is full;
- loudness range (EBU Tech 3342): the short-term (3 s) loudness read every
  100 ms, absolute gate -70 LUFS, relative gate -20 LU, 10th to 95th
  percentile;
- true peak: libebur128's interpolator, 4x oversampling below 96 kHz, 2x below
  192 kHz, none above;
- RMS average over every sample of every channel; RMS maximum over
  consecutive non-overlapping 100 ms blocks;
- channel weights (BS.1770-4): L, R, C, Lb, Rb, Cb, M, X 1.0; Ls, Rs (60 to
  120 degrees azimuth) 1.41; LFE left out. 7.1's back pair (Lb Rb, +-135
  degrees) weighs 1.0, where ffmpeg weighs it 1.41.

measure() takes a file or a whole array; Meter is fed blocks (live audio, a
stream) and read at any moment, giving measure()'s numbers for the same audio;
measure_album() measures several programmes as one album.
"""

import os
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any, SupportsIndex, Union

from typing import BinaryIO, Literal, Mapping

# Audio given as a file: a path (str or os.PathLike; a str with a URL scheme is a
# URL), the file's bytes, or a binary file-like object.
_Source = Union[str, os.PathLike[str], os.PathLike[bytes], bytes, bytearray, memoryview, BinaryIO]

import numpy
import numpy.typing

# The channel names measure() accepts in channel_map and Measurement.channel_map uses:
# M mono, L R front pair, C centre, LFE (left out), Ls Rs surround pair (+1.5 dB),
# Lb Rb back pair of 7.1, Cb back centre, X any other channel (1.0).
CHANNEL_NAMES: tuple[str, ...]
# The package version, e.g. "0.1.0".
__version__: str

class Measurement:
    """The result of measure(): every level in the unit its name ends with."""

    @property
    def integrated_lufs(self) -> float:
        """Integrated loudness, LUFS; -inf when no block passes the gates (digital silence, audio shorter than 400 ms)."""
    @property
    def momentary_max_lufs(self) -> float | None:
        """Largest momentary (400 ms) loudness, LUFS; None for audio shorter than 400 ms; -inf for digital silence."""
    @property
    def short_term_max_lufs(self) -> float | None:
        """Largest short-term (3 s) loudness, LUFS; None for audio shorter than 3 s; -inf for digital silence."""
    @property
    def loudness_range_lu(self) -> float | None:
        """Loudness range (EBU Tech 3342), LU; None for audio shorter than 3 s."""
    @property
    def loudness_range_low_lufs(self) -> float | None:
        """10th percentile of the gated short-term loudness, LUFS; None for audio shorter than 3 s or when no short-term block passes the gates."""
    @property
    def loudness_range_high_lufs(self) -> float | None:
        """95th percentile of the gated short-term loudness, LUFS; None as for the low percentile."""
    @property
    def absolute_gate_lufs(self) -> float:
        """Absolute gate of the integrated loudness, LUFS (-70.0)."""
    @property
    def relative_gate_lufs(self) -> float:
        """Relative gate of the integrated loudness, LUFS; -inf when no block passes the absolute gate."""
    @property
    def true_peak_dbtp(self) -> float:
        """True peak, dBTP, the largest over the channels; -inf for digital silence."""
    @property
    def sample_peak_dbfs(self) -> float:
        """Sample peak, dBFS, the largest over the channels; -inf for digital silence."""
    @property
    def rms_average_dbfs(self) -> float:
        """RMS over all samples of all channels, dBFS; -inf for silence or no audio."""
    @property
    def rms_max_dbfs(self) -> float | None:
        """RMS of the loudest 100 ms block (all channels), dBFS; None for audio shorter than 100 ms."""
    @property
    def duration_s(self) -> float:
        """Duration, seconds (frames / rate_hz)."""
    @property
    def frames(self) -> int:
        """Length, frames (samples per channel) as read."""
    @property
    def rate_hz(self) -> int:
        """Sample rate, Hz."""
    @property
    def channels(self) -> int:
        """Number of channels."""
    @property
    def format(self) -> str:
        """Container and encoding, e.g. 'WAV PCM_24', 'FLAC PCM_16', 'OGG VORBIS', 'array float32'."""
    @property
    def channel_integrated_lufs(self) -> tuple[float, ...]:
        """Per channel: the channel's own integrated loudness (measured alone, weight 1.0), LUFS."""
    @property
    def channel_true_peak_dbtp(self) -> tuple[float, ...]:
        """Per channel: true peak, dBTP."""
    @property
    def channel_sample_peak_dbfs(self) -> tuple[float, ...]:
        """Per channel: sample peak, dBFS."""
    @property
    def channel_rms_average_dbfs(self) -> tuple[float, ...]:
        """Per channel: RMS over the whole audio, dBFS."""
    @property
    def channel_rms_max_dbfs(self) -> tuple[float | None, ...]:
        """Per channel: RMS of the channel's loudest 100 ms block, dBFS; None below 100 ms."""
    @property
    def channel_map(self) -> tuple[str, ...]:
        """The channel layout used for weighting, one name per channel (see CHANNEL_NAMES)."""
    @property
    def series_time_s(self) -> numpy.typing.NDArray[numpy.float64] | None:
        """With series=True: the end of every 100 ms step, seconds (numpy float64; the last step may be shorter); otherwise None."""
    @property
    def series_momentary_lufs(self) -> numpy.typing.NDArray[numpy.float64] | None:
        """With series=True: momentary loudness at each step end, LUFS (numpy float64; NaN before 400 ms of audio, -inf for digital silence); otherwise None."""
    @property
    def series_short_term_lufs(self) -> numpy.typing.NDArray[numpy.float64] | None:
        """With series=True: short-term loudness at each step end, LUFS (numpy float64; NaN before 3 s of audio, -inf for digital silence); otherwise None."""
    @property
    def series_true_peak_dbtp(self) -> numpy.typing.NDArray[numpy.float64] | None:
        """With series=True: the largest true peak over the channels within each step, dBTP (numpy float64; -inf for digital silence); otherwise None."""

def measure(source: Union[_Source, Any], rate: SupportsIndex | None = None, *, channel_map: Sequence[str] | None = None,
            series: bool = False, stream: int | None = None) -> Measurement:
    """Measures `source`: any file libsndfile reads, as a path (str or os.PathLike), a URL
    (s3://, gs://, https://, ... through fsspec: pip install "sonorik[urls]"), the file's
    bytes (bytes, bytearray, a memoryview of bytes; read in place) or a binary file-like
    object (read from its current position); or an
    array with the buffer protocol (float32, float64, int16 or int32; int16 and int32 are scaled
    by 1/32768 and 1/2147483648) shaped (frames,) or (frames, channels), with `rate` in Hz.
    Arrays are always read as (frames, channels); one with more than 64 columns is refused
    with ValueError (transpose a (channels, frames) array).

    channel_map: one name per channel (see CHANNEL_NAMES), replacing the file's declared
    layout or the usual layout for the channel count (1 M; 2 L R; 3 L R C; 4 L R Ls Rs;
    5 L R C Ls Rs; 6 L R C LFE Ls Rs; 7 L R C LFE Cb Ls Rs; 8 L R C LFE Lb Rb Ls Rs).
    series: also return momentary and short-term loudness every 100 ms.
    stream: which audio stream of a video or AAC container (MP4, M4A, MOV, MKV, WebM,
    MPEG-TS, AAC, AC-3, ...) to measure, counted among its audio streams from 0 (see
    info().streams); None takes the one marked default, else the first. Such containers
    are read through PyAV (pip install "sonorik[video]"); without it they raise
    ModuleNotFoundError naming the extra. A file libsndfile reads holds stream 0 only.

    Raises OSError (cannot open or read the file: path and reason), ValueError (shape, rate,
    channel_map, NUL byte in the path, a rate outside 3,364 to 2,822,400 Hz -- below it
    K-weighting's shelf lies above half the rate -- or a channel count outside 1 to 64) or
    TypeError (wrong argument types, unsupported sample type). An exception raised by a
    file-like object's methods ends the measurement as the __cause__ of an OSError naming
    the object (never a shorter result). The interpreter lock is released while reading
    and measuring; a file-like object's methods take it for the time of each call only;
    one that cannot seek is read whole into memory first."""

# ---- fed block by block ------------------------------------------------------------

class Readings:
    """What Meter.readings() gives: the loudness at the last frame fed, every level in the unit its name ends with."""

    @property
    def frames(self) -> int:
        """Frames fed, samples per channel."""
    @property
    def duration_s(self) -> float:
        """Audio fed, seconds (frames / rate)."""
    @property
    def momentary_lufs(self) -> float | None:
        """Momentary loudness of the last 400 ms, LUFS, as measure()'s series reads it at a 100 ms step's end; None before 400 ms of audio; -inf for digital silence."""
    @property
    def short_term_lufs(self) -> float | None:
        """Short-term loudness of the last 3 s, LUFS; None before 3 s of audio; -inf for digital silence."""
    @property
    def momentary_max_lufs(self) -> float | None:
        """Largest momentary loudness so far, LUFS (Measurement.momentary_max_lufs of the audio fed); None before 400 ms of audio."""
    @property
    def short_term_max_lufs(self) -> float | None:
        """Largest short-term loudness so far, LUFS (Measurement.short_term_max_lufs of the audio fed); None before 3 s of audio."""

class Meter:
    """Meter(rate, channels, *, channel_map=None, series=False): a measurement fed block by
    block and read at any moment.

    rate: Hz (3,364 to 2,822,400); channels: 1 to 8; channel_map and series as for
    measure(). add() feeds blocks of any length; readings() gives the momentary and
    short-term loudness now and their maxima (cheap: read it 10 times a second);
    measurement() gives every level of the audio fed so far, the Measurement that
    measure() gives for the same audio concatenated, bit for bit, however it was cut
    into blocks. Feeding goes on after either. reset() starts again; copy() (and
    copy.copy, copy.deepcopy) gives an independent meter in the same state. The calls
    of several threads on one meter are taken one at a time.

    Raises ValueError (rate, a channel count outside 1 to 8, channel_map) or TypeError
    (argument types)."""

    def __init__(self, rate: SupportsIndex, channels: SupportsIndex, *,
                 channel_map: Sequence[str] | None = None, series: bool = False) -> None: ...
    def add_source(self, source: _Source) -> None:
        """Feeds the whole audio of `source` (a path, URL, the file's bytes or a binary
        file-like object, as measure() takes it), whose rate and channel count must be the
        meter's; its frames follow those fed before, weighted by the meter's own channel_map
        (Meter(rate, channels, channel_map=info(source).channel_map) for the file's). Raises OSError (cannot open or read;
        unchanged when it cannot be opened), ValueError (another rate or channel count, a
        sample that is not finite), TypeError (an array: use add()) and RuntimeError as add()
        does; after a failure part way the meter must be reset()."""
    def add(self, block: Any) -> None:
        """Feeds `block`: an array (buffer protocol or DLPack) of float32, float64, int16 or
        int32 samples shaped (frames, channels), or (frames,) for a mono meter; any number
        of frames, 0 included. The samples are read in place (int16 and int32 scaled by
        1/32768 and 1/2147483648); blocks of 4,096 samples or more are measured with the
        interpreter lock released, stopping at Ctrl-C.

        Raises ValueError for a sample that is not finite (its frame counted from the
        start of the whole feed; nothing of the block is fed) or a block of the wrong
        channel count, TypeError for what is not such an array, KeyboardInterrupt when
        interrupted, and RuntimeError when an earlier add() was interrupted or failed
        part way: the meter then holds part of a block, and refuses to be read or fed
        until reset()."""
    def readings(self) -> Readings:
        """The readings at the last frame fed: momentary and short-term loudness now and their maxima (a Readings). Raises RuntimeError as add() does."""
    def measurement(self) -> Measurement:
        """The Measurement of every frame fed so far, equal to measure() of that audio (format 'array' and the sample types fed, e.g. 'array float32'). Feeding may go on. Raises RuntimeError as add() does."""
    def reset(self) -> None:
        """Forgets every frame fed: the meter is as new (and usable again after a failed add())."""
    def copy(self) -> Meter:
        """An independent meter in this one's state; this one goes on unchanged. Raises RuntimeError as add() does."""
    def __copy__(self) -> Meter: ...
    def __deepcopy__(self, memo: Any) -> Meter: ...
    @property
    def rate_hz(self) -> int:
        """Sample rate, Hz."""
    @property
    def channels(self) -> int:
        """Number of channels."""
    @property
    def channel_map(self) -> tuple[str, ...]:
        """The channel layout used for weighting, one name per channel (see CHANNEL_NAMES)."""
    @property
    def series(self) -> bool:
        """Whether measurement() gives the series every 100 ms (as measure(series=True))."""
    @property
    def frames(self) -> int:
        """Frames fed so far (samples per channel)."""

# ---- albums -------------------------------------------------------------------------

class Album:
    """The result of measure_album(): the album's levels, in the unit each name ends with, and each programme's Measurement."""

    @property
    def integrated_lufs(self) -> float:
        """Integrated loudness of the programmes' 400 ms blocks pooled, LUFS; -inf when no block passes the gates."""
    @property
    def relative_gate_lufs(self) -> float:
        """Relative gate of the album's integrated loudness, LUFS; -inf when no block passes the absolute gate."""
    @property
    def loudness_range_lu(self) -> float | None:
        """Loudness range of the programmes' short-term readings pooled, LU; None when no programme lasts 3 s."""
    @property
    def loudness_range_low_lufs(self) -> float | None:
        """10th percentile of the pooled gated short-term loudness, LUFS; None as for the range or when no reading passes the gates."""
    @property
    def loudness_range_high_lufs(self) -> float | None:
        """95th percentile of the pooled gated short-term loudness, LUFS; None as for the low percentile."""
    @property
    def true_peak_dbtp(self) -> float:
        """True peak, dBTP, the largest of the programmes'."""
    @property
    def sample_peak_dbfs(self) -> float:
        """Sample peak, dBFS, the largest of the programmes'."""
    @property
    def duration_s(self) -> float:
        """The programmes' durations added, seconds."""
    @property
    def tracks(self) -> tuple[Measurement, ...]:
        """Each programme's own Measurement, in the order of the sources (a tuple)."""

def measure_album(sources: Iterable[Union[str, bytes, os.PathLike[str], os.PathLike[bytes], Measurement, Any]],
                  rate: SupportsIndex | None = None, *, channel_map: Sequence[str] | None = None) -> Album:
    """Measures `sources` as one album: a sequence of paths and arrays as measure() takes
    them (rate applies to the arrays; channel_map, if given, to every source), or
    Measurements already taken, which are used as they are. Returns an Album: its
    integrated loudness gates the 400 ms blocks of every programme pooled (as if the
    programmes were played one after the other, without a gap), its loudness range their
    short-term readings pooled, and its peaks are the largest of the programmes'; each
    programme's own Measurement is in Album.tracks.

    Raises what measure() raises for a source (naming the file), ValueError for no source
    or a programme of more than 8 channels, TypeError for one path or array given alone."""

class GainRecord:
    """A result of replaygain(): a source's gains and peaks, and the tags that carry them."""

    @property
    def file(self) -> Union[str, bytes, os.PathLike[str], os.PathLike[bytes], None]:
        """The path as given (str, bytes or os.PathLike); None for a Measurement."""
    @property
    def measurement(self) -> Measurement:
        """The source's Measurement."""
    @property
    def format(self) -> str:
        """The source's format, as Measurement.format."""
    @property
    def reference_lufs(self) -> float:
        """The reference loudness the gains lead to, LUFS."""
    @property
    def sample_peak(self) -> bool:
        """True when the peaks are sample peaks, False for true peaks."""
    @property
    def integrated_lufs(self) -> float:
        """The track's integrated loudness, LUFS."""
    @property
    def track_gain_db(self) -> float:
        """reference_lufs - integrated_lufs, dB."""
    @property
    def track_peak(self) -> float:
        """The track's peak as a linear amplitude (1.0 = full scale; may exceed 1.0)."""
    @property
    def album_lufs(self) -> float | None:
        """The album's integrated loudness, LUFS; None without album."""
    @property
    def album_gain_db(self) -> float | None:
        """reference_lufs - album_lufs, dB; None without album."""
    @property
    def album_peak(self) -> float | None:
        """The album's peak as a linear amplitude (may exceed 1.0); None without album."""
    @property
    def tags(self) -> dict[str, str]:
        """The tag values write_gain_tags() writes for this source, a new dict of str to str."""
    @property
    def opus_header_gain(self) -> int | None:
        """With replaygain(opus_header=True), for Opus, the 1/256 dB to add to the header output gain; else None."""

def replaygain(sources: Iterable[Union[str, bytes, os.PathLike[str], os.PathLike[bytes], Measurement]], *,
               album: bool = False, reference: float = -18.0, sample_peak: bool = False,
               opus_header: bool = False) -> tuple[GainRecord, ...]:
    """The ReplayGain 2.0 gains of `sources` (paths, or Measurements already taken): a
    GainRecord per source, in order. Each source is measured as measure() measures it
    (an Opus file as a player decodes it, its header's output gain applied); the track
    gain is reference - integrated loudness (dB), the track peak the true peak (or
    with sample_peak the sample peak) as a linear amplitude, 1.0 = full scale, never
    clipped. With album, the sources are one album (measure_album()): each record also
    carries the album's loudness, gain and peak. GainRecord.tags holds the tag values
    write_gain_tags() writes: for Opus, R128_TRACK_GAIN (and R128_ALBUM_GAIN) in 1/256
    dB relative to -23 LUFS, whatever the reference; otherwise REPLAYGAIN_TRACK_GAIN
    and _PEAK (and _ALBUM_GAIN and _PEAK) as "%.2f dB" and "%.6f", and
    REPLAYGAIN_REFERENCE_LOUDNESS when the reference is not -18 LUFS. With
    opus_header, an Opus record's opus_header_gain is the gain to add to the file's
    header output gain (the album's with album, else the track's, in 1/256 dB) and
    its R128 tags are relative to the header so changed (R128_ALBUM_GAIN 0 with
    album, R128_TRACK_GAIN 0 without); pass both to write_gain_tags().

    Raises what measure() raises for a source, ValueError for no source, a source
    (or album) that is silent, or a reference outside -70 to 0 LUFS, TypeError for one
    path given alone."""

def write_gain_tags(path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]], tags: dict[str, str], *,
                    opus_header_gain: int | None = None) -> None:
    """Writes `tags` (a dict such as GainRecord.tags; keys among REPLAYGAIN_TRACK_GAIN,
    REPLAYGAIN_TRACK_PEAK, REPLAYGAIN_ALBUM_GAIN, REPLAYGAIN_ALBUM_PEAK,
    REPLAYGAIN_REFERENCE_LOUDNESS, R128_TRACK_GAIN, R128_ALBUM_GAIN) into the file at
    `path`, replacing those keys; REPLAYGAIN_REFERENCE_LOUDNESS is removed when not
    given, and an Opus file keeps no REPLAYGAIN_* tag. Other gain tags (the album's,
    when only the track's are given) are kept. Vorbis comments in FLAC, Ogg Vorbis and
    Opus; ID3v2 TXXX frames in MP3 (the tag keeps its version, 2.4 for a new tag) and
    in the id3 chunk of WAV and AIFF; freeform items ----:com.apple.iTunes:KEY in M4A.

    opus_header_gain (1/256 dB, GainRecord.opus_header_gain) is added to an Opus
    file's header output gain, which every decoder applies; the file's R128 tags
    not given move by minus as much, so they still lead where they did. The copy
    must then keep every audio page byte for byte and decode to the original's
    audio at the new gain. ValueError for more than +-65535; OSError for a file
    that is not Opus or a header gain that would leave its range (+-128 dB).

    The file is never damaged: a copy beside it is tagged, then checked (its audio
    stream must be byte for byte the original's: FLAC, MP3, WAV, AIFF, the audio
    pages of Ogg, every sample of M4A through its sample tables; every other tag, picture and chunk must read back
    unchanged) and only then renamed over the file, which keeps its permissions. On
    any failure the file is left as it was. A damaged stream is not judged here when
    its bytes are shown unchanged: replaygain() (measure()) refuses it before. Raises OSError naming the file (it cannot
    be read, has no place for the tags, the directory is not writable, or the check
    failed), TypeError and ValueError for bad arguments."""

def read_gain_tags(path: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]) -> dict[str, str]:
    """The gain tags (the keys write_gain_tags() writes) the file at `path` holds, as a
    dict of their first values. Raises OSError naming the file when it cannot be read."""

class FileInfo:
    """What info() reads from a file's header."""

    @property
    def format(self) -> str:
        """Container and encoding, e.g. 'WAV PCM_24', 'FLAC PCM_16'."""
    @property
    def rate_hz(self) -> int:
        """Sample rate, Hz."""
    @property
    def channels(self) -> int:
        """Number of channels."""
    @property
    def frames(self) -> int:
        """Length as the file declares it, frames (an estimate for some compressed formats)."""
    @property
    def duration_s(self) -> float:
        """Duration, seconds (frames / rate_hz)."""
    @property
    def channel_map(self) -> tuple[str, ...]:
        """The channel layout measure() would use (see CHANNEL_NAMES)."""
    @property
    def streams(self) -> tuple[AudioStream, ...]:
        """The file's audio streams (AudioStream), in order; one for a file libsndfile reads."""

class AudioStream:
    """One audio stream of a file, as info() lists it in FileInfo.streams."""

    @property
    def index(self) -> int:
        """The stream's number among the file's audio streams, from 0: what measure(stream=) takes."""
    @property
    def codec(self) -> str:
        """The codec, e.g. 'aac', 'ac3', 'opus' ('PCM_24', 'VORBIS' for a file libsndfile reads)."""
    @property
    def rate_hz(self) -> int:
        """Sample rate, Hz."""
    @property
    def channels(self) -> int:
        """Number of channels."""
    @property
    def channel_map(self) -> tuple[str, ...]:
        """The channel layout the stream is weighted by, one name per channel (see CHANNEL_NAMES)."""
    @property
    def language(self) -> str | None:
        """The language the container tags the stream with (e.g. 'eng'), or None."""
    @property
    def duration_s(self) -> float | None:
        """The duration the container declares for the stream, seconds, or None."""
    @property
    def default(self) -> bool:
        """True for the stream the container marks default."""

def info(path: _Source, *, stream: int | None = None) -> FileInfo:
    """Reads the header of the audio at `path` (a path, URL, the file's bytes or a binary
    file-like object, as measure() takes them) without measuring it. For a video or AAC
    container, format, rate, channels, frames and channel_map describe the audio stream
    `stream` (as measure() takes it), and streams lists every audio stream.
    Raises OSError, ValueError and TypeError as measure() does."""

def extensions() -> tuple[str, ...]:
    """File-name extensions (lower case, no dot) of every format measure() reads: the installed
    libsndfile's, and the video and AAC containers read through PyAV (mp4, m4a, mkv, webm, ts,
    aac, ac3, ...; pip install "sonorik[video]")."""

def find_audio_files(
    directory: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]],
    *,
    extensions: Sequence[str] | None = None,
) -> list[str]:
    """Finds the audio files below `directory`: every entry at any depth that is not a
    directory and whose extension, in any case, is one of extensions() (or of `extensions`,
    names without the dot, when given), judged by its name alone. Returns str paths (os.fsdecode) that begin with `directory`, sorted component by
    component as bytes ('d/a/x.wav' before 'd/a.wav'). Hidden entries are searched;
    directory links are followed, except back into a directory on the current path.
    Raises OSError (with errno, `directory` as the filename) when `directory` or a
    directory below it cannot be read, ValueError (NUL byte) or TypeError. The
    interpreter lock is released while searching."""

# ---- loudness over time (needs matplotlib: pip install "sonorik[plot]") ----

def plot(measurement: Measurement, path_or_axes: Union[str, os.PathLike[str], Any, None] = None, *,
         name: str | None = None, target_lufs: float | None = None, tolerance_lu: float = 1.0,
         ceiling_dbtp: float = -1.0, width_px: int = 1200, height_px: int = 500, dpi: int = 100) -> Any:
    """Draws a measurement taken with series=True: momentary and short-term loudness (LUFS)
    against time (m:ss), the integrated loudness, the loudness range band, the 100 ms steps
    whose true peak passes ceiling_dbtp (dBTP), and with target_lufs a target line with a band
    of +-tolerance_lu (LU). path_or_axes: None (a new figure), a path (.png, .svg or .pdf,
    width_px x height_px at dpi) or matplotlib Axes to draw on. Returns the matplotlib Figure.
    Raises ValueError for a measurement without series and ImportError without matplotlib."""

# ---- normalisation ----------------------------------------------------------------

# The measures normalize() takes: "integrated", "short_term_max", "momentary_max" (LUFS),
# "rms_average", "rms_max" (dBFS), "true_peak" (dBTP).
MEASURES: tuple[str, ...]

class NormalizeReport:
    """The result of normalize(): what was measured, the gain asked for and applied, and the written file measured again."""

    @property
    def source(self) -> str:
        """The file read."""
    @property
    def destination(self) -> str:
        """The file written."""
    @property
    def measure(self) -> str:
        """The measure normalised on (see MEASURES)."""
    @property
    def unit(self) -> str:
        """Unit of target, input_level and output_level: 'LUFS', 'dBFS' or 'dBTP'."""
    @property
    def target(self) -> float:
        """The target level, in `unit`."""
    @property
    def ceiling_dbtp(self) -> float:
        """The true-peak ceiling, dBTP."""
    @property
    def input_level(self) -> float:
        """The measure on the source, in `unit`."""
    @property
    def output_level(self) -> float | None:
        """The measure on the written file, in `unit` (None if it is undefined there)."""
    @property
    def gain_asked_db(self) -> float:
        """Gain that would bring the measure to the target, dB (0.0 when in range)."""
    @property
    def gain_applied_db(self) -> float:
        """Gain applied to every sample, dB."""
    @property
    def capped_by(self) -> str | None:
        """Why the applied gain differs from the target's: 'ceiling' (lowered so the true peak stays at or below ceiling_dbtp), 'in range' (the level was inside `range`: no gain), or None."""
    @property
    def dithered(self) -> bool:
        """Whether TPDF dither was added (integer output of 24 bits or fewer, requantised)."""
    @property
    def written(self) -> bool:
        """False when the source was in range and its own destination (no other format or rate asked): the file was not touched."""
    @property
    def copied(self) -> bool:
        """True when the source was in range and copied byte for byte to the destination."""
    @property
    def input_integrated_lufs(self) -> float:
        """Integrated loudness of the source, LUFS (-inf: no block passes the gates)."""
    @property
    def output_integrated_lufs(self) -> float:
        """Integrated loudness of the written file, LUFS."""
    @property
    def input_true_peak_dbtp(self) -> float:
        """True peak of the source, dBTP (largest over the channels)."""
    @property
    def output_true_peak_dbtp(self) -> float:
        """True peak of the written file, dBTP (largest over the channels)."""
    @property
    def input_format(self) -> str:
        """Container and encoding of the source, e.g. 'WAV PCM_24'."""
    @property
    def output_format(self) -> str:
        """Container and encoding written, e.g. 'FLAC PCM_24'."""
    @property
    def rate_hz(self) -> int:
        """Sample rate of the source, Hz."""
    @property
    def output_rate_hz(self) -> int:
        """Sample rate written, Hz (the source's unless a rate was asked or the format needs another)."""
    @property
    def notes(self) -> tuple[str, ...]:
        """What could not be carried over, one line each in words: a channel layout the output format cannot hold (and how its channels are read instead), the source's tags, pictures and chunks it has no place for; empty when nothing."""
    @property
    def channels(self) -> int:
        """Number of channels (both files)."""
    @property
    def frames(self) -> int:
        """Length written, frames."""
    @property
    def channel_map(self) -> tuple[str, ...]:
        """The channel layout used for weighting (see CHANNEL_NAMES)."""
    @property
    def limiting_needed_db(self) -> float:
        """How far the true peak at the gain asked would exceed the ceiling, dB: the largest gain reduction limit=True needs to reach the target (0.0 when the gain is not capped)."""
    @property
    def limited(self) -> bool:
        """Whether the limiter ran (limit=True and the ceiling would have capped the gain)."""
    @property
    def limiter_max_reduction_db(self) -> float | None:
        """The limiter's deepest gain reduction, dB (positive; None when it did not run)."""
    @property
    def limiter_share(self) -> float | None:
        """Share of the output's duration during which the limiter reduced the gain, a fraction from 0.0 to 1.0 (None when it did not run)."""
    @property
    def limiter_events(self) -> int | None:
        """Number of separate runs of gain reduction (None when the limiter did not run)."""
    @property
    def input_loudness_range_lu(self) -> float | None:
        """Loudness range of the source, LU (measured with limit=True only, else None; None below 3 s)."""
    @property
    def output_loudness_range_lu(self) -> float | None:
        """Loudness range of the written file, LU (measured with limit=True only, else None)."""

def normalize(source: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]],
              destination: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]], *,
              target: float, measure: str = "integrated", ceiling: float = -1.0,
              range: tuple[float, float] | None = None, format: str | None = None,
              rate: int | None = None, limit: bool = False) -> NormalizeReport:
    """Writes `source` to `destination` with one gain that brings `measure` to `target`,
    never above the true-peak `ceiling`, and returns a NormalizeReport.

    measure: one of MEASURES; target in its unit (integrated, short_term_max,
    momentary_max: LUFS; rms_average, rms_max: dBFS; true_peak: dBTP). ceiling: dBTP,
    at most 0.0. range: (low, high) in the measure's unit: a source inside it gets no
    gain (left untouched in place, copied byte for byte to another destination of its
    format and rate). format: 'wav', 'flac', 'aiff', 'caf', 'w64', 'rf64', 'ogg', 'opus',
    'mp3', ...; None takes the destination's extension (WAV when it has none); an
    extension that names no format written ('out.m4a') is refused. rate: Hz; None keeps
    the source's or takes one the format writes (Opus: 48000), resampled with libsoxr.
    Channels, channel layout (reordered into Ogg's fixed orders; notes say where a
    layout cannot be held) and sample format are kept; integer output of 24 bits or
    fewer is TPDF-dithered when requantised and never wraps. A lossy output over the
    ceiling is encoded again with less gain (at most 4 times). Streaming: memory does not grow with the length. The
    destination (possibly the source) is replaced only once the new file is complete.
    Tags, pictures and WAV bext/iXML chunks are carried where the output holds them
    (ReplayGain and R128 gains changed by the gain applied); the rest is named in
    the report's notes.

    A video or AAC container (MP4, M4A, MOV, MKV, WebM, MPEG-TS, AAC, AC-3; through
    PyAV, pip install "sonorik[video]") is written as the same container, to a
    destination of the same extension: its default audio stream encoded again with
    its own codec at its bit rate or higher, every other stream copied packet for
    packet, the container's and streams' tags, languages and dispositions kept. The
    new file is verified before it replaces the destination (the other streams'
    packets unchanged, the audio under the ceiling and, unless capped, within 0.1 of
    the target; else encoded again with the gain corrected and, when the level
    missed, more bits, 4 times at most);
    format, rate and limit=True do not apply to it.

    limit: False keeps the gain linear (limiting_needed_db says how much peak reduction
    limit=True would need when the ceiling caps it). True applies the full gain and a
    look-ahead true-peak limiter (one gain for all channels; attack 5 ms, hold 20 ms,
    release 150 ms) keeping the true peak at or under the ceiling, trimming the gain
    (up to 4 writes, at most 6 dB above the gain asked, else capped_by 'ceiling') until
    the measure is within 0.04 of the target; the limiter_*
    and *_loudness_range_lu fields report its work. Nothing over the ceiling: the
    output is the linear one, sample for sample. Refused with measure 'true_peak'.

    Raises OSError, ValueError or TypeError. The interpreter lock is released."""

# ---- delivery checks ----------------------------------------------------------------

@dataclass(frozen=True)
class CheckPreset:
    """What check() holds a measurement against (see check_presets()); levels in the unit
    their names end with, None where the preset sets no such limit."""
    name: str
    title: str
    kind: str
    """'delivery' (pass or fail on every limit) or 'platform' (a playback level: only the
    true peak after the platform's gain can fail)."""
    source: str
    """The document the values come from."""
    clause: str
    """What the document says, in short."""
    integrated_lufs: float | None = None
    """Target integrated loudness (a platform's playback level), LUFS."""
    tolerance_lu: float = 0.0
    """Permitted deviation from integrated_lufs either way, LU."""
    true_peak_max_dbtp: float | None = None
    """Highest true peak, dBTP (for a platform: after its gain)."""
    short_term_max_lufs: float | None = None
    """Highest short-term (3 s) loudness, LUFS."""
    momentary_max_lufs: float | None = None
    """Highest momentary (400 ms) loudness, LUFS."""
    turns_up: bool = False
    """Platform: whether it turns audio quieter than its level up."""
    def limits(self) -> str:
        """The preset's numbers in one line."""

@dataclass(frozen=True)
class CheckCriterion:
    """One limit held against one measured value."""
    name: str
    """'integrated', 'true_peak', 'short_term_max', 'momentary_max' or 'true_peak_after_gain'."""
    unit: str
    """Unit of low, high and measured: 'LUFS' or 'dBTP'."""
    low: float | None
    high: float | None
    measured: float | None
    """The measured value (-inf for digital silence); None when the audio is too short to
    define it (see note)."""
    passed: bool
    miss: float | None
    """How far measured lies outside low..high, in miss_unit; 0.0 when passed; inf for a
    -inf reading below a lower limit; None when not measured."""
    miss_unit: str
    """'LU' for loudness, 'dB' for true peak."""
    note: str = ""
    def limit(self) -> str:
        """The limit as text, e.g. '-23.5 .. -22.5 LUFS' or '<= -1.0 dBTP'."""
    def describe(self) -> str:
        """One line: the measured value, the limit and the miss."""

@dataclass(frozen=True)
class CheckVerdict:
    """The result of check()."""
    file: str | None
    """The path checked; None for a Measurement or an array."""
    preset: CheckPreset
    passed: bool
    """True when every criterion passed."""
    criteria: tuple[CheckCriterion, ...]
    measurement: Measurement
    platform_gain_db: float | None = None
    """Platform preset: the gain the platform applies, dB (None: delivery preset, or silence)."""
    @property
    def failures(self) -> tuple[CheckCriterion, ...]:
        """The criteria that failed."""

def check(source: Any, preset: Union[str, CheckPreset, dict[str, Any]], *,
          rate: int | None = None, series: bool = False) -> CheckVerdict:
    """Checks a file or an array with its rate, Hz (anything measure() takes), or a
    Measurement, against `preset`: a shipped
    preset's name ('ebu-r128', 'ebu-r128-live', 'ebu-r128-s1', 'atsc-a85', 'apple-podcasts',
    'aes-td1008', 'spotify', 'youtube', 'apple-music'), a CheckPreset or a dict of a preset
    file's fields. Limits are inclusive, values compared at full precision. series=True
    keeps the loudness series (for graphs). Raises ValueError for an unknown or invalid
    preset, and whatever measure() raises."""

def check_presets() -> dict[str, CheckPreset]:
    """The shipped presets by name, each with its source document and clause."""

def load_check_preset(path: Union[str, os.PathLike[str]]) -> CheckPreset:
    """A preset from a .json or .toml file (TOML needs Python 3.11) holding one preset's
    fields (see CheckPreset); its name is the file's stem unless it sets `name`. Raises
    OSError when the file cannot be read and ValueError naming the file and what is wrong."""


# ---- for _sonorik_av, which reads containers through PyAV -----------------------------

def _layout_of(names: Sequence[str], channels: int) -> tuple[str, ...]: ...
def _container_extensions() -> tuple[str, ...]: ...
def _measurement_as(measurement: Measurement, format: str) -> Measurement: ...
def _file_info(format: str, rate_hz: int, channels: int, frames: int, channel_map: Sequence[str],
               streams: Sequence[tuple[int, str, int, int, Sequence[str], str | None, float | None, bool]]) -> FileInfo: ...

class _Replacement:
    def __init__(self, destination: Union[str, bytes, os.PathLike[str], os.PathLike[bytes]]) -> None: ...
    @property
    def path(self) -> str: ...
    def commit(self) -> None: ...
    def discard(self) -> None: ...


# ---- many sources at once ------------------------------------------------------------

def measure_many(sources: Iterable[Union[_Source, Mapping[str, Any], Any]], *, rate: int | None = None,
                 channel_map: Sequence[str] | None = None, series: bool = False,
                 stream: int | None = None,
                 workers: int | None = None, client: Any = None, batch_size: int | None = None,
                 pool: Literal["threads", "processes"] = "threads", progress: bool | None = None,
                 output: Literal["arrow", "pandas"] = "arrow") -> Any:
    """Measures every source as measure() does into one table: a pyarrow.Table (output="pandas":
    a pandas.DataFrame), one row per source in order, with the columns source (path or URL, a
    {"bytes", "path"} row's path, else "sources[i]"), error (None, or "Type: message": one bad
    source never stops the run), format, rate_hz (Hz), channels, frames, duration_s (s), every
    level of Measurement in its unit (LUFS, LU, dBTP, dBFS; None where measure() gives None,
    -inf for silence), channel_map and the per-channel levels as list columns (series=True:
    the series too). Needs pyarrow (pip install "sonorik[tables]").

    rate, channel_map, series, stream: as measure() takes them, for every source.
    workers: how many at once (default one per core; 1: in this thread). pool: "threads"
    (measure() runs without the interpreter lock) or "processes" (spawned). client: a
    dask.distributed.Client whose workers run the batches (sonorik installed there, the
    sources reachable: shared paths, URLs or bytes sent with the task). batch_size: sources
    per task (default: 16 tasks per worker, at most 512 sources each). progress: a tqdm bar
    on standard error (default: when it is a terminal)."""

def normalize_many(sources: Iterable[Union[str, os.PathLike[str], Mapping[str, Any]]],
                   destinations: Iterable[Union[str, os.PathLike[str]]], *, target: float,
                   measure: str = "integrated", ceiling: float = -1.0,
                   range: tuple[float, float] | None = None, format: str | None = None,
                   rate: int | None = None, limit: bool = False, workers: int | None = None,
                   client: Any = None, batch_size: int | None = None,
                   pool: Literal["threads", "processes"] = "threads",
                   progress: bool | None = None, output: Literal["arrow", "pandas"] = "arrow") -> Any:
    """Normalises each source into the destination at the same place as normalize() does,
    into one table (pyarrow.Table or pandas.DataFrame): source, error (None, or "Type:
    message") and every field of NormalizeReport, one row per source. The pool, client,
    batching and progress options are measure_many()'s."""
