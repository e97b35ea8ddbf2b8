// Album loudness: several finished programmes measured as one, from what
// each StandardMeasurement keeps for it, whatever their rates and channel
// counts. Integrated loudness gates the programmes' 400 ms gating blocks
// pooled (as ebur128_loudness_global_multiple gates their meters), the
// loudness range the programmes' short-term readings pooled (the same rule
// as one programme's: standard_measurement.h), and the peaks are the
// largest of the programmes'.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "analysis/standard_measurement.h"
#include "core/error.h"

namespace sonorik::analysis {

struct AlbumMeasurement {
  std::size_t programmes = 0;
  double duration_s = 0.0;                        // the programmes' durations added
  double integrated_lufs = 0.0;                   // -inf when no block passes the gates
  double relative_gate_lufs = 0.0;                // -inf when no block passes the absolute gate
  std::optional<double> loudness_range_lu;        // absent when no programme has 3 s
  std::optional<double> loudness_range_low_lufs;  // absent as well when no reading passes
  std::optional<double> loudness_range_high_lufs;
  double true_peak_dbtp = 0.0;
  double sample_peak_dbfs = 0.0;  // NaN when a programme's was not measured
};

// The album of `programmes` (in album order; none may be null). Errors:
// "no programmes given" for none, and "album loudness needs every
// programme's gating blocks, which are kept for up to 8 channels" when one
// has none (the library's meter measured its loudness).
Result<AlbumMeasurement> measure_album(std::span<const StandardMeasurement* const> programmes);

}  // namespace sonorik::analysis
