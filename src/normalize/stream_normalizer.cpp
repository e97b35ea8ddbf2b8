#include "normalize/stream_normalizer.h"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include <sndfile.h>

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
#include "normalize/job.h"
#include "normalize/requantizer.h"

namespace sonorik::normalize {

namespace {

using analysis::StandardMeasurement;

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

// What the limiter keeps below the room the gain would leave, for the
// little its changing gain adds between samples.
constexpr double kLimiterMarginDb = 0.05;

double amplitude(double db) { return std::pow(10.0, db / 20.0); }
double decibels(double amplitude) { return 20.0 * std::log10(amplitude); }

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa {
  }, sb{};
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

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

analysis::Engine::Reader reading(AudioReader& reader, bool& failed) {
  return [&reader, &failed](double* out, std::size_t max_frames) -> Result<std::size_t> {
    if (interrupted()) return Error(kInterrupted);
    Result<std::size_t> got = reader.read(out, max_frames);
    if (!got) failed = true;
    return got;
  };
}

Result<StandardMeasurement> measure_pass(const Job& job, unsigned channels, std::uint32_t rate_hz,
                                         const std::vector<std::string>& layout,
                                         const analysis::Engine::Reader& read) {
  std::vector<int> roles;
  for (const std::string& n : layout) roles.push_back(analysis::channel_role(n).value_or(0));
  return analysis::measure_standard(channels, rate_hz, roles, false, read, job.parts);
}

namespace {

// Extensions of audio containers that are not written: a file of that name
// must not hold another container.
constexpr std::string_view kOtherAudio[] = {"m4a", "m4b", "mp4", "aac",  "alac", "wma",  "ape",
                                            "wv",  "mka", "mkv", "webm", "ac3",  "eac3", "dts",
                                            "mp2", "mpc", "tta", "amr",  "3gp",  "spx",  "ra"};

std::string written_formats() {
  std::string out;
  for (const std::string& n : output_format_names()) out += (out.empty() ? "" : ", ") + n;
  return out;
}

// The format name the destination is written as (empty: WAV), or why the
// request is refused.
Result<std::string> output_format_name(const StreamRequest& req) {
  const std::string ext = lower_extension(req.destination);
  const std::string shown = quoted_path(req.destination);
  if (req.format.empty()) {
    if (ext.empty() || is_output_format_name(ext)) return ext;
    return Error("cannot write " + shown + ": '." + ext + "' is not a format written (" +
                 written_formats() + "); give another name or a format");
  }
  if (!is_output_format_name(req.format)) {
    return Error("unknown output format '" + req.format +
                 "' (formats written: " + written_formats() + ")");
  }
  bool other = false;
  for (std::string_view a : kOtherAudio) other = other || ext == a;
  if (is_output_format_name(ext) ? !names_same_container(ext, req.format) : other) {
    return Error("cannot write " + req.format + " as " + shown + ": its extension names " +
                 "another format");
  }
  return req.format;
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
  if (req.rate_hz != 0 && !analysis::rate_measurable(req.rate_hz)) {
    return fail(StreamFailure::value, "rate: " + analysis::rate_range_text() + " (got " +
                                          std::to_string(req.rate_hz) + ")");
  }
  if (Result<std::string> name = output_format_name(req); !name)
    return fail(StreamFailure::value, name.error());
  if (req.limit && req.level == Level::true_peak) {
    return fail(StreamFailure::value,
                "limit cannot be used with the true_peak measure: the limiter holds the true "
                "peak at the ceiling");
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
  Result<std::string> named = output_format_name(req);
  if (!named) return fail(StreamFailure::value, named.error());
  const std::string format_name = std::move(named).value();
  if (std::optional<std::string> why = analysis::unmeasurable_reason(info.channels, info.rate_hz)) {
    return fail(StreamFailure::value, *why);
  }
  const std::vector<int> positions = source_positions(info, 0);  // the door has read a FLAC mask
  Result<int> out_format =
      choose_output_format(format_name, info.sf_format, info.channels,
                           req.rate_hz != 0 ? req.rate_hz : info.rate_hz, !positions.empty());
  if (!out_format) return fail(StreamFailure::value, out_format.error());
  job.out_format = *out_format;
  Result<std::uint32_t> rate =
      choose_output_rate(job.out_format, info.channels, info.rate_hz, req.rate_hz);
  if (!rate) return fail(StreamFailure::value, rate.error());
  job.out_rate_hz = report.output_rate_hz = *rate;
  job.channels = plan_channels(job.out_format, info.channels, positions);
  if (!job.channels.note.empty()) report.notes.push_back(job.channels.note);
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
  for (unsigned c : job.channels.order) job.out_layout.push_back(job.source.layout[c]);
  // Only what the gain and the report need: the level, integrated loudness, true peak.
  job.parts.momentary = req.level == Level::momentary_max;
  job.parts.short_term = req.level == Level::short_term_max;
  job.parts.loudness_range = req.limit;  // how much the limiter changes it
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
  Result<StandardMeasurement> input =
      measure_pass(job, channels, job.source.info.rate_hz, job.source.layout, checked);
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
Stop choose_gain(Job& job, StreamReport& report) {
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
      report.limiting_needed_db = report.gain_applied_db - most;
      if (req.limit) {
        job.limit_peak = room * amplitude(-kLimiterMarginDb);
      } else {
        report.gain_applied_db = most;
        report.limit = Limit::ceiling;
      }
    }
  }
  return std::nullopt;
}

// Whether the output is the source's container at its rate: a source in
// range then needs no conversion.
bool same_as_source(const Job& job) {
  return same_container(job.out_format, job.source.info.sf_format) &&
         job.out_rate_hz == job.source.info.rate_hz;
}

// The gain that brings a limited output's level from `got` to the target:
// the loudness the limiter removes grows with the gain, so the step is the
// miss over the slope of level against gain, taken from the last two passes
// or, after the first, from the limiter's share of the output's energy that
// more gain would not raise (limiter.h: pinned_energy).
struct Trim {
  double most_gain_db = 0.0;  // the gain asked and kMostTrimDb
  double last_gain_db = 0.0, last_level = 0.0;
  bool has_last = false;

  double next_gain(double gain_db, double got, double target,
                   const std::optional<LimiterStats>& limiter) {
    double slope = 1.0;
    if (has_last && gain_db != last_gain_db) {
      slope = (got - last_level) / (gain_db - last_gain_db);
    } else if (limiter && limiter->energy > 0.0) {
      slope = 1.0 - limiter->pinned_energy / limiter->energy;
    }
    slope = std::clamp(slope, 0.1, 1.0);
    last_gain_db = gain_db;
    last_level = got;
    has_last = true;
    return std::min(gain_db + (target - got) / slope, most_gain_db);
  }
};

// With limiting: the gain trimmed by passes that write nothing (at most
// kTrials) until the level would land within kAimLu of the target, or the
// last step was small enough to be trusted (kTrustedLu: the slope it was
// taken on is good to a few percent); the write trims what is left.
Stop aim_limited_gain(Job& job, StreamReport& report, Trim& trim) {
  constexpr int kTrials = 3;
  constexpr double kAimLu = 0.04;
  constexpr double kTrustedLu = 1.0;
  for (int trial = 0; trial < kTrials; ++trial) {
    double level = 0.0;
    std::optional<LimiterStats> stats;
    if (Stop s = trial_pass(job, report.gain_applied_db, level, stats)) return s;
    if (!std::isfinite(level) || std::abs(level - job.req.target) <= kAimLu) break;
    const double next = trim.next_gain(report.gain_applied_db, level, job.req.target, stats);
    if (next == report.gain_applied_db) break;  // at the most trimmed
    report.gain_applied_db = next;
    if (std::abs(level - job.req.target) <= kTrustedLu) break;
  }
  return std::nullopt;
}

// 3 to 5 (tags and chunks carried after writing), encoded again with less
// gain (with limiting: a lower limit) while the output's true peak is over
// the ceiling (a lossy coding or a new rate can raise it); with limiting,
// written again with a trimmed gain while the level misses the target.
Stop write_verify_replace(Job& job, StreamReport& report) {
  constexpr int kEncodes = 4;
  constexpr double kMarginDb = 0.1;
  constexpr double kTrimLu = 0.04;  // a level within this of the target is kept
  std::size_t plan_notes = report.notes.size();
  // Loudness the limiter takes off beyond this is not made up: the file is
  // then reported short of its target.
  constexpr double kMostTrimDb = 6.0;
  constexpr double kReachedLu = 0.1;
  Trim trim{report.gain_asked_db + kMostTrimDb};
  if (job.limit_peak) {
    if (Stop s = aim_limited_gain(job, report, trim)) return s;
  }
  for (int encode = 1;; ++encode) {
    std::optional<FileReplacement> temp;
    if (Stop s = write_output(job, temp, report)) return s;
    if (Stop s = add_metadata(job, *temp, report, plan_notes)) return s;
    if (Stop s = verify_output(job, *temp, report)) return s;
    const double peak = report.output.true_peak_dbtp;
    const std::optional<double> level = level_of(report.output, job.req.level);
    const bool over = peak > job.req.ceiling_dbtp;
    const bool missed = job.limit_peak && level && std::isfinite(*level) &&
                        std::abs(*level - job.req.target) > kTrimLu;
    const double trimmed =
        missed ? trim.next_gain(report.gain_applied_db, *level, job.req.target, report.limiter)
               : report.gain_applied_db;
    if (!over && (trimmed == report.gain_applied_db || encode == kEncodes)) {
      if (job.limit_peak && level && !(std::abs(*level - job.req.target) <= kReachedLu))
        report.limit = Limit::ceiling;
      return replace(job, *temp, report);
    }
    if (encode == kEncodes && job.limit_peak) {
      // Coded peaks the limiter cannot hold down (noise-like audio, where
      // the coding adds more the harder it limits): the linear gain instead.
      report.notes.insert(report.notes.begin() + static_cast<std::ptrdiff_t>(plan_notes++),
                          "the limiter could not keep the encoded peaks under the ceiling: "
                          "written with one linear gain instead");
      job.limit_peak.reset();
      report.gain_applied_db = report.gain_asked_db - report.limiting_needed_db;
      report.limit = Limit::ceiling;
      encode = 0;
      continue;
    }
    if (encode == kEncodes) {
      return fail(StreamFailure::value,
                  "the true peak of the encoded output stays over the ceiling (" + number(peak) +
                      " dBTP over " + number(job.req.ceiling_dbtp) + " dBTP after " +
                      std::to_string(kEncodes) + " encodings): nothing was written");
    }
    if (job.limit_peak && over) {
      // The coding raised the peaks: a lower limit first, the same gain (the
      // level's slope is taken again under the new limit).
      *job.limit_peak *= amplitude(job.req.ceiling_dbtp - peak - kMarginDb);
      trim.has_last = false;
    } else if (job.limit_peak) {
      report.gain_applied_db = trimmed;
    } else {
      report.gain_applied_db -= peak - job.req.ceiling_dbtp + kMarginDb;
      report.limit = Limit::ceiling;
    }
  }
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
  // In place, only a format or rate asked for rewrites a file in range.
  const bool asked_other =
      (!req.format.empty() && !same_container(job.out_format, job.source.info.sf_format)) ||
      (req.rate_hz != 0 && req.rate_hz != job.source.info.rate_hz);
  if (report.limit == Limit::in_range && !asked_other && same_file(req.source, req.destination)) {
    report.written = false;
    report.output = report.input;
    report.output_format = report.input_format;
    report.output_level = report.input_level;
    report.output_rate_hz = job.source.info.rate_hz;
    return {StreamFailure::none, {}, std::move(report)};
  }
  if (report.limit == Limit::in_range && same_as_source(job)) {
    if (Stop s = copy_source(job, report)) return std::move(*s);
    return {StreamFailure::none, {}, std::move(report)};
  }
  if (Stop s = write_verify_replace(job, report)) return std::move(*s);
  return {StreamFailure::none, {}, std::move(report)};
}

}  // namespace sonorik::normalize
