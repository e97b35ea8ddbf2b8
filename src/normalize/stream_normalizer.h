// Normalisation in bounded memory that never clips: one linear gain for the
// whole file, taken from one measure, capped so that the output's true peak
// stays at or below a ceiling, and written in any format libsndfile writes.
//
// The source is opened once, through the door (audio/source.h), and read
// twice, rewound between the passes:
//
//  1. measure: one streaming pass over the source through the engine (the
//     standard measurement, of the parts needed: the chosen level,
//     integrated loudness and true peak);
//  2. gain: target minus the measured level; none when a range is given and
//     the level is inside it; capped at the gain that brings the true peak
//     to the ceiling (less 4 steps of an integer output's last bit, which
//     dither and rounding may add, and one part in a million);
//  3. write: a second streaming pass scales, requantises and writes into a
//     temporary file beside the destination (FileReplacement). Integer
//     output of 24 bits or fewer gets TPDF dither of +-1 step of its last
//     bit whenever samples are requantised (any gain, or a wider source);
//     the codes are rounded and clamped here, so integer output never wraps.
//     The stored values are measured as they are written;
//  4. verify: for encodings that do not store them exactly (Vorbis, Opus,
//     MP3, ...) a third pass reads the finished temporary file back;
//  5. replace: the temporary file is renamed over the destination. On any
//     failure the destination (which may be the source) is left as it was.
//
// Around them: the output takes the container of the destination's extension
// (or the format named), at the source's rate or one the format takes
// (resampled with libsoxr), with the channel layout carried over where the
// format holds it (audio/channel_order.h). Every written file is opened again
// to check that it declares the frames written; one measured other than as
// written (a lossy coding, another layout read back) is measured from the
// file. An output whose true peak is still over the ceiling is encoded again
// with the gain lowered by the excess and 0.1 dB, up to 4 times. A source in
// range is left untouched in place, copied byte for byte to another
// destination of its container and rate, and converted (gain 0) otherwise.
//
// With `limit`, a gain the ceiling would cap is applied in full and the
// blocks written pass through a look-ahead true-peak limiter
// (normalize/limiter.h) after any resampling; before the write, a pass
// through the limiter that writes nothing measures the level it leaves and
// trims the gain to make up for it (a second such pass for a large step),
// and the written file is written again while its level misses the target
// by more than 0.04 (at most 6 dB is made up; beyond that the report says
// capped). The loudness range is measured before and after. In the write, the
// limiter's next block is pulled and its peaks read on the worker pool while
// the caller writes and measures the last one.
//
// Memory: the engine's two blocks, one block of integer codes, the
// limiter's look-ahead and the encoder's state; nothing grows with the
// length of the audio.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "analysis/standard_measurement.h"
#include "normalize/limiter.h"

namespace sonorik::normalize {

// The measure a file is normalised on.
enum class Level : std::uint8_t {
  integrated,      // integrated loudness, LUFS
  short_term_max,  // largest short-term loudness, LUFS
  momentary_max,   // largest momentary loudness, LUFS
  rms_average,     // RMS over the whole file, dBFS
  rms_max,         // RMS of the loudest 100 ms block, dBFS
  true_peak,       // true peak, dBTP
};

// "integrated", "short_term_max", "momentary_max", "rms_average", "rms_max",
// "true_peak"; and their units ("LUFS", "dBFS", "dBTP").
const std::vector<std::string>& level_names();
std::optional<Level> level_named(std::string_view name);
const char* level_name(Level level);
const char* level_unit(Level level);

// The measured value of `level`; absent when the audio is too short to define it.
std::optional<double> level_of(const analysis::StandardMeasurement& m, Level level);

// Why the applied gain differs from the one asked for.
enum class Limit : std::uint8_t { none, ceiling, in_range };

struct StreamRequest {
  std::string source;
  std::string destination;  // may be the source itself
  Level level = Level::integrated;
  double target = -23.0;  // in the level's unit
  double ceiling_dbtp = -1.0;
  std::optional<std::pair<double, double>> range;  // (low, high), in the level's unit
  // Output format name; empty: the destination's extension (WAV when it has
  // none). An extension that names no format written is refused, as is a
  // format whose container another format's extension names.
  std::string format;
  std::uint32_t rate_hz = 0;  // output rate; 0: the source's, or one the format takes
  // When the ceiling would cap the gain: apply the full gain and limit the
  // peaks (normalize/limiter.h), trimmed so the level lands on the target.
  // Refused for the true_peak level. The loudness range is measured too.
  bool limit = false;
};

struct StreamReport {
  // The parts measured: the chosen level, integrated loudness, true peak
  // (others are absent or NaN).
  analysis::StandardMeasurement input;
  analysis::StandardMeasurement output;  // the written file as stored
  std::string input_format;              // "WAV PCM_24", ...
  std::string output_format;
  std::vector<std::string> channel_map;  // the layout used for weighting
  std::uint32_t output_rate_hz = 0;
  // What the output does not hold and what was done instead, one line each:
  // layouts that could not be carried over, tags, pictures and chunks
  // (tags/tags.h) it has no place for.
  std::vector<std::string> notes;
  double input_level = 0.0;  // the chosen measure, in its unit
  std::optional<double> output_level;
  double gain_asked_db = 0.0;
  double gain_applied_db = 0.0;
  Limit limit = Limit::none;
  bool dithered = false;
  bool written = true;  // false: in range and in place, the file was not touched
  bool copied = false;  // in range: the source copied byte for byte
  // How far the peaks at the gain asked exceed the ceiling, dB: the largest
  // reduction a limiter needs to reach the target (0 when the gain is not capped).
  double limiting_needed_db = 0.0;
  // What the limiter did in the file written (absent when it did not run).
  std::optional<LimiterStats> limiter;
};

enum class StreamFailure : std::uint8_t {
  none,
  source,       // the source cannot be opened or read (message: the reason)
  destination,  // the output cannot be written (message: the reason)
  value,        // an argument or the audio does not allow normalising
  memory,       // a meter could not be built
};

struct StreamOutcome {
  StreamFailure failure = StreamFailure::none;
  std::string message;
  std::optional<StreamReport> report;
  // The errno of a source or destination failure the system reported.
  std::optional<int> os_errno = std::nullopt;
};

// Runs the five phases. Value errors: ceiling not finite or above 0 dBTP,
// target not finite, range low above high, the rate or channel count outside
// what the meter takes, an unknown format or an extension that names none
// written, a rate the format does not take, a level that is undefined or
// -inf (too short, digital silence): nothing is written then; an encoded
// output whose true peak stays over the ceiling: the destination is left as
// it was.
StreamOutcome normalize_stream(const StreamRequest& request);

}  // namespace sonorik::normalize
