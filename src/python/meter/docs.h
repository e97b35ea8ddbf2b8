// Every doc string of the sonorik_meter module, in one place to read and
// review together: the module's, its functions', and its classes' and their
// properties'. python/sonorik_meter.pyi repeats them for editors and type
// checkers.
#pragma once

namespace sonorik::meter::doc {

inline constexpr const char* module_overview =
    R"(Loudness, true peak, sample peak and RMS of any audio file or array.

sonorik_meter measures by the standards' own definitions (ITU-R BS.1770-4,
EBU R 128, EBU Tech 3341 and 3342): short audio is not repeated, quiet audio
is not floored, a value the audio is too short to define is None, and
digital silence reads -inf. The interpreter lock is released while a file or
array is read and measured, so threads measure in parallel; audio is read in
bounded blocks, so memory does not grow with its length.

What is measured:

====================  ==========================================================
integrated loudness   BS.1770-4 gating: 400 ms blocks every 100 ms, absolute
                      gate -70 LUFS, relative gate -10 LU (libebur128)
momentary / short-    400 ms / 3 s windows read every 100 ms (the meter's block
term maximum          of (rate + 5) // 10 frames), once the window is full
loudness range        EBU Tech 3342: the short-term (3 s) loudness read every
                      100 ms, absolute gate -70 LUFS, relative gate -20 LU,
                      10th to 95th percentile (the percentiles are reported)
true peak             libebur128's interpolator: 4x oversampling below 96 kHz,
                      2x below 192 kHz, none above; per channel, max over them
sample peak           largest absolute sample value
RMS average           over every sample of every channel
RMS maximum           loudest of the consecutive, non-overlapping 100 ms blocks
                      ((rate + 5) // 10 frames; a shorter last block is not one)
channel weights       BS.1770-4: L, R, C 1.0; channels at 60-120 degrees
                      azimuth (Ls Rs) 1.41 (+1.5 dB); 7.1's back pair at +-135
                      degrees (Lb Rb) 1.0 (ffmpeg weights it 1.41); LFE left out
per-channel loudness  each channel measured alone with weight 1.0
====================  ==========================================================

measure() takes a file or a whole array; Meter is fed blocks (live audio, a
stream) and read at any moment, giving measure()'s numbers for the same
audio; measure_album() measures several programmes as one album.
)";

// ---- measure() and info() ------------------------------------------------------------

inline constexpr const char* measure =
    R"(Measures `source`: any file libsndfile reads, given as a path (str or os.PathLike),
a URL (str with a scheme: s3://, gs://, https://, ...; opened through fsspec, the
optional extra: pip install "sonorik[urls]"), the bytes of the file (bytes,
bytearray or a memoryview of bytes, read in place), or a binary file-like object
(io.BytesIO, an open file, an fsspec file: read from its current position); or
an array with the buffer protocol (float32, float64, int16 or int32; int16 and
int32 are scaled by 1/32768 and 1/2147483648) shaped (frames,) or (frames, channels),
with `rate` in Hz. A (channels, frames) array cannot be told from a (frames,
channels) one: arrays are always read as (frames, channels), and one with more
than 64 columns is refused with ValueError. Non-contiguous arrays are read in
place, block by block.

channel_map: one name per channel (see CHANNEL_NAMES); it replaces the file's
declared layout, or the usual layout for the channel count (1 M; 2 L R;
3 L R C; 4 L R Ls Rs; 5 L R C Ls Rs; 6 L R C LFE Ls Rs; 7 L R C LFE Cb Ls Rs;
8 L R C LFE Lb Rb Ls Rs).
series: also return momentary and short-term loudness every 100 ms.
stream: which audio stream of a video or AAC container (MP4, M4A, MOV, MKV,
WebM, MPEG-TS, AAC, AC-3, ...) to measure, counted among its audio streams
from 0 (see info().streams); None takes the one marked default, else the first.
Such containers are read through PyAV (pip install "sonorik[video]"); without it
they raise ModuleNotFoundError naming the extra. A file libsndfile reads holds
stream 0 only.

Raises OSError (the file cannot be opened or read: the path and the reason),
ValueError (bad shape, rate, channel_map, NUL byte in the path, a rate outside
3,364 to 2,822,400 Hz -- below it K-weighting's shelf lies above half the
rate -- or a channel count outside 1 to 64) or TypeError (wrong argument types,
unsupported sample type). An OSError about bytes or a file-like object names it
("... : bytes of 1234 bytes"); an exception raised by the object's read, readinto,
seek or tell ends the measurement and is that OSError's __cause__ (never a shorter
result); KeyboardInterrupt and SystemExit are raised as they are. Bytes are no
longer taken for a path: pass a path as str or os.PathLike.

The interpreter lock is released while reading and measuring. A file-like
object's methods are called with the lock taken for the time of each call only
(other threads run between calls); one that cannot seek (seekable() false) is
read whole into memory first.)";

inline constexpr const char* info =
    "Reads the header of the audio at `path` without measuring it: a path (str or "
    "os.PathLike), a URL, the bytes of a file or a binary file-like object, as measure() "
    "takes them. For a video or AAC container, format, rate, channels, frames and channel_map "
    "describe the audio stream `stream` (as measure() takes it), and streams lists every audio "
    "stream. Raises OSError, ValueError and TypeError as measure() does.";

inline constexpr const char* extensions =
    "File-name extensions (lower case, no dot) of every format measure() reads: the installed "
    "libsndfile's, and the video and AAC containers read through PyAV (mp4, m4a, mkv, webm, ts, "
    "aac, ac3, ...; pip install \"sonorik[video]\").";

inline constexpr const char* find_audio_files =
    R"(Finds the audio files below `directory` (str, bytes or os.PathLike): every entry at any
depth that is not a directory and whose extension, in any case, is one of extensions()
(or of `extensions`, a list of names without the dot, when given), judged by its name
alone (a dangling link named x.wav is listed). Returns str paths
(os.fsdecode) that begin with `directory`, sorted component by component as bytes
('d/a/x.wav' before 'd/a.wav'). Hidden entries are searched; directory links are
followed, except one that leads back into a directory on the current path.

Raises OSError when `directory` or a directory below it cannot be read (errno set,
`directory` as the filename: FileNotFoundError, NotADirectoryError, PermissionError,
...), ValueError (NUL byte in the path, an extension holding '.', '/' or NUL, or empty)
or TypeError. The interpreter lock is released while searching.)";

inline constexpr const char* plot =
    "plot(measurement, path_or_axes=None, **options): draws a measurement taken with "
    "series=True (see _sonorik_plot.plot); needs matplotlib (pip install \"sonorik[plot]\").";

inline constexpr const char* measurement_class =
    "The result of measure(): every level in the unit its name ends with.";

namespace measurement {

inline constexpr const char* integrated_lufs =
    "Integrated loudness, LUFS; -inf when no block passes the gates (digital silence, "
    "audio shorter than 400 ms).";
inline constexpr const char* momentary_max_lufs =
    "Largest momentary (400 ms) loudness, LUFS; None for audio shorter than 400 ms; -inf for "
    "digital silence.";
inline constexpr const char* short_term_max_lufs =
    "Largest short-term (3 s) loudness, LUFS; None for audio shorter than 3 s; -inf for "
    "digital silence.";
inline constexpr const char* loudness_range_lu =
    "Loudness range (EBU Tech 3342), LU; None for audio shorter than 3 s.";
inline constexpr const char* loudness_range_low_lufs =
    "10th percentile of the gated short-term loudness, LUFS; None for audio shorter than "
    "3 s or when no short-term block passes the gates.";
inline constexpr const char* loudness_range_high_lufs =
    "95th percentile of the gated short-term loudness, LUFS; None as for the low percentile.";
inline constexpr const char* absolute_gate_lufs =
    "Absolute gate of the integrated loudness, LUFS (-70.0).";
inline constexpr const char* relative_gate_lufs =
    "Relative gate of the integrated loudness, LUFS; -inf when no block passes the "
    "absolute gate.";
inline constexpr const char* true_peak_dbtp =
    "True peak, dBTP, the largest over the channels; -inf for digital silence.";
inline constexpr const char* sample_peak_dbfs =
    "Sample peak, dBFS, the largest over the channels; -inf for digital silence.";
inline constexpr const char* rms_average_dbfs =
    "RMS over all samples of all channels, dBFS; -inf for silence or no audio.";
inline constexpr const char* rms_max_dbfs =
    "RMS of the loudest 100 ms block (all channels), dBFS; None for audio shorter than "
    "100 ms.";
inline constexpr const char* duration_s = "Duration, seconds (frames / rate_hz).";
inline constexpr const char* frames = "Length, frames (samples per channel) as read.";
inline constexpr const char* rate_hz = "Sample rate, Hz.";
inline constexpr const char* channels = "Number of channels.";
inline constexpr const char* format =
    "Container and encoding, e.g. 'WAV PCM_24', 'FLAC PCM_16', 'OGG VORBIS', 'array "
    "float32'.";
inline constexpr const char* channel_integrated_lufs =
    "Per channel: the channel's own integrated loudness (measured alone, weight 1.0), LUFS.";
inline constexpr const char* channel_true_peak_dbtp = "Per channel: true peak, dBTP.";
inline constexpr const char* channel_sample_peak_dbfs = "Per channel: sample peak, dBFS.";
inline constexpr const char* channel_rms_average_dbfs =
    "Per channel: RMS over the whole audio, dBFS.";
inline constexpr const char* channel_rms_max_dbfs =
    "Per channel: RMS of the channel's loudest 100 ms block, dBFS; None below 100 ms.";
inline constexpr const char* channel_map =
    "The channel layout used for weighting, one name per channel (see CHANNEL_NAMES).";
inline constexpr const char* series_time_s =
    "With series=True: the end of every 100 ms step, seconds (numpy float64; the last "
    "step may be shorter); otherwise None.";
inline constexpr const char* series_momentary_lufs =
    "With series=True: momentary loudness at each step end, LUFS (numpy float64; NaN "
    "before 400 ms of audio, -inf for digital silence); otherwise None.";
inline constexpr const char* series_short_term_lufs =
    "With series=True: short-term loudness at each step end, LUFS (numpy float64; NaN "
    "before 3 s of audio, -inf for digital silence); otherwise None.";
inline constexpr const char* series_true_peak_dbtp =
    "With series=True: the largest true peak over the channels within each step, dBTP "
    "(numpy float64; -inf for digital silence); otherwise None.";

}  // namespace measurement

inline constexpr const char* file_info_class = "What info() reads from a file's header.";

namespace file_info {

inline constexpr const char* format = "Container and encoding, e.g. 'WAV PCM_24', 'FLAC PCM_16'.";
inline constexpr const char* rate_hz = "Sample rate, Hz.";
inline constexpr const char* channels = "Number of channels.";
inline constexpr const char* frames =
    "Length as the file declares it, frames (an estimate for some compressed formats).";
inline constexpr const char* duration_s = "Duration, seconds (frames / rate_hz).";
inline constexpr const char* channel_map =
    "The channel layout measure() would use (see CHANNEL_NAMES).";

}  // namespace file_info

// ---- Meter ------------------------------------------------------------------

inline constexpr const char* meter_class =
    R"(Meter(rate, channels, *, channel_map=None, series=False): a measurement fed block
by block and read at any moment.

rate: Hz (3,364 to 2,822,400); channels: 1 to 8; channel_map and series as for
measure(). add() feeds blocks of any length; readings() gives the momentary and
short-term loudness now and their maxima (cheap: read it 10 times a second);
measurement() gives every level of the audio fed so far, the Measurement that
measure() gives for the same audio concatenated, bit for bit, however it was cut
into blocks. Feeding goes on after either. reset() starts again; copy() (and
copy.copy, copy.deepcopy) gives an independent meter in the same state. The calls
of several threads on one meter are taken one at a time.

Raises ValueError (rate, a channel count outside 1 to 8, channel_map) or
TypeError (argument types).)";

namespace meter {

inline constexpr const char* add =
    R"(Feeds `block`: an array (buffer protocol or DLPack) of float32, float64, int16 or
int32 samples shaped (frames, channels), or (frames,) for a mono meter; any number
of frames, 0 included. The samples are read in place (int16 and int32 scaled by
1/32768 and 1/2147483648); blocks of 4,096 samples or more are measured with the
interpreter lock released, stopping at Ctrl-C.

Raises ValueError for a sample that is not finite (its frame counted from the
start of the whole feed; nothing of the block is fed) or a block of the wrong
channel count, TypeError for what is not such an array, KeyboardInterrupt when
interrupted, and RuntimeError when an earlier add() was interrupted or failed
part way: the meter then holds part of a block, and refuses to be read or fed
until reset().)";
inline constexpr const char* readings =
    "The readings at the last frame fed: momentary and short-term loudness now and their "
    "maxima (a Readings). Raises RuntimeError as add() does.";
inline constexpr const char* measurement =
    "The Measurement of every frame fed so far, equal to measure() of that audio (format "
    "'array' and the sample types fed, e.g. 'array float32'). Feeding may go on. Raises "
    "RuntimeError as add() does.";
inline constexpr const char* reset =
    "Forgets every frame fed: the meter is as new (and usable again after a failed add()).";
inline constexpr const char* copy =
    "An independent meter in this one's state; this one goes on unchanged. Raises "
    "RuntimeError as add() does.";
inline constexpr const char* rate_hz = "Sample rate, Hz.";
inline constexpr const char* channels = "Number of channels.";
inline constexpr const char* channel_map =
    "The channel layout used for weighting, one name per channel (see CHANNEL_NAMES).";
inline constexpr const char* series =
    "Whether measurement() gives the series every 100 ms (as measure(series=True)).";
inline constexpr const char* frames = "Frames fed so far (samples per channel).";

}  // namespace meter

inline constexpr const char* readings_class =
    "What Meter.readings() gives: the loudness at the last frame fed, every level in the "
    "unit its name ends with.";

namespace readings {

inline constexpr const char* frames = "Frames fed, samples per channel.";
inline constexpr const char* duration_s = "Audio fed, seconds (frames / rate).";
inline constexpr const char* momentary_lufs =
    "Momentary loudness of the last 400 ms, LUFS, as measure()'s series reads it at a 100 ms "
    "step's end; None before 400 ms of audio; -inf for digital silence.";
inline constexpr const char* short_term_lufs =
    "Short-term loudness of the last 3 s, LUFS; None before 3 s of audio; -inf for digital "
    "silence.";
inline constexpr const char* momentary_max_lufs =
    "Largest momentary loudness so far, LUFS (Measurement.momentary_max_lufs of the audio "
    "fed); None before 400 ms of audio.";
inline constexpr const char* short_term_max_lufs =
    "Largest short-term loudness so far, LUFS (Measurement.short_term_max_lufs of the audio "
    "fed); None before 3 s of audio.";

}  // namespace readings

// ---- measure_album() ----------------------------------------------------------

inline constexpr const char* measure_album =
    R"(Measures `sources` as one album: a sequence of paths and arrays as measure() takes
them (rate applies to the arrays; channel_map, if given, to every source), or
Measurements already taken, which are used as they are. Returns an Album: its
integrated loudness gates the 400 ms blocks of every programme pooled (as if the
programmes were played one after the other, without a gap), its loudness range
their short-term readings pooled, and its peaks are the largest of the
programmes'; each programme's own Measurement is in Album.tracks.

Raises what measure() raises for a source (naming the file), ValueError for no
source or a programme of more than 8 channels, TypeError for one path or array
given alone.)";

inline constexpr const char* album_class =
    "The result of measure_album(): the album's levels, in the unit each name ends with, and "
    "each programme's Measurement.";

namespace album {

inline constexpr const char* integrated_lufs =
    "Integrated loudness of the programmes' 400 ms blocks pooled, LUFS; -inf when no block "
    "passes the gates.";
inline constexpr const char* relative_gate_lufs =
    "Relative gate of the album's integrated loudness, LUFS; -inf when no block passes the "
    "absolute gate.";
inline constexpr const char* loudness_range_lu =
    "Loudness range of the programmes' short-term readings pooled, LU; None when no programme "
    "lasts 3 s.";
inline constexpr const char* loudness_range_low_lufs =
    "10th percentile of the pooled gated short-term loudness, LUFS; None as for the range or "
    "when no reading passes the gates.";
inline constexpr const char* loudness_range_high_lufs =
    "95th percentile of the pooled gated short-term loudness, LUFS; None as for the low "
    "percentile.";
inline constexpr const char* true_peak_dbtp = "True peak, dBTP, the largest of the programmes'.";
inline constexpr const char* sample_peak_dbfs =
    "Sample peak, dBFS, the largest of the programmes'.";
inline constexpr const char* duration_s = "The programmes' durations added, seconds.";
inline constexpr const char* tracks =
    "Each programme's own Measurement, in the order of the sources (a tuple).";

}  // namespace album

// ---- normalize() ------------------------------------------------------------

inline constexpr const char* normalize =
    R"(Writes `source` to `destination` with one gain that brings `measure` to `target`,
never above the true-peak `ceiling`, and returns a NormalizeReport.

source, destination: paths (str, bytes or os.PathLike); the destination may be the
source itself. measure: one of MEASURES; target in its unit (integrated,
short_term_max, momentary_max: LUFS; rms_average, rms_max: dBFS; true_peak: dBTP).
ceiling: dBTP, at most 0.0; the gain is lowered so that the output's true peak
stays at or below it, and the report says so (capped_by 'ceiling').
range: (low, high) in the measure's unit: a source already inside it gets no gain
(capped_by 'in range'; left untouched when it is its own destination).
format: output format ('wav', 'flac', 'aiff', 'caf', 'w64', 'rf64', 'ogg',
'opus', 'mp3', ...); None takes the destination's extension (WAV when it has
none). A destination whose extension names no format written ('out.m4a') is
refused before anything is written, as is a format whose container the
extension contradicts. rate: output rate, Hz; None keeps the source's, or
takes the nearest the format writes (Opus: 48000; MP3 of 96 kHz: 48000). A new
rate is made with libsoxr at its very-high quality.

The output keeps the source's channel count, channel layout (the WAV channel
mask, FLAC's mask comment, the fixed orders of Ogg Vorbis and Opus, with the
channels reordered to them; the report's notes say where a layout cannot be
held) and sample format where the output format has it (FLAC takes integers of
at most 24 bits; a decoded lossy source becomes 24-bit PCM). Integer output of
24 bits or fewer gets TPDF dither whenever samples are requantised, and never
wraps. A lossy output whose true peak is over the ceiling is encoded again with
the gain lowered by the excess and 0.1 dB (4 encodings at most, else
ValueError with the destination left as it was). A source in range goes to
another destination of its own container and rate byte for byte (copied);
with another format or rate it is converted without gain. Three streaming passes at most (measure; scale
and write, measuring what is stored; reading back a lossy encoding): memory
does not grow with the length. The file is written beside the destination and
renamed into place: on any failure the destination is left as it was.
Tags, embedded pictures and WAV bext/iXML chunks are carried over where the
output format holds them (ReplayGain and R128 gains changed by the gain
applied); what it cannot hold is named in the report's notes.
The interpreter lock is released while reading, measuring and writing.

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

Raises OSError (the source cannot be read or the destination written: the
path and the reason), ValueError (unknown measure or format, an extension that
names no format written, a rate the format does not take, a ceiling above
0 dBTP, range low above high, a level that is undefined or -inf, e.g. digital
silence) or TypeError (argument types).

limit: False (the default) keeps the gain linear: when the ceiling caps it, the
report's limiting_needed_db says how much peak reduction limit=True would need.
True applies the full gain, and a look-ahead true-peak limiter keeps the
output's true peak at or under the ceiling (peaks found on the oversampled
signal; one gain for all channels; attack 5 ms over the look-ahead, hold 20 ms,
release 150 ms), with the gain trimmed (writing again, 4 writes at most) until
the measure lands within 0.04 of the target (at most 6 dB above the gain asked: a
file that needs more is written so and reported capped_by 'ceiling'; a lossy
output whose coded peaks the limiter cannot hold under the ceiling is written
with the linear gain, with a note). Where nothing exceeds the ceiling the output is the linear one, sample for sample. The loudness range is
measured before and after; limit=True is refused with measure 'true_peak'.)";

inline constexpr const char* normalize_report_class =
    "The result of normalize(): what was measured, the gain asked for and applied, and the "
    "written file measured again.";

namespace normalize_report {

inline constexpr const char* source = "The file read.";
inline constexpr const char* destination = "The file written.";
inline constexpr const char* measure = "The measure normalised on (see MEASURES).";
inline constexpr const char* unit =
    "Unit of target, input_level and output_level: 'LUFS', 'dBFS' or 'dBTP'.";
inline constexpr const char* target = "The target level, in `unit`.";
inline constexpr const char* ceiling_dbtp = "The true-peak ceiling, dBTP.";
inline constexpr const char* input_level = "The measure on the source, in `unit`.";
inline constexpr const char* output_level =
    "The measure on the written file, in `unit` (None if it is undefined there).";
inline constexpr const char* gain_asked_db =
    "Gain that would bring the measure to the target, dB (0.0 when in range).";
inline constexpr const char* gain_applied_db = "Gain applied to every sample, dB.";
inline constexpr const char* capped_by =
    "Why the applied gain differs from the target's: 'ceiling' (lowered so the true peak "
    "stays at or below ceiling_dbtp), 'in range' (the level was inside `range`: no gain), "
    "or None.";
inline constexpr const char* dithered =
    "Whether TPDF dither was added (integer output of 24 bits or fewer, requantised).";
inline constexpr const char* written =
    "False when the source was in range and its own destination (no other format or rate "
    "asked): the file was not touched.";
inline constexpr const char* input_integrated_lufs =
    "Integrated loudness of the source, LUFS (-inf: no block passes the gates).";
inline constexpr const char* output_integrated_lufs =
    "Integrated loudness of the written file, LUFS.";
inline constexpr const char* input_true_peak_dbtp =
    "True peak of the source, dBTP (largest over the channels).";
inline constexpr const char* output_true_peak_dbtp =
    "True peak of the written file, dBTP (largest over the channels).";
inline constexpr const char* input_format =
    "Container and encoding of the source, e.g. 'WAV PCM_24'.";
inline constexpr const char* output_format = "Container and encoding written, e.g. 'FLAC PCM_24'.";
inline constexpr const char* rate_hz = "Sample rate of the source, Hz.";
inline constexpr const char* output_rate_hz =
    "Sample rate written, Hz (the source's unless a rate was asked or the format needs another).";
inline constexpr const char* notes =
    "What could not be carried over, one line each in words: a channel layout the output "
    "format cannot hold (and how its channels are read instead), the source's tags, pictures "
    "and chunks it has no place for; empty when nothing.";
inline constexpr const char* copied =
    "True when the source was in range and copied byte for byte to the destination.";
inline constexpr const char* channels = "Number of channels (both files).";
inline constexpr const char* frames = "Length written, frames.";
inline constexpr const char* channel_map =
    "The channel layout used for weighting (see CHANNEL_NAMES).";
inline constexpr const char* limiting_needed_db =
    "How far the true peak at the gain asked would exceed the ceiling, dB: the largest gain "
    "reduction limit=True needs to reach the target (0.0 when the gain is not capped).";
inline constexpr const char* limited =
    "Whether the limiter ran (limit=True and the ceiling would have capped the gain).";
inline constexpr const char* limiter_max_reduction_db =
    "The limiter's deepest gain reduction, dB (positive; None when it did not run).";
inline constexpr const char* limiter_share =
    "Share of the output's duration during which the limiter reduced the gain, a fraction "
    "from 0.0 to 1.0 (None when it did not run).";
inline constexpr const char* limiter_events =
    "Number of separate runs of gain reduction (None when the limiter did not run).";
inline constexpr const char* input_loudness_range_lu =
    "Loudness range of the source, LU (measured with limit=True only, else None; None "
    "below 3 s).";
inline constexpr const char* output_loudness_range_lu =
    "Loudness range of the written file, LU (measured with limit=True only, else None).";

}  // namespace normalize_report

// ---- replaygain(), write_gain_tags(), read_gain_tags() --------------------------

inline constexpr const char* replaygain =
    R"(The ReplayGain 2.0 gains of `sources` (paths, or Measurements already taken): a
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
path given alone.)";

inline constexpr const char* write_gain_tags =
    R"(Writes `tags` (a dict such as GainRecord.tags; keys among REPLAYGAIN_TRACK_GAIN,
REPLAYGAIN_TRACK_PEAK, REPLAYGAIN_ALBUM_GAIN, REPLAYGAIN_ALBUM_PEAK,
REPLAYGAIN_REFERENCE_LOUDNESS, R128_TRACK_GAIN, R128_ALBUM_GAIN) into the file at
`path`, replacing those keys; REPLAYGAIN_REFERENCE_LOUDNESS is removed when not
given, and an Opus file keeps no REPLAYGAIN_* tag. Other gain tags (the album's,
when only the track's are given) are kept. Vorbis comments in FLAC, Ogg Vorbis and Opus; ID3v2 TXXX frames in MP3
(the tag keeps its version, 2.4 for a new tag) and in the id3 chunk of WAV and AIFF; freeform items ----:com.apple.iTunes:KEY in M4A.

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
failed), TypeError and ValueError for bad arguments.)";

inline constexpr const char* read_gain_tags =
    R"(The gain tags (the keys write_gain_tags() writes) the file at `path` holds, as a
dict of their first values. Raises OSError naming the file when it cannot be read.)";

inline constexpr const char* gain_record_class =
    "A result of replaygain(): a source's gains and peaks, and the tags that carry them.";

namespace gain_record {
inline constexpr const char* file = "The path as given (str or bytes); None for a Measurement.";
inline constexpr const char* measurement = "The source's Measurement.";
inline constexpr const char* format = "The source's format, as Measurement.format.";
inline constexpr const char* reference_lufs = "The reference loudness the gains lead to, LUFS.";
inline constexpr const char* sample_peak =
    "True when the peaks are sample peaks, False for true peaks.";
inline constexpr const char* integrated_lufs = "The track's integrated loudness, LUFS.";
inline constexpr const char* track_gain_db = "reference_lufs - integrated_lufs, dB.";
inline constexpr const char* track_peak =
    "The track's peak as a linear amplitude (1.0 = full scale; may exceed 1.0).";
inline constexpr const char* album_lufs =
    "The album's integrated loudness, LUFS; None without album.";
inline constexpr const char* album_gain_db = "reference_lufs - album_lufs, dB; None without album.";
inline constexpr const char* album_peak =
    "The album's peak as a linear amplitude (may exceed 1.0); None without album.";
inline constexpr const char* tags =
    "The tag values write_gain_tags() writes for this source, a new dict of str to str.";
inline constexpr const char* opus_header_gain =
    "With replaygain(opus_header=True), for Opus, the 1/256 dB to add to the header output gain; "
    "else None.";
}  // namespace gain_record

namespace meter_source {

inline constexpr const char* add_source =
    R"(Feeds the whole audio of `source`, a file as measure() takes it (a path, a URL, the
file's bytes or a binary file-like object), whose rate and channel count must be the
meter's: a programme fed piece by piece from files, or a file followed by live blocks.
Its frames follow those fed before, so that measurement() equals measure() of the same
audio. The meter keeps its own channel_map: for a file's declared layout, make the meter
with Meter(rate, channels, channel_map=info(source).channel_map). The file is read with the interpreter lock released, stopping at Ctrl-C.

Raises OSError when the source cannot be opened (the meter is unchanged) or read,
ValueError for another rate or channel count (unchanged) or a sample that is not
finite, TypeError for an array (pass it to add()) and RuntimeError as add() does.
After a failure part way the meter holds part of the source and refuses to be read or
fed until reset().)";

}  // namespace meter_source

}  // namespace sonorik::meter::doc
