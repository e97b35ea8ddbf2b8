// True (inter-sample) peak by 4x Catmull-Rom oversampling per channel, the
// channels reduced with max on the worker pool. Floor: -96.0 dBFS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "compat/audio_data.h"
#include "core/error.h"

namespace sonorik::analysis {

inline constexpr double kTruePeakFloorDbfs = -96.0;

// The true peak of audio fed in order, block by block: the streaming form of
// calculate_true_peak, with the same result for the same samples however
// they are cut. `channels` and `total_samples` (all samples, a trailing
// incomplete frame included) are known from the start, because audio of
// fewer than two whole frames is measured by its plain sample peak.
class TruePeakScan {
 public:
  TruePeakScan(std::size_t channels, std::uint64_t total_samples);

  // Feeds the next samples, interleaved. Every block but the last holds
  // whole frames; the samples of a trailing incomplete frame count only
  // for the plain sample peak.
  void feed(const double* samples, std::size_t count);

  // dBFS, as calculate_true_peak gives it (-96.0 with no channels).
  double dbfs() const;

 private:
  // One channel's interpolation state: the last three samples and the
  // largest values so far.
  struct Channel {
    double m[4] = {0.0, 0.0, 0.0, 0.0};
    double y0 = 0.0, y1 = 0.0, y2 = 0.0;
    std::uint64_t seen = 0;
    void feed(const double* s, std::size_t frames, std::size_t stride);
    double peak() const;
  };
  std::size_t channels_;
  bool plain_;  // fewer than two whole frames: the plain sample peak
  double plain_peak_ = 0.0;
  std::vector<Channel> state_;
};

// dBFS; never fails. Zero channels or no samples give -96.0. With fewer than
// two whole frames the result is the plain sample peak of every sample;
// otherwise each channel is oversampled 4x (the three points t = 0.25, 0.5,
// 0.75 between neighbouring frames, silence beyond both ends) and a trailing
// incomplete frame is ignored. NaN samples never become the maximum.
Result<double> calculate_true_peak(const AudioData& audio);

}  // namespace sonorik::analysis
