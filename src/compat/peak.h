// True (inter-sample) peak by 4x Catmull-Rom oversampling per channel, the
// channels reduced with max on the worker pool. Floor: -96.0 dBFS.
#pragma once

#include <cstddef>

#include "compat/audio_data.h"
#include "core/error.h"

namespace sonorik::analysis {

inline constexpr double kTruePeakFloorDbfs = -96.0;

// dBFS; never fails. Zero channels or no samples give -96.0. With fewer than
// two whole frames the result is the plain sample peak of every sample;
// otherwise each channel is oversampled 4x (the three points t = 0.25, 0.5,
// 0.75 between neighbouring frames, silence beyond both ends) and a trailing
// incomplete frame is ignored. NaN samples never become the maximum.
Result<double> calculate_true_peak(const AudioData& audio);

// The 4x-oversampled absolute peak (linear) of one channel of `frames` frames
// with the given interleave stride; 0.0 for silence.
double channel_true_peak(const double* samples, std::size_t frames, std::size_t stride);

}  // namespace sonorik::analysis
