#include "normalize/stream_normalizer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/channel_layout.h"
#include "analysis/engine.h"
#include "analysis/measurable.h"
#include "analysis/meter.h"
#include "audio/finite_check.h"
#include "audio/sndfile_formats.h"
#include "audio/sndfile_writer.h"
#include "audio/source.h"
#include "core/interrupt.h"
#include "core/replace_file.h"
#include "core/text.h"
#include "tags/tags.h"

namespace sonorik::normalize {

namespace {

using analysis::StandardMeasurement;

constexpr double kRound = 6755399441055744.0;  // 2^52 + 2^51

struct LevelInfo {
  Level level;
  const char* name;
  const char* unit;
  const char* undefined;  // why the level can be missing
};

constexpr LevelInfo kLevels[] = {
    {Level::integrated, "integrated", "LUFS", ""},
    {Level::short_term_max, "short_term_max", "LUFS", "audio shorter than 3 s"},
    {Level::momentary_max, "momentary_max", "LUFS", "audio shorter than 400 ms"},
    {Level::rms_average, "rms_average", "dBFS", ""},
    {Level::rms_max, "rms_max", "dBFS", "audio shorter than 100 ms"},
    {Level::true_peak, "true_peak", "dBTP", ""},
};

const LevelInfo& info_of(Level level) {
  for (const LevelInfo& l : kLevels) {
    if (l.level == level) return l;
  }
  return kLevels[0];
}

std::string number(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return std::isinf(v) ? (v < 0 ? "-inf" : "inf") : buf;
}

double amplitude(double db) { return std::pow(10.0, db / 20.0); }
double decibels(double amplitude) { return 20.0 * std::log10(amplitude); }

StreamOutcome fail(StreamFailure kind, std::string message) {
  StreamOutcome o;
  o.failure = kind;
  o.message = std::move(message);
  return o;
}
StreamOutcome fail(StreamFailure kind, const Error& error) {
  StreamOutcome o = fail(kind, error.message());
  o.os_errno = error.os_errno();
  return o;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

// TPDF dither: the sum of two uniform values, in (-1, 1) steps.
class Dither {
 public:
  double next() noexcept {
    state_ ^= state_ >> 12;
    state_ ^= state_ << 25;
    state_ ^= state_ >> 27;
    const std::uint64_t r = state_ * 0x2545F4914F6CDD1DULL;
    constexpr double k = 1.0 / 4294967296.0;
    return static_cast<double>(r >> 32) * k + static_cast<double>(r & 0xFFFFFFFFu) * k - 1.0;
  }

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

// Scales samples by the gain into what the output stores: integer codes
// (rounded, dithered when asked, clamped), or floats.
class Requantizer {
 public:
  Requantizer(double gain, SampleCoding coding, bool dither, unsigned channels)
      : gain_(gain), coding_(coding), dither_(dither) {
    if (coding.int_bits != 0) {
      scale_ = std::ldexp(1.0, static_cast<int>(coding.int_bits) - 1);
      shift_ = 32 - static_cast<int>(coding.int_bits);
      codes_.resize(analysis::Engine::block_frames(channels) * channels);
    }
  }

  // Replaces `n` samples with the values stored; integer codes go to codes().
  void run(double* x, std::size_t n) noexcept {
    if (coding_.int_bits != 0) {
      const double lo = -scale_;
      const double hi = scale_ - 1.0;
      const double step = 1.0 / scale_;
      for (std::size_t i = 0; i < n; ++i) {
        double v = x[i] * gain_ * scale_;
        if (dither_) v += noise_.next();
        // Clamped first (NaN to 0), then rounded to the nearest integer
        // (halves to even) by the 2^52 + 2^51 shift, exact below 2^51.
        v = v >= lo ? (v <= hi ? v : hi) : (v < lo ? lo : 0.0);
        v = (v + kRound) - kRound;
        const auto code = static_cast<std::int64_t>(v);
        codes_[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(code) << shift_);
        x[i] = v * step;
      }
    } else if (coding_.is_float) {
      for (std::size_t i = 0; i < n; ++i)
        x[i] = static_cast<double>(static_cast<float>(x[i] * gain_));
    } else {
      for (std::size_t i = 0; i < n; ++i) x[i] *= gain_;
    }
  }
  const std::int32_t* codes() const noexcept { return codes_.data(); }

 private:
  double gain_;
  SampleCoding coding_;
  bool dither_;
  double scale_ = 1.0;
  int shift_ = 0;
  std::vector<std::int32_t> codes_;
  Dither noise_;
};

}  // namespace

const std::vector<std::string>& level_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const LevelInfo& l : kLevels) out.emplace_back(l.name);
    return out;
  }();
  return names;
}

std::optional<Level> level_named(std::string_view name) {
  for (const LevelInfo& l : kLevels) {
    if (name == l.name) return l.level;
  }
  return std::nullopt;
}

const char* level_name(Level level) { return info_of(level).name; }
const char* level_unit(Level level) { return info_of(level).unit; }

std::optional<double> level_of(const StandardMeasurement& m, Level level) {
  switch (level) {
    case Level::integrated:
      return m.integrated_lufs;
    case Level::short_term_max:
      return m.short_term_max_lufs;
    case Level::momentary_max:
      return m.momentary_max_lufs;
    case Level::rms_average:
      return m.rms_average_dbfs;
    case Level::rms_max:
      return m.rms_max_dbfs;
    case Level::true_peak:
      return m.true_peak_dbtp;
  }
  return std::nullopt;
}

namespace {

// Set when normalising stops: the outcome to return.
using Stop = std::optional<StreamOutcome>;

// What the phases share: the request, the source (opened once), the output
// format and what each measuring pass takes.
struct Job {
  const StreamRequest& req;
  AudioSource source;
  int out_format = 0;
  SampleCoding coding{};  // of the output
  std::vector<int> roles{};
  analysis::MeasureParts parts{};
};

// Reads through `reader`, noting in `failed` that a read failed (to tell a
// reader's error from the meter's).
analysis::Engine::Reader reading(AudioReader& reader, bool& failed) {
  return [&reader, &failed](double* out, std::size_t max_frames) -> Result<std::size_t> {
    if (interrupted()) return Error(kInterrupted);
    Result<std::size_t> got = reader.read(out, max_frames);
    if (!got) failed = true;
    return got;
  };
}

// One measuring pass of the job's parts over what `read` gives.
Result<StandardMeasurement> measure_pass(const Job& job, const analysis::Engine::Reader& read) {
  const SourceInfo& info = job.source.info;
  return analysis::measure_standard(info.channels, info.rate_hz, job.roles, false, read, job.parts);
}

// Value errors of the request, found before the source is opened.
Stop check_request(const StreamRequest& req) {
  if (!std::isfinite(req.target))
    return fail(StreamFailure::value, "target must be a finite level");
  if (!std::isfinite(req.ceiling_dbtp) || req.ceiling_dbtp > 0.0) {
    return fail(StreamFailure::value, "ceiling must be a finite level of at most 0.0 dBTP (got " +
                                          number(req.ceiling_dbtp) + ")");
  }
  if (req.range && !(req.range->first <= req.range->second)) {
    return fail(StreamFailure::value, "range must be (low, high) with low <= high (got (" +
                                          number(req.range->first) + ", " +
                                          number(req.range->second) + "))");
  }
  return std::nullopt;
}

// The output format (named, else the destination's extension, else the
// source's major format), the layout and the parts to measure. Value errors:
// a rate or channel count the meter does not take, a format that cannot be
// written.
Stop plan(Job& job, StreamReport& report) {
  const StreamRequest& req = job.req;
  const SourceInfo& info = job.source.info;
  std::string format_name = req.format;
  if (format_name.empty()) {
    const std::string ext = lower_extension(req.destination);
    if (is_output_format_name(ext)) format_name = ext;
  }
  if (std::optional<std::string> why = analysis::unmeasurable_reason(info.channels, info.rate_hz)) {
    return fail(StreamFailure::value, *why);
  }
  Result<int> out_format = choose_output_format(format_name, info.sf_format, info.channels,
                                                info.rate_hz, !info.channel_positions.empty());
  if (!out_format) return fail(StreamFailure::value, out_format.error());
  job.out_format = *out_format;
  job.coding = sample_coding(job.out_format);
  if (job.coding.int_bits != 0) {
    // The gain keeps four steps of the output's quantisation below the
    // ceiling for rounding and dither: a ceiling at or below that cannot be kept.
    const int bits = static_cast<int>(job.coding.int_bits);
    const double lowest = decibels(4.0 * std::ldexp(1.0, 1 - bits) / (1.0 - 1e-6));
    if (!(req.ceiling_dbtp > lowest)) {
      return fail(StreamFailure::value, "ceiling " + number(req.ceiling_dbtp) +
                                            " dBTP is below what " + std::to_string(bits) +
                                            "-bit samples can keep: it must be above " +
                                            number(lowest) + " dBTP");
    }
  }
  report.input_format = info.format;
  report.output_format = sndfile_format_name(job.out_format);
  report.channel_map = job.source.layout;
  for (const std::string& n : report.channel_map)
    job.roles.push_back(analysis::channel_role(n).value_or(0));
  // Only what the gain and the report need: the level, integrated loudness, true peak.
  job.parts.momentary = req.level == Level::momentary_max;
  job.parts.short_term = req.level == Level::short_term_max;
  job.parts.loudness_range = false;
  job.parts.channel_loudness = false;
  job.parts.rms = req.level == Level::rms_average || req.level == Level::rms_max;
  return std::nullopt;
}

// 1. measure: one pass over the source into report.input. Errors: the
// source's (source), a meter that cannot be built (memory).
Stop measure_input(Job& job, StreamReport& report) {
  bool read_failed = false;
  // Samples that are not numbers cannot be measured or scaled: refused on the
  // measuring pass, before anything is written.
  const bool floats = stores_floats(job.source.info.sf_format);
  const unsigned channels = job.source.info.channels;
  const analysis::Engine::Reader source = reading(job.source.reader, read_failed);
  std::uint64_t frames_read = 0;
  bool bad_sample = false;
  const analysis::Engine::Reader checked = [&](double* out,
                                               std::size_t max) -> Result<std::size_t> {
    Result<std::size_t> got = source(out, max);
    if (!got || *got == 0 || !floats) return got;
    if (const std::optional<SamplePosition> bad =
            first_non_finite(out, *got, channels, frames_read)) {
      bad_sample = true;
      return Error(non_finite_message(*bad));
    }
    frames_read += *got;
    return got;
  };
  Result<StandardMeasurement> input = measure_pass(job, checked);
  if (!input) {
    return fail(bad_sample    ? StreamFailure::value
                : read_failed ? StreamFailure::source
                              : StreamFailure::memory,
                input.error());
  }
  report.input = std::move(input).value();
  return std::nullopt;
}

// 2. gain: the gain asked (target minus the measured level) and the gain
// applied (none inside the range; capped so that the true peak stays under
// the ceiling, less what rounding and dither add to an integer output). Value
// error: a level that is undefined or not finite.
Stop choose_gain(const Job& job, StreamReport& report) {
  const StreamRequest& req = job.req;
  const LevelInfo& level = info_of(req.level);
  const std::optional<double> measured = level_of(report.input, req.level);
  if (!measured || !std::isfinite(*measured)) {
    return fail(
        StreamFailure::value,
        std::string("cannot normalise on the ") + level.name + " level: it is " +
            (measured
                 ? number(*measured) + " " + level.unit + " (digital silence" +
                       (req.level == Level::integrated ? ", or no block passes the gates)" : ")")
                 : std::string("undefined (") + level.undefined + ")"));
  }
  report.input_level = *measured;
  report.gain_asked_db = req.target - *measured;
  if (req.range && req.range->first <= *measured && *measured <= req.range->second) {
    report.limit = Limit::in_range;
    report.gain_asked_db = 0.0;
    report.gain_applied_db = 0.0;
    return std::nullopt;
  }
  report.gain_applied_db = report.gain_asked_db;
  if (std::isfinite(report.input.true_peak_dbtp)) {
    double room = amplitude(req.ceiling_dbtp) * (1.0 - 1e-6);
    if (job.coding.int_bits != 0)
      room -= 4.0 * std::ldexp(1.0, 1 - static_cast<int>(job.coding.int_bits));
    const double most = decibels(room / amplitude(report.input.true_peak_dbtp));
    if (report.gain_applied_db > most) {
      report.gain_applied_db = most;
      report.limit = Limit::ceiling;
    }
  }
  return std::nullopt;
}

// 3. write: rewinds the source and streams it, scaled and requantised, into
// `temp` (begun here, beside the destination), closing the encoder. For an
// exact coding the stored values are measured as they are written
// (report.output). Errors: the source's (source), the destination's
// (destination), a meter that cannot be built (memory).
Stop write_output(Job& job, std::optional<FileReplacement>& temp, StreamReport& report) {
  const SourceInfo& info = job.source.info;
  const SampleCoding coding = job.coding;
  const SampleCoding in_coding = sample_coding(info.sf_format);
  const bool wider_source = in_coding.int_bits == 0 || in_coding.int_bits > coding.int_bits;
  report.dithered = coding.int_bits != 0 && coding.int_bits <= 24 &&
                    (report.gain_applied_db != 0.0 || wider_source);
  if (Status s = job.source.reader.rewind(); !s) return fail(StreamFailure::source, s.error());
  Result<FileReplacement> begun = FileReplacement::begin(job.req.destination);
  if (!begun) return fail(StreamFailure::destination, begun.error());
  temp.emplace(std::move(begun).value());
  Result<SndfileWriter> writer = SndfileWriter::open(
      temp->fd(), {job.out_format, info.rate_hz, info.channels, info.channel_positions});
  if (!writer) return fail(StreamFailure::destination, writer.error());

  Requantizer requantize(amplitude(report.gain_applied_db), coding, report.dithered, info.channels);
  bool read_failed = false;
  std::optional<Error> write_error;
  const analysis::Engine::Reader source = reading(job.source.reader, read_failed);
  const analysis::Engine::Reader write_pass = [&](double* out,
                                                  std::size_t max) -> Result<std::size_t> {
    Result<std::size_t> got = source(out, max);
    if (!got || *got == 0) return got;
    requantize.run(out, *got * info.channels);
    Status s = coding.int_bits != 0 ? writer->write_int(requantize.codes(), *got)
                                    : writer->write_double(out, *got);
    if (!s) {
      write_error = std::move(s).error();
      return *write_error;
    }
    return got;
  };
  if (coding.exact()) {
    Result<StandardMeasurement> output = measure_pass(job, write_pass);
    if (write_error) return fail(StreamFailure::destination, *write_error);
    if (!output) {
      return fail(read_failed ? StreamFailure::source : StreamFailure::memory, output.error());
    }
    report.output = std::move(output).value();
  } else {
    const std::size_t block_frames = analysis::Engine::block_frames(info.channels);
    std::vector<double> block(block_frames * info.channels);
    for (;;) {
      if (interrupted()) return fail(StreamFailure::source, Error(kInterrupted));
      Result<std::size_t> got = write_pass(block.data(), block_frames);
      if (write_error) return fail(StreamFailure::destination, *write_error);
      if (!got) return fail(StreamFailure::source, got.error());
      if (*got == 0) break;
    }
  }
  if (Status s = writer->close(); !s) return fail(StreamFailure::destination, s.error());
  return std::nullopt;
}

// 4. verify: for a coding that does not store the values given (Vorbis,
// Opus, MP3, ...), measures the finished temporary file into report.output.
// Errors: the temporary file's (destination).
Stop verify_output(const Job& job, const FileReplacement& temp, StreamReport& report) {
  if (job.coding.exact()) return std::nullopt;
  Result<AudioSource> back = open_audio(temp.temp_path());
  if (!back) return fail(StreamFailure::destination, back.error());
  bool read_failed = false;
  Result<StandardMeasurement> output = measure_pass(job, reading(back->reader, read_failed));
  if (!output) return fail(StreamFailure::destination, output.error());
  report.output = std::move(output).value();
  return std::nullopt;
}

// 5. replace: renames the temporary file over the destination. Error: the
// system's (destination), with the destination as it was.
Stop replace(const Job& job, FileReplacement& temp, StreamReport& report) {
  // The last moment an interrupt can keep the destination as it was.
  if (interrupted()) return fail(StreamFailure::source, Error(kInterrupted));
  if (Status s = temp.commit(); !s) return fail(StreamFailure::destination, s.error());
  report.output_level = level_of(report.output, job.req.level);
  return std::nullopt;
}

}  // namespace

StreamOutcome normalize_stream(const StreamRequest& req) {
  if (Stop s = check_request(req)) return std::move(*s);
  Result<AudioSource> source = open_audio(req.source);
  if (!source) return fail(StreamFailure::source, source.error());
  Job job{req, std::move(source).value()};
  StreamReport report;
  if (Stop s = plan(job, report)) return std::move(*s);
  if (Stop s = measure_input(job, report)) return std::move(*s);
  if (Stop s = choose_gain(job, report)) return std::move(*s);
  if (report.limit == Limit::in_range && same_file(req.source, req.destination)) {
    report.written = false;
    report.output = report.input;
    report.output_format = report.input_format;
    report.output_level = report.input_level;
    return {StreamFailure::none, {}, std::move(report)};
  }
  std::optional<FileReplacement> temp;
  if (Stop s = write_output(job, temp, report)) return std::move(*s);
  // Tags, pictures and broadcast chunks of the source onto the closed
  // temporary file; a failure discards it.
  Result<std::vector<std::string>> notes =
      tags::carry_tags({req.source, job.source.info.sf_format, temp->temp_path(), job.out_format,
                        report.output_format, report.gain_applied_db});
  if (!notes) return fail(StreamFailure::destination, notes.error());
  report.notes = std::move(notes).value();
  if (Stop s = verify_output(job, *temp, report)) return std::move(*s);
  if (Stop s = replace(job, *temp, report)) return std::move(*s);
  return {StreamFailure::none, {}, std::move(report)};
}

}  // namespace sonorik::normalize
