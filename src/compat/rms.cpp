#include "compat/rms.h"

#include <algorithm>
#include <cmath>

namespace sonorik::analysis {

namespace {

// Adds the squares of s[0..n) to `sum`, in index order.
double add_squares(double sum, const double* s, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) sum += s[i] * s[i];
  return sum;
}

double window_level(double sum, std::size_t n) {
  const double ms = sum / static_cast<double>(n);
  return ms > 0.0 ? 20.0 * std::log10(std::sqrt(ms)) : kRmsSilentWindowDb;
}

}  // namespace

std::size_t rms_window_frames(unsigned long rate_hz) {
  const auto w = static_cast<std::size_t>(static_cast<double>(rate_hz) * 0.05);
  return w == 0 ? 1 : w;
}

RmsScan::RmsScan(std::size_t channels, unsigned long rate_hz)
    : channels_(channels),
      window_(rms_window_frames(rate_hz) * std::max<std::size_t>(channels, 1)) {}

void RmsScan::feed(const double* samples, std::size_t count) {
  // The whole-signal sum and the window sums each run in index order from
  // 0.0, whatever the cut, so they equal one pass over all samples.
  sum_ = add_squares(sum_, samples, count);
  count_ += count;
  while (count > 0) {
    const std::size_t n = std::min(window_ - window_fill_, count);
    window_sum_ = add_squares(window_sum_, samples, n);
    window_fill_ += n;
    samples += n;
    count -= n;
    if (window_fill_ == window_) {
      max_ = std::max(max_, window_level(window_sum_, window_fill_));
      window_sum_ = 0.0;
      window_fill_ = 0;
    }
  }
}

double RmsScan::max_db() const {
  if (channels_ == 0 || count_ == 0) return kRmsMaxFloorDb;
  if (window_fill_ == 0) return max_;
  return std::max(max_, window_level(window_sum_, window_fill_));  // the last, shorter window
}

double RmsScan::average_db() const {
  if (count_ == 0) return kRmsAverageEmptyDb;
  const double ms = sum_ / static_cast<double>(count_);
  return ms > 0.0 ? 20.0 * std::log10(std::sqrt(ms)) : kRmsAverageSilentDb;
}

double calculate_rms_max(const AudioData& audio) {
  RmsScan scan(audio.info.channels, audio.info.sample_rate);
  scan.feed(audio.samples.data(), audio.samples.size());
  return scan.max_db();
}

double calculate_rms_average(const AudioData& audio) {
  RmsScan scan(audio.info.channels, audio.info.sample_rate);
  scan.feed(audio.samples.data(), audio.samples.size());
  return scan.average_db();
}

}  // namespace sonorik::analysis
