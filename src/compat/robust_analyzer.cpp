#include "compat/robust_analyzer.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "analysis/engine.h"
#include "analysis/meter.h"
#include "core/diagnostics.h"
#include "core/interrupt.h"

namespace sonorik::analysis {

namespace {

// Every buffer of converted samples holds at most this many values (512 KiB).
constexpr std::size_t kBufferSamples = std::size_t{1} << 16;
constexpr double kLoudnessFloorLufs = -70.0;
constexpr double kRelativeGateLu = 20.0;
constexpr double kPlus30DbGain = 31.622776601683793;  // 10^(30/20)
constexpr double kAbnormalIntegratedLufs = -69.9;
constexpr double kUsableRemeasureLufs = -69.0;
constexpr double kRmsIntegratedOffsetDb = 23.0;
constexpr double kAbnormalRangeLu = 0.1;
constexpr double kRangeSpreadFactor = 0.7;

std::string formatted(const char* format, double a) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, a);
  return buf;
}

void print_extension_notice(double duration_seconds, std::uint64_t repeats) {
  char buf[200];
  std::snprintf(buf, sizeof buf,
                "FFmpeg compatibility: Extended %.3fs audio with %llu repeats (total %.3fs)\n",
                duration_seconds, static_cast<unsigned long long>(repeats),
                duration_seconds * static_cast<double>(repeats));
  write_stdout_line(buf);
}

std::uint64_t step_frames(std::uint32_t rate_hz, double seconds) {
  return static_cast<std::uint64_t>(static_cast<double>(rate_hz) * seconds);
}

// The audio S repeated `repeats` times, as the engine reads it: front to
// back, never built whole.
Engine::Reader repeated_reader(const SampleSource& source, std::uint64_t repeats) {
  return [&source, total = source.frames() * repeats, next = std::uint64_t{0}](
             double* out, std::size_t max_frames) mutable -> Result<std::size_t> {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(max_frames, total - next));
    const std::uint64_t source_frames = source.frames();
    std::size_t done = 0;
    while (done < n) {
      const std::uint64_t at = (next + done) % source_frames;
      const auto run =
          static_cast<std::size_t>(std::min<std::uint64_t>(n - done, source_frames - at));
      source.read(at, run, out + done * source.channels());
      done += run;
    }
    next += n;
    return n;
  };
}

// An engine configuration with every part off.
EngineConfig nothing(const SampleSource& source, std::uint32_t rate_hz) {
  EngineConfig c;
  c.channels = source.channels();
  c.rate_hz = rate_hz;
  c.loudness = false;
  c.true_peak = false;
  c.rms = false;
  return c;
}

// What the loudness meter gives over the (possibly repeated) audio.
struct LoudnessReadings {
  std::optional<double> integrated;
  double momentary_max = kLoudnessFloorLufs;
  double short_term_max = kLoudnessFloorLufs;
  std::vector<double> short_term_values;  // after the first 3 s, above -70.0
};

// Collects the 100 ms readings: maxima, and the short-term readings taken
// once 3 s have been fed, for the loudness range.
std::function<void(const StepReading&)> collect(LoudnessReadings& out, unsigned channels,
                                                std::uint32_t rate_hz) {
  const std::uint64_t short_term_start_samples = step_frames(rate_hz, 3.0) * channels;
  return [&out, channels, short_term_start_samples,
          processed_samples = std::uint64_t{0}](const StepReading& r) mutable {
    const std::optional<double>& momentary = r.momentary_lufs;
    const std::optional<double>& short_term = r.short_term_lufs;
    if (momentary && std::isfinite(*momentary))
      out.momentary_max = std::max(out.momentary_max, *momentary);
    processed_samples += r.frames * channels;
    if (short_term && std::isfinite(*short_term)) {
      out.short_term_max = std::max(out.short_term_max, *short_term);
      if (processed_samples >= short_term_start_samples && *short_term > kLoudnessFloorLufs) {
        out.short_term_values.push_back(*short_term);
      }
    }
  };
}

// Loudness range from short-term readings above the absolute gate: relative
// gate 20 LU below their energy mean, then the 10th to 95th percentile.
double range_from_short_term(const std::vector<double>& values) {
  if (values.size() < 2) return 0.0;
  double energy = 0.0;
  for (double v : values) energy += std::pow(10.0, v / 10.0);
  const double gate =
      10.0 * std::log10(energy / static_cast<double>(values.size())) - kRelativeGateLu;
  std::vector<double> gated;
  for (double v : values) {
    if (v > gate) gated.push_back(v);
  }
  if (gated.size() < 2) return 0.0;
  std::sort(gated.begin(), gated.end());
  const std::size_t k = gated.size();
  const std::size_t lo =
      std::min(k - 1, static_cast<std::size_t>(std::floor(0.1 * static_cast<double>(k))));
  const auto hi_count = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(k)));
  const std::size_t hi = std::min(k - 1, hi_count > 0 ? hi_count - 1 : 0);
  const double range = gated[hi] - gated[lo];
  return (std::isfinite(range) && range >= 0.0) ? range : 0.0;
}

// Integrated loudness alone (present when finite and above -70.0).
std::optional<double> integrated_only(const SampleSource& source, std::uint32_t rate_hz) {
  EngineConfig c = nothing(source, rate_hz);
  c.loudness = true;
  c.loudness_mode = Meter::kModeI;
  c.step_readings = false;
  const Result<EngineResult> r = Engine::run(c, repeated_reader(source, 1));
  if (!r || !r->loudness_measured) return std::nullopt;
  const double global = r->integrated_lufs.value_or(kLoudnessFloorLufs);
  if (std::isfinite(global) && global > kLoudnessFloorLufs) return global;
  return std::nullopt;
}

// Calls block(sum_of_squares, length_in_samples) for consecutive blocks of
// `block_frames` frames of S (the last may be shorter), summing in order.
template <class F>
void for_each_block_energy(const SampleSource& source, std::uint64_t block_frames, F&& block) {
  if (block_frames == 0 || source.frames() == 0) return;
  EngineConfig c = nothing(source, 0);
  c.rms = true;
  c.rms_block_frames = block_frames;
  c.on_rms_block = [&](const RmsBlock& b) { block(b.sum, b.samples); };
  (void)Engine::run(c, repeated_reader(source, 1));
}

double mean_square(const SampleSource& source) {
  if (source.samples() == 0) return 0.0;
  double sum = 0.0;
  for_each_block_energy(source, source.frames(), [&](double s, std::uint64_t) { sum = s; });
  return sum / static_cast<double>(source.samples());
}

struct RmsLevels {
  double max_db = kRmsFloorDb;
  double average_db = kRmsFloorDb;
};

// Accumulates RMS levels over 100 ms blocks.
struct RmsAccumulator {
  double total = 0.0;
  double max_rms = 0.0;
  void add(const RmsBlock& b) {
    total += b.sum;
    const double ms = b.sum / static_cast<double>(b.samples);
    if (ms > 0.0) max_rms = std::max(max_rms, std::sqrt(ms));
  }
  RmsLevels levels(std::uint64_t samples) const {
    RmsLevels out;
    const double mean = samples == 0 ? 0.0 : total / static_cast<double>(samples);
    if (mean > 0.0) out.average_db = 20.0 * std::log10(std::sqrt(mean));
    if (max_rms > 0.0) out.max_db = 20.0 * std::log10(max_rms);
    return out;
  }
};

// The loudness range re-estimated from the spread of one-second RMS levels.
double range_from_second_levels(const SampleSource& source, std::uint32_t rate_hz) {
  std::uint64_t count = 0;
  double lowest = std::numeric_limits<double>::infinity();
  double highest = -std::numeric_limits<double>::infinity();
  if (rate_hz > 0) {
    for_each_block_energy(source, rate_hz, [&](double s, std::uint64_t length) {
      const double ms = s / static_cast<double>(length);
      if (ms > 0.0) {
        const double level = 20.0 * std::log10(std::sqrt(ms));
        lowest = std::min(lowest, level);
        highest = std::max(highest, level);
        ++count;
      }
    });
  }
  if (count < 2) return kAbnormalRangeLu;
  const double r = (highest - lowest) * kRangeSpreadFactor;
  return r > kAbnormalRangeLu ? r : kAbnormalRangeLu;
}

}  // namespace

// ---- SampleSource -------------------------------------------------------------

SampleSource::SampleSource(const UltraFastWavReader& reader, double gain)
    : reader_(&reader),
      frames_(reader.info().frames),
      channels_(std::max<unsigned>(1, reader.info().channels)),
      gain_(gain) {
  if (reader.info().channels == 0) frames_ = 0;
}

SampleSource::SampleSource(std::span<const double> samples, unsigned channels, double gain)
    : list_(samples.data()),
      frames_(channels == 0 ? 0 : samples.size() / channels),
      channels_(std::max(1u, channels)),
      gain_(gain) {}

SampleSource SampleSource::scaled(double gain) const noexcept {
  SampleSource s = *this;
  s.gain_ = gain;
  return s;
}

void SampleSource::read(std::uint64_t first_frame, std::size_t count, double* out) const noexcept {
  const std::size_t n = count * channels_;
  if (reader_ != nullptr) {
    reader_->convert_range(first_frame * channels_, n, out);
  } else {
    std::copy_n(list_ + first_frame * channels_, n, out);
  }
  if (gain_ != 1.0) {
    for (std::size_t i = 0; i < n; ++i) out[i] *= gain_;
  }
}

void SampleSource::read_channels(std::uint64_t first_frame, std::size_t count,
                                 unsigned first_channel, unsigned channel_count,
                                 double* out) const noexcept {
  if (reader_ != nullptr) {
    reader_->convert_channels(first_frame, count, first_channel, channel_count, out);
  } else {
    const double* p = list_ + first_frame * channels_ + first_channel;
    for (std::size_t f = 0; f < count; ++f) {
      std::copy_n(p + f * channels_, channel_count, out + f * channel_count);
    }
  }
  if (gain_ != 1.0) {
    for (std::size_t i = 0, n = count * channel_count; i < n; ++i) out[i] *= gain_;
  }
}

// ---- RobustAnalyzer ---------------------------------------------------------------

std::uint64_t RobustAnalyzer::extension_repeats(double duration_seconds, double target_seconds) {
  if (!(duration_seconds < target_seconds) || !(duration_seconds > 0.0)) return 1;
  const double n = std::floor(target_seconds / duration_seconds) + 1.0;
  constexpr double kMaxRepeats = 9.0e18;
  const std::uint64_t repeats =
      n >= kMaxRepeats ? static_cast<std::uint64_t>(kMaxRepeats) : static_cast<std::uint64_t>(n);
  return std::max<std::uint64_t>(repeats, 5);
}

namespace {

// The outcome of one measurement, each part on its own: a part that was not
// requested, or whose meter could not be built, stays absent.
struct PartsOutcome {
  std::optional<LoudnessReadings> loudness;
  std::optional<double> peak;  // largest true-peak reading, from 0.0
  std::optional<RmsLevels> rms;
};

// Runs the requested parts through the engine in one pass: loudness and true
// peak over the (possibly repeated) audio, RMS (if `rms`) over the audio once.
PartsOutcome measure_parts(const SampleSource& samples, const WavFormatInfo& info,
                           RobustParts parts, bool rms = false) {
  const double duration = info.duration_seconds;
  std::uint64_t repeats = 1;
  if (duration < kExtensionThresholdSeconds) {
    repeats = RobustAnalyzer::extension_repeats(duration, kExtensionTargetSeconds);
    if (repeats > 1) {
      // Printed once for each measurement this call stands for.
      for (int i = int{parts.loudness} + int{parts.true_peak}; i > 0; --i) {
        print_extension_notice(duration, repeats);
      }
    }
  }
  // The meter's limits come first: nothing is measured for a file it would refuse.
  if (!Meter::accepts(samples.channels(), info.sample_rate)) parts = {false, false};
  if (!parts.loudness && !parts.true_peak) repeats = 1;

  PartsOutcome out;
  EngineConfig c = nothing(samples, info.sample_rate);
  LoudnessReadings readings;
  c.loudness = parts.loudness;
  c.on_step = collect(readings, samples.channels(), info.sample_rate);
  c.true_peak = parts.true_peak;
  RmsAccumulator accumulated;
  c.rms = rms;
  c.rms_frames = samples.frames();
  c.on_rms_block = [&](const RmsBlock& b) { accumulated.add(b); };
  if (!c.loudness && !c.true_peak && !c.rms) return out;
  const Result<EngineResult> r = Engine::run(c, repeated_reader(samples, repeats));
  if (!r) return out;
  if (r->loudness_measured) {
    const double global = r->integrated_lufs.value_or(kLoudnessFloorLufs);
    if (std::isfinite(global) && global > kLoudnessFloorLufs) readings.integrated = global;
    out.loudness = std::move(readings);
  }
  if (!r->true_peak.empty()) {
    out.peak = *std::max_element(r->true_peak.begin(), r->true_peak.end());
    out.peak = std::max(0.0, *out.peak);
  }
  if (rms) out.rms = accumulated.levels(samples.samples());
  return out;
}

void fill_loudness(const LoudnessReadings& r, Bs1770Measurement& out) {
  out.integrated = r.integrated;
  if (r.momentary_max > kLoudnessFloorLufs) out.momentary_max = r.momentary_max;
  if (r.short_term_max > kLoudnessFloorLufs) out.short_term_max = r.short_term_max;
  out.loudness_range = range_from_short_term(r.short_term_values);
}

double peak_dbfs(double peak) {
  return peak > 0.0 ? 20.0 * std::log10(peak) : kRobustTruePeakFloorDbfs;
}

// An integrated loudness at the gate floor re-estimated: measured again 30 dB
// louder, else from the mean square.
void correct_integrated(const SampleSource& source, std::uint32_t rate_hz, AnalysisResults& out) {
  if (!(out.integrated_loudness && *out.integrated_loudness <= kAbnormalIntegratedLufs)) return;
  write_stdout_line(
      formatted("Detecting abnormal integrated loudness: %.1f LUFS, attempting correction...\n",
                *out.integrated_loudness));
  std::optional<double> corrected;
  const std::optional<double> louder = integrated_only(source.scaled(kPlus30DbGain), rate_hz);
  if (louder && *louder > kUsableRemeasureLufs) {
    corrected = *louder - 30.0;
  } else if (const double ms = mean_square(source); ms > 0.0) {
    corrected = 20.0 * std::log10(std::sqrt(ms)) - kRmsIntegratedOffsetDb;
  }
  if (corrected) {
    write_stdout_line(formatted("Corrected integrated loudness: %.1f LUFS\n", *corrected));
    out.integrated_loudness = corrected;
  }
}

// A loudness range under 0.1 LU re-estimated from one-second RMS levels.
void correct_range(const SampleSource& source, std::uint32_t rate_hz, AnalysisResults& out) {
  if (!(out.loudness_range && *out.loudness_range < kAbnormalRangeLu)) return;
  write_stdout_line(
      formatted("Detecting abnormal loudness range: %.3f LU, attempting correction...\n",
                *out.loudness_range));
  const double corrected = range_from_second_levels(source, rate_hz);
  write_stdout_line(formatted("Corrected loudness range: %.1f LU\n", corrected));
  out.loudness_range = corrected;
}

}  // namespace

Result<Bs1770Measurement> RobustAnalyzer::measure_loudness_custom_bs1770(
    const SampleSource& samples, const WavFormatInfo& info, RobustParts parts) {
  const PartsOutcome outcome = measure_parts(samples, info, parts);
  if ((parts.loudness && !outcome.loudness) || (parts.true_peak && !outcome.peak)) {
    return Error("NoMem");
  }
  Bs1770Measurement out;
  if (outcome.loudness) fill_loudness(*outcome.loudness, out);
  if (outcome.peak) out.true_peak = peak_dbfs(*outcome.peak);
  return out;
}

double RobustAnalyzer::true_peak_fallback(const SampleSource& samples) {
  const std::uint64_t frames = samples.frames();
  const unsigned channels = samples.channels();
  if (frames < 2) return kFallbackPeakFloorDbfs;
  // Blocks of `block` interpolated frames, each read with one frame before
  // and two after (zeros outside the audio).
  const std::uint64_t block = std::max<std::size_t>(1, kBufferSamples / channels);
  std::vector<double> buf(static_cast<std::size_t>((std::min(block, frames) + 3) * channels));
  double m = 0.0;
  for (std::uint64_t i0 = 0; i0 + 1 < frames; i0 += block) {
    const std::uint64_t count = std::min(block, frames - 1 - i0);
    // buf frame j holds audio frame i0 - 1 + j, for j in [0, count + 3).
    const std::uint64_t lo = i0 == 0 ? 0 : i0 - 1;
    const std::uint64_t hi = std::min(frames, i0 + count + 2);
    std::fill(buf.begin(), buf.end(), 0.0);
    samples.read(lo, static_cast<std::size_t>(hi - lo), buf.data() + (lo + 1 - i0) * channels);
    const std::uint64_t last_own = i0 + count == frames - 1 ? count + 1 : count;
    for (std::size_t j = 1; j <= last_own; ++j) {
      for (unsigned c = 0; c < channels; ++c) m = std::max(m, std::fabs(buf[j * channels + c]));
    }
    for (std::size_t j = 1; j <= count; ++j) {
      for (unsigned c = 0; c < channels; ++c) {
        const double p0 = buf[(j - 1) * channels + c];
        const double p1 = buf[j * channels + c];
        const double p2 = buf[(j + 1) * channels + c];
        const double p3 = buf[(j + 2) * channels + c];
        const double a = -0.5 * p0 + 1.5 * p1 - 1.5 * p2 + 0.5 * p3;
        const double b = p0 - 2.5 * p1 + 2.0 * p2 - 0.5 * p3;
        const double c1 = -0.5 * p0 + 0.5 * p2;
        for (double t : {0.25, 0.5, 0.75}) {
          m = std::max(m, std::fabs(p1 + t * (c1 + t * (b + t * a))));
        }
      }
    }
  }
  return m > 0.0 ? 20.0 * std::log10(m) : kFallbackPeakFloorDbfs;
}

Result<AnalysisResults> RobustAnalyzer::analyze_with_fallback(const UltraFastWavReader& reader,
                                                              const MetricList& metrics) {
  const auto wants = [&](Metric a, Metric b) {
    return std::any_of(metrics.begin(), metrics.end(), [&](Metric m) {
      return static_cast<int>(m) >= static_cast<int>(a) &&
             static_cast<int>(m) <= static_cast<int>(b);
    });
  };
  const bool want_loudness = wants(Metric::integrated_loudness, Metric::loudness_range);
  const bool want_peak = wants(Metric::true_peak, Metric::true_peak);
  const bool want_rms = wants(Metric::rms_max, Metric::rms_average);
  const WavFormatInfo& info = reader.info();
  if (want_rms && (info.sample_rate < kMinimumRmsRateHz || info.channels == 0)) {
    return Error("Sample rate of " + std::to_string(info.sample_rate) +
                 " Hz is too low to measure RMS in 100 ms blocks (at least 10 Hz needed)");
  }

  const SampleSource source(reader);
  AnalysisResults out;
  // RMS runs beside the meters, in the same pass.
  const PartsOutcome m = measure_parts(source, info, {want_loudness, want_peak}, want_rms);
  // An interrupted pass measured part of the file: no fallback, no corrections.
  if (interrupted()) return Error(kInterrupted);
  if (m.loudness) {
    Bs1770Measurement loud;
    fill_loudness(*m.loudness, loud);
    out.integrated_loudness = loud.integrated;
    out.momentary_loudness = loud.momentary_max;
    out.short_term_loudness = loud.short_term_max;
    out.loudness_range = loud.loudness_range;
  }
  if (want_peak) out.true_peak = m.peak ? peak_dbfs(*m.peak) : true_peak_fallback(source);
  if (m.rms) {
    out.rms_max = m.rms->max_db;
    out.rms_average = m.rms->average_db;
  }

  if (info.duration_seconds < kCorrectionMinimumSeconds) return out;
  correct_integrated(source, info.sample_rate, out);
  if (interrupted()) return Error(kInterrupted);
  correct_range(source, info.sample_rate, out);
  return out;
}

}  // namespace sonorik::analysis
