#include "compat/rms.h"

#include <algorithm>
#include <cmath>

namespace sonorik::analysis {

namespace {

double sum_of_squares(const double* s, std::size_t n) {
  double sum = 0.0;
  for (std::size_t i = 0; i < n; ++i) sum += s[i] * s[i];
  return sum;
}

}  // namespace

std::size_t rms_window_frames(unsigned long rate_hz) {
  const auto w = static_cast<std::size_t>(static_cast<double>(rate_hz) * 0.05);
  return w == 0 ? 1 : w;
}

double calculate_rms_max(const AudioData& audio) {
  const std::size_t channels = audio.info.channels;
  const std::vector<double>& samples = audio.samples;
  if (channels == 0 || samples.empty()) return kRmsMaxFloorDb;
  const std::size_t window = rms_window_frames(audio.info.sample_rate) * channels;
  double max = kRmsMaxFloorDb;
  for (std::size_t start = 0; start < samples.size(); start += window) {
    const std::size_t n = std::min(window, samples.size() - start);
    const double ms = sum_of_squares(samples.data() + start, n) / static_cast<double>(n);
    const double level = ms > 0.0 ? 20.0 * std::log10(std::sqrt(ms)) : kRmsSilentWindowDb;
    if (level > max) max = level;
  }
  return max;
}

double calculate_rms_average(const AudioData& audio) {
  const std::vector<double>& samples = audio.samples;
  if (samples.empty()) return kRmsAverageEmptyDb;
  const double ms =
      sum_of_squares(samples.data(), samples.size()) / static_cast<double>(samples.size());
  return ms > 0.0 ? 20.0 * std::log10(std::sqrt(ms)) : kRmsAverageSilentDb;
}

}  // namespace sonorik::analysis
