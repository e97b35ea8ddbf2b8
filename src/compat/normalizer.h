// The normalization gain: measure one level of loaded audio with the same
// functions the analyzer uses, derive one gain in dB that brings it to a
// target (or to the nearer edge of a target range), and apply it as a linear
// factor with a hard clamp at full scale.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "compat/audio_data.h"
#include "compat/loudness.h"
#include "compat/peak.h"
#include "compat/rms.h"
#include "core/error.h"

namespace sonorik::normalize {

enum class NormalizationKind : std::uint8_t {
  TruePeak,            // dBFS, calculate_true_peak
  IntegratedLoudness,  // LUFS, calculate_integrated_loudness
  ShortTermLoudness,   // LUFS, maximum short-term loudness
  MomentaryLoudness,   // LUFS, maximum momentary loudness
  RmsMax,              // dB, loudest 50 ms window
  RmsAverage,          // dB, whole signal
};

struct NormalizationTarget {
  NormalizationKind kind = NormalizationKind::TruePeak;
  double target = 0.0;  // in the unit of the measure
  // Second edge of a target range; the order of `target` and `range_bound`
  // does not matter. Absent for an exact target.
  std::optional<double> range_bound;
};

// Gains smaller than this (in magnitude) leave the audio untouched.
inline constexpr double kGainThresholdDb = 0.01;

// The current level of `audio` on `kind`, in the measure's unit. Errors: a
// loudness meter's error, unchanged; the other measures always give a value.
Result<double> measure_level(const AudioData& audio, NormalizationKind kind);

// One level (`kind`) of audio fed block by block: the streaming form of
// measure_level, with the same value for the same samples.
class LevelScan {
 public:
  // `info` gives the channels and rate, `total_samples` all samples to come
  // (a trailing incomplete frame included). Errors: a loudness meter's
  // error, unchanged, before any audio is read.
  static Result<LevelScan> create(const AudioInfo& info, std::uint64_t total_samples,
                                  NormalizationKind kind);

  // Feeds the next samples, interleaved; every block but the last holds
  // whole frames. Errors: the engine's (kInterrupted when the user
  // interrupts); the scan is then spent.
  Status feed(std::span<const double> samples);

  // The level, in the measure's unit; call once, after the last block.
  double finish();

 private:
  LevelScan(NormalizationKind kind, unsigned channels, std::uint64_t total_samples,
            unsigned long rate_hz, analysis::LoudnessScan loudness);
  NormalizationKind kind_;
  unsigned channels_;
  analysis::LoudnessScan loudness_;
  analysis::TruePeakScan peak_;
  analysis::RmsScan rms_;
};

// The gain rule for a measured level `current`:
//   exact target: target - current;
//   range [lo, hi]: lo - current below lo, hi - current above hi, else 0.
double gain_for_level_db(double current, const NormalizationTarget& target);

// Refuses targets no gain can reach: a target or range bound that is NaN or
// infinite. Errors: "The target level must be a finite number (got {})." and
// "The range bound must be a finite number (got {}).", the value being
// "nan", "inf" or "-inf".
Status check_target(const NormalizationTarget& target);

// check_target, measure_level, then gain_for_level_db.
Result<double> normalization_gain_db(const AudioData& audio, const NormalizationTarget& target);

// Applies a gain in place. When |gain_db| < kGainThresholdDb nothing changes
// (not even samples beyond full scale), nor does a NaN gain. Otherwise each
// sample is multiplied by 10^(gain_db / 20) and clamped to -1.0 .. 1.0; a NaN
// sample becomes -1.0 and a zero stays zero.
void apply_gain_db(std::span<double> samples, double gain_db);

struct AudioNormalizer {
  // A new record: the input's samples with the gain of normalization_gain_db
  // applied, and the input's AudioInfo unchanged. The input is only read.
  // Errors: those of check_target and measure_level.
  static Result<AudioData> normalize(const AudioData& audio, const NormalizationTarget& target);
};

}  // namespace sonorik::normalize
