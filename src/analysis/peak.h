// True (inter-sample) peak by 4x Catmull-Rom oversampling per channel, the
// channels reduced with max on the worker pool. Floor: -96.0 dBFS.
#pragma once

#include "audio/audio_data.h"
#include "core/error.h"

namespace sonorik::analysis {

inline constexpr double kTruePeakFloorDbfs = -96.0;

Result<double> calculate_true_peak(const AudioData& audio);  // dBFS; never fails

}  // namespace sonorik::analysis
