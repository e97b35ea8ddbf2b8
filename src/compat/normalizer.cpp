#include "compat/normalizer.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

#include "compat/loudness.h"
#include "compat/peak.h"
#include "compat/rms.h"

namespace sonorik::normalize {

Result<double> measure_level(const AudioData& audio, NormalizationKind kind) {
  switch (kind) {
    case NormalizationKind::TruePeak:
      return analysis::calculate_true_peak(audio);
    case NormalizationKind::IntegratedLoudness:
      return analysis::calculate_integrated_loudness(audio);
    case NormalizationKind::ShortTermLoudness:
      return analysis::calculate_short_term_loudness(audio);
    case NormalizationKind::MomentaryLoudness:
      return analysis::calculate_momentary_loudness(audio);
    case NormalizationKind::RmsMax:
      return analysis::calculate_rms_max(audio);
    case NormalizationKind::RmsAverage:
      return analysis::calculate_rms_average(audio);
  }
  return Error("Unknown normalization measure");
}

namespace {

analysis::LoudnessRequest loudness_request(NormalizationKind kind) {
  switch (kind) {
    case NormalizationKind::IntegratedLoudness:
      return {.integrated = true};
    case NormalizationKind::ShortTermLoudness:
      return {.short_term = true};
    case NormalizationKind::MomentaryLoudness:
      return {.momentary = true};
    default:
      return {};
  }
}

}  // namespace

LevelScan::LevelScan(NormalizationKind kind, unsigned channels, std::uint64_t total_samples,
                     unsigned long rate_hz, analysis::LoudnessScan loudness)
    : kind_(kind),
      channels_(channels),
      loudness_(std::move(loudness)),
      peak_(kind == NormalizationKind::TruePeak ? channels : 0, total_samples),
      rms_(channels, rate_hz) {}

Result<LevelScan> LevelScan::create(const AudioInfo& info, std::uint64_t total_samples,
                                    NormalizationKind kind) {
  Result<analysis::LoudnessScan> loudness =
      analysis::LoudnessScan::create(info.channels, info.sample_rate, loudness_request(kind));
  if (!loudness) return std::move(loudness).error();
  return LevelScan(kind, info.channels, total_samples, info.sample_rate,
                   std::move(loudness).value());
}

Status LevelScan::feed(std::span<const double> samples) {
  switch (kind_) {
    case NormalizationKind::TruePeak:
      peak_.feed(samples.data(), samples.size());
      return ok_status();
    case NormalizationKind::RmsMax:
    case NormalizationKind::RmsAverage:
      rms_.feed(samples.data(), samples.size());
      return ok_status();
    default:
      // Whole frames only: a trailing incomplete frame is not measured.
      return loudness_.feed(samples.data(), channels_ == 0 ? 0 : samples.size() / channels_);
  }
}

double LevelScan::finish() {
  switch (kind_) {
    case NormalizationKind::TruePeak:
      return peak_.dbfs();
    case NormalizationKind::RmsMax:
      return rms_.max_db();
    case NormalizationKind::RmsAverage:
      return rms_.average_db();
    case NormalizationKind::IntegratedLoudness:
      return loudness_.finish().integrated_lufs;
    case NormalizationKind::ShortTermLoudness:
      return loudness_.finish().short_term_lufs;
    case NormalizationKind::MomentaryLoudness:
      return loudness_.finish().momentary_lufs;
  }
  return 0.0;
}

double gain_for_level_db(double current, const NormalizationTarget& target) {
  if (!target.range_bound) return target.target - current;
  const double lo = std::min(target.target, *target.range_bound);
  const double hi = std::max(target.target, *target.range_bound);
  if (current < lo) return lo - current;
  if (current > hi) return hi - current;
  return 0.0;
}

namespace {

// "nan", "inf" or "-inf" for the values the checks refuse.
std::string non_finite_text(double v) {
  if (std::isnan(v)) return "nan";
  return v > 0 ? "inf" : "-inf";
}

}  // namespace

Status check_target(const NormalizationTarget& target) {
  if (!std::isfinite(target.target))
    return Error("The target level must be a finite number (got " + non_finite_text(target.target) +
                 ").");
  if (target.range_bound && !std::isfinite(*target.range_bound))
    return Error("The range bound must be a finite number (got " +
                 non_finite_text(*target.range_bound) + ").");
  return ok_status();
}

Result<double> normalization_gain_db(const AudioData& audio, const NormalizationTarget& target) {
  if (Status s = check_target(target); !s) return std::move(s).error();
  Result<double> current = measure_level(audio, target.kind);
  if (!current) return std::move(current).error();
  return gain_for_level_db(*current, target);
}

void apply_gain_db(std::span<double> samples, double gain_db) {
  // A NaN gain changes nothing rather than turning every sample into -1.0.
  if (!(std::fabs(gain_db) >= kGainThresholdDb)) return;
  const double factor = std::pow(10.0, gain_db / 20.0);
  for (double& x : samples) {
    // Silence stays silent even when the factor overflows to infinity.
    double y = x == 0.0 ? x : x * factor;
    if (!(y >= -1.0)) y = -1.0;  // also NaN
    if (y > 1.0) y = 1.0;
    x = y;
  }
}

Result<AudioData> AudioNormalizer::normalize(const AudioData& audio,
                                             const NormalizationTarget& target) {
  Result<double> gain = normalization_gain_db(audio, target);
  if (!gain) return std::move(gain).error();
  AudioData out{audio.samples, audio.info};
  apply_gain_db(out.samples, *gain);
  return out;
}

}  // namespace sonorik::normalize
