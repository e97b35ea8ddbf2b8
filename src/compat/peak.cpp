#include "compat/peak.h"

#include <tbb/blocked_range.h>
#include <tbb/parallel_reduce.h>

#include <cmath>
#include <functional>

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

double channel_true_peak(const double* s, std::size_t frames, std::size_t stride) {
  if (frames == 0) return 0.0;
  if (frames == 1) {
    double max = 0.0;
    raise_to(max, std::fabs(s[0]));
    return max;
  }
  // Intervals n = 0 .. frames - 2; the positions -1 and `frames` are silence.
  double m[4] = {0.0, 0.0, 0.0, 0.0};
  double y0 = 0.0;
  double y1 = s[0];
  double y2 = s[stride];
  for (std::size_t n = 0; n + 2 < frames; ++n) {
    const double y3 = s[(n + 2) * stride];
    raise_to_interval(m, y0, y1, y2, y3);
    y0 = y1;
    y1 = y2;
    y2 = y3;
  }
  raise_to_interval(m, y0, y1, y2, 0.0);
  raise_to(m[0], std::fabs(y2));  // the last frame
  double max = m[0];
  for (int i = 1; i < 4; ++i) raise_to(max, m[i]);
  return max;
}

Result<double> calculate_true_peak(const AudioData& audio) {
  const std::size_t channels = audio.info.channels;
  const std::vector<double>& samples = audio.samples;
  if (channels == 0 || samples.empty()) return kTruePeakFloorDbfs;
  const std::size_t frames = samples.size() / channels;
  if (frames < 2) {
    double max = 0.0;
    for (double v : samples) raise_to(max, std::fabs(v));
    return db_or_floor(max);
  }
  const double* data = samples.data();
  if (channels == 1) return db_or_floor(channel_true_peak(data, frames, 1));
  const double peak = tbb::parallel_reduce(
      tbb::blocked_range<std::size_t>(0, channels, 1), 0.0,
      [&](const tbb::blocked_range<std::size_t>& r, double max) {
        for (std::size_t k = r.begin(); k != r.end(); ++k) {
          raise_to(max, channel_true_peak(data + k, frames, channels));
        }
        return max;
      },
      [](double a, double b) { return b > a ? b : a; });
  return db_or_floor(peak);
}

}  // namespace sonorik::analysis
