// What the standards' path measures: 1 to 64 channels, at rates from the
// lowest where K-weighting exists (its high shelf, 1,681.97 Hz, must lie below
// half the rate) to the meter's highest. Every entry point that measures or
// rewrites a file checks with these, so all refuse alike.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "analysis/meter.h"
#include "analysis/standard_measurement.h"

namespace sonorik::analysis {

inline bool rate_measurable(std::uint32_t rate_hz) {
  return rate_hz >= kMinStandardRateHz && rate_hz <= Meter::kMaxRateHz;
}

// "rate must be between 3364 and 2822400 Hz"
inline std::string rate_range_text() {
  return "rate must be between " + std::to_string(kMinStandardRateHz) + " and " +
         std::to_string(Meter::kMaxRateHz) + " Hz";
}

// Why `channels` at `rate_hz` cannot be measured ("channel count must be
// between 1 and 64 (got 70)", "rate must be between 3364 and 2822400 Hz (got
// 3000)"), or nothing.
inline std::optional<std::string> unmeasurable_reason(unsigned channels, std::uint32_t rate_hz) {
  if (channels < 1 || channels > Meter::kMaxChannels) {
    return "channel count must be between 1 and " + std::to_string(Meter::kMaxChannels) + " (got " +
           std::to_string(channels) + ")";
  }
  if (!rate_measurable(rate_hz))
    return rate_range_text() + " (got " + std::to_string(rate_hz) + ")";
  return std::nullopt;
}

}  // namespace sonorik::analysis
