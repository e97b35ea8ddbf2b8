// Metric names both the report fields and the measures a caller can request.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace sonorik {

enum class Metric : std::uint8_t {
  file_name = 0,
  file_name_ext = 1,
  full_path = 2,
  sample_rate = 3,
  bit_depth = 4,
  channels = 5,
  total_time = 6,
  duration = 7,
  integrated_loudness = 8,  // LUFS
  short_term_loudness = 9,  // LUFS
  momentary_loudness = 10,  // LUFS
  loudness_range = 11,      // LU
  true_peak = 12,           // dBFS
  rms_max = 13,             // dB
  rms_average = 14,         // dB
  rms_min = 15,             // dB
  sample_peak = 16,         // dBFS
};

using MetricList = std::vector<Metric>;

// The member's name, which is also the report field name.
std::string_view metric_name(Metric m);

// The seven measure flags, in the fixed order every entry point uses.
struct MeasureFlags {
  bool integrated_loudness = false;
  bool short_term_loudness = false;
  bool momentary_loudness = false;
  bool loudness_range = false;
  bool true_peak = false;
  bool rms_max = false;
  bool rms_average = false;

  static MeasureFlags all() { return {true, true, true, true, true, true, true}; }
};

// The request list built from the flags: 8..14 in order, each only when set.
MetricList metrics_from_flags(const MeasureFlags& flags);

}  // namespace sonorik
