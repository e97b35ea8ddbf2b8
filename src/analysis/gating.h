// Integrated loudness from the 400 ms gating blocks of a meter, by the
// meter library's two-stage gate and its own arithmetic (every reading
// equal, bit for bit, to the library's).
//
// A gating block's energy is the channel-weighted mean square of 400 ms of
// K-weighted audio; a block is kept when its energy reaches the absolute
// gate (-70 LUFS). Lists of kept blocks are what KMeter keeps and what
// EngineResult::gating_block_energies hands out.
//
// Several programmes measured as one (album loudness): concatenate their
// lists in programme order and gate the whole; the reading equals
// ebur128_loudness_global_multiple over the programmes' meters in that order.
//
// Loudness range (EBU Tech 3342) is gated alike from short-term readings:
// those at or above the absolute gate, then those at or above 20 LU below
// their mean energy; the range is the distance from the 10th to the 95th
// percentile of what passes. Pooling programmes: concatenate their kept
// readings.
#pragma once

#include <optional>
#include <span>
#include <vector>

namespace sonorik::analysis {

// The absolute gate as an energy: 10^((-70 + 0.691) / 10).
double absolute_gate_energy();

// The library's conversion: 10 (ln e / ln 10) - 0.691 (LUFS). Not
// loudness_of (block_energies.h), which rounds differently.
double loudness_of_energy(double energy);

// Integrated loudness of the kept blocks `block_energies` (LUFS; -inf when
// no block passes both gates).
double gated_integrated_lufs(std::span<const double> block_energies);

// The relative gate of those blocks (LUFS; -70.0 when there is none).
double gated_relative_gate_lufs(std::span<const double> block_energies);

struct LoudnessRange {
  double range_lu = 0.0;           // high - low; 0.0 when no reading passes
  std::optional<double> low_lufs;  // absent when no reading passes
  std::optional<double> high_lufs;
};

// The loudness range of short-term readings given as the energies
// (block_energies.h energy_of) of those at or above the absolute gate, in
// any order. Percentile p of the n readings that pass the relative gate is
// the reading of rank round(n p) (from 1, halves rounded up; at least 1) in
// ascending order: the lowest reading with n p readings, rounded, at or
// below it. In LUFS by block_energies.h loudness_of.
LoudnessRange gated_loudness_range(std::vector<double> energies);

}  // namespace sonorik::analysis
