// Built with -ffp-contract=off (CMakeLists.txt), as the meter sums.
#include "analysis/gating.h"

#include <algorithm>
#include <cmath>
#include <cstddef>

#include "analysis/block_energies.h"

namespace sonorik::analysis {

namespace {

double relative_gate_factor() { return std::pow(10.0, -10.0 / 10.0); }

// The relative threshold's energy (0 without blocks), in the library's order.
double relative_threshold(std::span<const double> blocks) {
  if (blocks.empty()) return 0.0;
  double threshold = 0.0;
  for (double z : blocks) threshold += z;
  threshold /= static_cast<double>(blocks.size());
  threshold *= relative_gate_factor();
  return threshold;
}

}  // namespace

double absolute_gate_energy() { return std::pow(10.0, (-70.0 + 0.691) / 10.0); }

double loudness_of_energy(double energy) {
  return 10 * (std::log(energy) / std::log(10.0)) - 0.691;
}

double gated_integrated_lufs(std::span<const double> block_energies) {
  const double threshold = relative_threshold(block_energies);
  if (block_energies.empty()) return -HUGE_VAL;
  double gated = 0.0;
  std::size_t above = 0;
  for (double z : block_energies) {
    if (z >= threshold) {
      ++above;
      gated += z;
    }
  }
  if (above == 0) return -HUGE_VAL;
  const double energy = gated / static_cast<double>(above);
  if (energy == 0.0) return -HUGE_VAL;
  return loudness_of_energy(energy);
}

double gated_relative_gate_lufs(std::span<const double> block_energies) {
  if (block_energies.empty()) return -70.0;
  return loudness_of_energy(relative_threshold(block_energies));
}

LoudnessRange gated_loudness_range(std::vector<double> energies) {
  LoudnessRange out;
  if (energies.empty()) return out;
  double mean = 0.0;
  for (double e : energies) mean += e;
  mean /= static_cast<double>(energies.size());
  const double relative = mean * 0.01;  // -20 LU
  std::erase_if(energies, [relative](double e) { return !(e >= relative); });
  if (energies.empty()) return out;
  std::sort(energies.begin(), energies.end());
  const auto percentile = [&energies](double p) {
    const auto rank = static_cast<std::size_t>(static_cast<double>(energies.size()) * p + 0.5);
    return loudness_of(energies[rank > 0 ? rank - 1 : 0]);
  };
  out.low_lufs = percentile(0.10);
  out.high_lufs = percentile(0.95);
  out.range_lu = *out.high_lufs - *out.low_lufs;
  return out;
}

}  // namespace sonorik::analysis
