#include "compat/normalizer.h"

#include <algorithm>
#include <cmath>
#include <string>

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
