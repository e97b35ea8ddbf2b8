// Momentary and short-term loudness composed from 100 ms block readings.
// Where a 100 ms step is exactly one of the meter's internal blocks, reading
// only the last block per step and averaging block energies here gives the
// meter's own 400 ms and 3 s windows without re-summing them at every step.
#pragma once

#include <array>
#include <cmath>
#include <cstddef>

namespace sonorik::analysis {

// The meter's conversions between mean-square energy and LUFS.
inline double energy_of(double lufs) {
  return std::isfinite(lufs) ? std::pow(10.0, (lufs + 0.691) / 10.0) : 0.0;
}
inline double loudness_of(double energy) {
  return energy > 0.0 ? 10.0 * std::log10(energy) - 0.691 : -HUGE_VAL;
}

// The energies of the last 30 blocks of 100 ms; blocks before the start are
// silence, as in the meter's own window.
class BlockEnergies {
 public:
  static constexpr std::size_t kMomentaryBlocks = 4;   // 400 ms
  static constexpr std::size_t kShortTermBlocks = 30;  // 3 s

  void push(double energy) {
    ring_[next_] = energy;
    next_ = (next_ + 1) % kShortTermBlocks;
  }
  double mean_of_last(std::size_t n) const {
    double sum = 0.0;
    for (std::size_t i = 1; i <= n; ++i)
      sum += ring_[(next_ + kShortTermBlocks - i) % kShortTermBlocks];
    return sum / static_cast<double>(n);
  }
  double momentary_lufs() const { return loudness_of(mean_of_last(kMomentaryBlocks)); }
  double short_term_lufs() const { return loudness_of(mean_of_last(kShortTermBlocks)); }

 private:
  std::array<double, kShortTermBlocks> ring_{};
  std::size_t next_ = 0;
};

}  // namespace sonorik::analysis
