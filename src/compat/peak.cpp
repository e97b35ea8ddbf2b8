#include "compat/peak.h"

#include <tbb/parallel_for.h>

#include <cmath>

namespace sonorik::analysis {

namespace {

// Replaces only when strictly greater, so a NaN never becomes the maximum.
inline void raise_to(double& max, double v) {
  if (v > max) max = v;
}

// Raises m[0] to |y1| and m[1..3] to the three Catmull-Rom points inside the
// interval y1..y2. Separate accumulators keep the dependency chains short;
// max is order-independent, so the result is the same as one accumulator.
inline void raise_to_interval(double* m, double y0, double y1, double y2, double y3) {
  const double a3 = -0.5 * y0 + 1.5 * y1 - 1.5 * y2 + 0.5 * y3;
  const double a2 = y0 - 2.5 * y1 + 2 * y2 - 0.5 * y3;
  const double a1 = 0.5 * y2 - 0.5 * y0;
  raise_to(m[0], std::fabs(y1));
  raise_to(m[1], std::fabs(y1 + (a1 + (a2 + a3 * 0.25) * 0.25) * 0.25));
  raise_to(m[2], std::fabs(y1 + (a1 + (a2 + a3 * 0.5) * 0.5) * 0.5));
  raise_to(m[3], std::fabs(y1 + (a1 + (a2 + a3 * 0.75) * 0.75) * 0.75));
}

double db_or_floor(double peak) {
  return peak > 0.0 ? 20.0 * std::log10(peak) : kTruePeakFloorDbfs;
}

}  // namespace

// Intervals n = 0 .. frames - 2 of the whole channel, each taken once its
// fourth point y3 = s[n + 2] is known; the position -1 is silence (y0 starts
// at 0.0) and so is the position past the end (see peak()). `seen` counts
// the first two samples only.
void TruePeakScan::Channel::feed(const double* s, std::size_t frames, std::size_t stride) {
  std::size_t i = 0;
  for (; i < frames && seen < 2; ++i, ++seen) (seen == 0 ? y1 : y2) = s[i * stride];
  for (; i < frames; ++i) {
    const double y3 = s[i * stride];
    raise_to_interval(m, y0, y1, y2, y3);
    y0 = y1;
    y1 = y2;
    y2 = y3;
  }
}

double TruePeakScan::Channel::peak() const {
  if (seen == 0) return 0.0;
  double max = 0.0;
  if (seen == 1) {
    raise_to(max, std::fabs(y1));
    return max;
  }
  double last[4] = {m[0], m[1], m[2], m[3]};
  raise_to_interval(last, y0, y1, y2, 0.0);
  raise_to(last[0], std::fabs(y2));  // the last frame
  max = last[0];
  for (int k = 1; k < 4; ++k) raise_to(max, last[k]);
  return max;
}

TruePeakScan::TruePeakScan(std::size_t channels, std::uint64_t total_samples)
    : channels_(channels),
      plain_(channels == 0 || total_samples / channels < 2),
      state_(plain_ ? 0 : channels) {}

void TruePeakScan::feed(const double* samples, std::size_t count) {
  if (plain_) {
    for (std::size_t i = 0; i < count; ++i) raise_to(plain_peak_, std::fabs(samples[i]));
    return;
  }
  const std::size_t frames = count / channels_;
  if (frames == 0) return;
  if (channels_ == 1) {
    state_[0].feed(samples, frames, 1);
    return;
  }
  tbb::parallel_for(std::size_t{0}, channels_,
                    [&](std::size_t k) { state_[k].feed(samples + k, frames, channels_); });
}

double TruePeakScan::dbfs() const {
  if (channels_ == 0) return kTruePeakFloorDbfs;
  if (plain_) return db_or_floor(plain_peak_);
  double peak = 0.0;
  for (const Channel& c : state_) raise_to(peak, c.peak());
  return db_or_floor(peak);
}

Result<double> calculate_true_peak(const AudioData& audio) {
  const std::vector<double>& samples = audio.samples;
  TruePeakScan scan(audio.info.channels, samples.size());
  scan.feed(samples.data(), samples.size());
  return scan.dbfs();
}

}  // namespace sonorik::analysis
