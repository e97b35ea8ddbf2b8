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
#pragma once

#include <span>

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

}  // namespace sonorik::analysis
