// EBU R 128 / ITU-R BS.1770 loudness of decoded audio through libebur128.
// Each function returns its value or the meter's creation error ("NoMem" for
// a channel count outside 1..64 or a rate outside 16..2,822,400 Hz). Silence,
// empty audio and unusable readings give the floors: -70.0 LUFS, 0.0 LU.
#pragma once

#include "audio/audio_data.h"
#include "core/error.h"

namespace sonorik::analysis {

inline constexpr double kLoudnessFloorLufs = -70.0;
inline constexpr double kRangeFallbackLu = 0.0;

Result<double> calculate_integrated_loudness(const AudioData& audio);  // LUFS
Result<double> calculate_short_term_loudness(const AudioData& audio);  // LUFS, max at 100 ms steps
Result<double> calculate_momentary_loudness(const AudioData& audio);   // LUFS, max at 100 ms steps
Result<double> calculate_loudness_range(const AudioData& audio);       // LU

}  // namespace sonorik::analysis
