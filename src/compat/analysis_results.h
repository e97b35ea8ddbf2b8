// The seven optional measures of one analysed file.
#pragma once

#include <optional>

namespace sonorik {

struct AnalysisResults {
  std::optional<double> integrated_loudness;  // LUFS
  std::optional<double> short_term_loudness;  // LUFS, maximum
  std::optional<double> momentary_loudness;   // LUFS, maximum
  std::optional<double> loudness_range;       // LU
  std::optional<double> true_peak;            // dBFS
  std::optional<double> rms_max;              // dB
  std::optional<double> rms_average;          // dB
};

}  // namespace sonorik
