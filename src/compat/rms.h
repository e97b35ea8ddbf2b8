// RMS levels computed on the samples: the loudest 50 ms window and the whole
// signal. Neither can fail. All channels are measured together; sums of
// squares run in index order, so results are reproducible bit for bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "compat/audio_data.h"

namespace sonorik::analysis {

inline constexpr double kRmsMaxFloorDb = -150.0;      // rms_max start; silent or empty
inline constexpr double kRmsSilentWindowDb = -300.0;  // a window whose mean square is not > 0
inline constexpr double kRmsAverageSilentDb = -150.0;
inline constexpr double kRmsAverageEmptyDb = -96.0;

// Frames per RMS window: trunc(rate_hz x 0.05), at least 1.
std::size_t rms_window_frames(unsigned long rate_hz);

// Both RMS levels of samples fed in order, block by block (cut anywhere):
// the streaming form of calculate_rms_max and calculate_rms_average, with
// the same results for the same samples.
class RmsScan {
 public:
  RmsScan(std::size_t channels, unsigned long rate_hz);
  void feed(const double* samples, std::size_t count);
  double max_db() const;      // as calculate_rms_max
  double average_db() const;  // as calculate_rms_average

 private:
  std::size_t channels_;
  std::size_t window_;  // samples per window
  double max_ = kRmsMaxFloorDb;
  double window_sum_ = 0.0;
  std::size_t window_fill_ = 0;
  double sum_ = 0.0;
  std::uint64_t count_ = 0;
};

// dB of the loudest of the consecutive, non-overlapping windows of
// rms_window_frames x channels samples (the last may be shorter), never below
// -150.0; -150.0 for no samples or no channels.
double calculate_rms_max(const AudioData& audio);
// dB of the whole signal; -150.0 silent, -96.0 empty.
double calculate_rms_average(const AudioData& audio);

}  // namespace sonorik::analysis
