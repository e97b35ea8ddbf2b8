// The K-weighting kernels of KMeter (k_meter.h): one fourth-order
// recursion per channel, a vector lane per channel, in the meter library's
// order of operations, with the running window sums kept as it filters.
#pragma once

#include <cstddef>

namespace sonorik::analysis::detail {

// Filters `frames` interleaved frames of `channels` channels into the ring
// (squared outputs, ring_lanes per frame: see choose_k_filter), adds every
// square to each of the running sums (kRunningSums x lanes), every ring
// value it overwrites to
// each of the old-value sums (kOldSums x lanes, after the running sums), and
// every value of `back` (the ring 400 ms behind `squares`, read before any
// square replaces it) to each of the back sums (kBackSums x lanes, last).
// `state` holds 4 x lanes past values; `coefficients` holds a1..a4, b0..b4
// and the input scale.
inline constexpr std::size_t kRunningSums = 6;
inline constexpr std::size_t kOldSums = 2;
inline constexpr std::size_t kBackSums = 3;
inline constexpr std::size_t kAllSums = kRunningSums + kOldSums + kBackSums;
// `silent` says what is silence (frames never written) and so not read:
// kOldSilent, the ring frames the squares replace; kBackSilent, `back`
// (which may then be null). Their zeros would leave every sum as it is.
inline constexpr unsigned kOldSilent = 1;
inline constexpr unsigned kBackSilent = 2;
using KFilterFunction = void(const double* in, std::size_t frames, unsigned channels,
                             const double* coefficients, double* state, double* squares,
                             const double* back, double* sums, unsigned silent) noexcept;

// The widest kernel for `channels` (1 to 8) this processor runs, in vectors
// of at most `max_bits`; sets `lanes` to its lane count (2, 4 or 8: the
// values a row of `state` and of `sums` holds) and `ring_lanes` to the
// values a frame of the ring, `squares` and `back` holds (`lanes`, or 1 for
// one channel). Every kernel gives the same results.
KFilterFunction* choose_k_filter(unsigned channels, unsigned max_bits, unsigned& lanes,
                                 unsigned& ring_lanes);

}  // namespace sonorik::analysis::detail
