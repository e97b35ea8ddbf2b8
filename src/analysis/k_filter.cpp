// Built with -ffp-contract=off (CMakeLists.txt): every product and sum is
// rounded on its own, as in the meter, never fused.
#include "analysis/k_filter.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/simd.h"

namespace sonorik::analysis::detail {

namespace {

using namespace simd;

// Squares of outputs at least this large are normal numbers: below it the
// meter's squares (taken with denormals kept) may differ from ours (taken
// while denormals are flushed), and the block is redone the meter's way.
const double kSmallestExactOutput = std::ldexp(1.0, -511);

// One lane per channel, V vectors of D. Each lane computes exactly the
// meter's per-sample recursion:
//   v0 = x / scale - a1 v1 - a2 v2 - a3 v3 - a4 v4
//   y  = b0 v0 + b1 v1 + b2 v2 + b3 v3 + b4 v4
// With Fused, the squares y * y go to the ring and the running sums, the
// ring's old values they replace go to the old-value sums, and the smallest
// nonzero |y| is returned; otherwise y itself goes to the ring. The ring
// holds R values a frame: every lane's, or (R = 1, one vector) the first
// lane's only, the others read from it as zeros (a one-channel meter's ring,
// filtered on two lanes).
template <class D, std::size_t V, bool Fused, std::size_t R, unsigned Silent = 0>
[[gnu::always_inline]] inline double k_filter(const double* in, std::size_t frames,
                                              unsigned channels, const double* k, double* state,
                                              double* out, const double* back,
                                              double* sums) noexcept {
  constexpr std::size_t kWidth = sizeof(D) / sizeof(double);
  constexpr std::size_t kLanes = kWidth * V;
  const D a1 = D{} + k[0], a2 = D{} + k[1], a3 = D{} + k[2], a4 = D{} + k[3];
  const D b0 = D{} + k[4], b1 = D{} + k[5], b2 = D{} + k[6], b3 = D{} + k[7], b4 = D{} + k[8];
  const D scale = D{} + k[9];
  D s1[V], s2[V], s3[V], s4[V], acc[kRunningSums][V], old_acc[kOldSums + kBackSums][V], smallest[V];
  for (std::size_t v = 0; v < V; ++v) {
    std::memcpy(&s1[v], state + 0 * kLanes + v * kWidth, sizeof(D));
    std::memcpy(&s2[v], state + 1 * kLanes + v * kWidth, sizeof(D));
    std::memcpy(&s3[v], state + 2 * kLanes + v * kWidth, sizeof(D));
    std::memcpy(&s4[v], state + 3 * kLanes + v * kWidth, sizeof(D));
    for (std::size_t r = 0; r < kRunningSums; ++r) {
      std::memcpy(&acc[r][v], sums + r * kLanes + v * kWidth, sizeof(D));
    }
    for (std::size_t r = 0; r < kOldSums + kBackSums; ++r) {
      std::memcpy(&old_acc[r][v], sums + (kRunningSums + r) * kLanes + v * kWidth, sizeof(D));
    }
    smallest[v] = D{} + 1.0;
  }
  for (std::size_t f = 0; f < frames; ++f) {
    const double* frame = in + f * channels;
    D x[V];
    if (channels == kLanes) {
      for (std::size_t v = 0; v < V; ++v) std::memcpy(&x[v], frame + v * kWidth, sizeof(D));
    } else {
      // Built in registers, lanes past the channels zero: a vector loaded
      // from narrower stores just made would wait for them (a stall longer
      // than the filter's own arithmetic on mono).
      for (std::size_t v = 0; v < V; ++v) {
        D lane{};
        for (std::size_t w = 0; w < kWidth; ++w) {
          if (v * kWidth + w < channels) lane[w] = frame[v * kWidth + w];
        }
        x[v] = lane;
      }
    }
    for (std::size_t v = 0; v < V; ++v) {
      const D v0 = x[v] / scale - a1 * s1[v] - a2 * s2[v] - a3 * s3[v] - a4 * s4[v];
      const D y = b0 * v0 + b1 * s1[v] + b2 * s2[v] + b3 * s3[v] + b4 * s4[v];
      s4[v] = s3[v];
      s3[v] = s2[v];
      s2[v] = s1[v];
      s1[v] = v0;
      if constexpr (Fused) {
        const D q = y * y;
        D old{}, behind{};  // both read before the square may replace either
        if constexpr ((Silent & kOldSilent) == 0) {
          if constexpr (R == kLanes) {
            std::memcpy(&old, out + f * kLanes + v * kWidth, sizeof(D));
          } else {
            old[0] = out[f];
          }
          for (std::size_t r = 0; r < kOldSums; ++r) old_acc[r][v] += old;
        }
        if constexpr ((Silent & kBackSilent) == 0) {
          if constexpr (R == kLanes) {
            std::memcpy(&behind, back + f * kLanes + v * kWidth, sizeof(D));
          } else {
            behind[0] = back[f];
          }
          for (std::size_t r = kOldSums; r < kOldSums + kBackSums; ++r) old_acc[r][v] += behind;
        }
        if constexpr (R == kLanes) {
          std::memcpy(out + f * kLanes + v * kWidth, &q, sizeof(D));
        } else {
          out[f] = q[0];
        }
        for (std::size_t r = 0; r < kRunningSums; ++r) acc[r][v] += q;
        D ay = y < 0.0 ? -y : y;
        ay = ay == 0.0 ? D{} + 1.0 : ay;
        smallest[v] = ay < smallest[v] ? ay : smallest[v];
      } else if constexpr (R == kLanes) {
        std::memcpy(out + f * kLanes + v * kWidth, &y, sizeof(D));
      } else {
        out[f] = y[0];
      }
    }
  }
  double least = 1.0;
  for (std::size_t v = 0; v < V; ++v) {
    std::memcpy(state + 0 * kLanes + v * kWidth, &s1[v], sizeof(D));
    std::memcpy(state + 1 * kLanes + v * kWidth, &s2[v], sizeof(D));
    std::memcpy(state + 2 * kLanes + v * kWidth, &s3[v], sizeof(D));
    std::memcpy(state + 3 * kLanes + v * kWidth, &s4[v], sizeof(D));
    for (std::size_t r = 0; r < kRunningSums; ++r) {
      std::memcpy(sums + r * kLanes + v * kWidth, &acc[r][v], sizeof(D));
    }
    if constexpr (Fused) {
      for (std::size_t r = 0; r < kOldSums + kBackSums; ++r) {
        std::memcpy(sums + (kRunningSums + r) * kLanes + v * kWidth, &old_acc[r][v], sizeof(D));
      }
    }
    for (std::size_t w = 0; w < kWidth; ++w) least = std::min(least, smallest[v][w]);
  }
  return least;
}

// Filters into squares and running sums; a block whose outputs come near
// the denormal range is redone: filtered with denormals flushed as before,
// then squared and summed with denormals kept, as the meter does.
template <class D, std::size_t V, std::size_t R = sizeof(D) / sizeof(double) * V>
[[gnu::always_inline]] inline void k_filter_exact(const double* in, std::size_t frames,
                                                  unsigned channels, const double* k, double* state,
                                                  double* squares, const double* back,
                                                  double* sums, unsigned silent) noexcept {
  constexpr std::size_t kLanes = sizeof(D) / sizeof(double) * V;
  double saved_state[4 * kLanes];
  double saved_sums[kRunningSums * kLanes];
  std::memcpy(saved_state, state, sizeof saved_state);
  std::memcpy(saved_sums, sums, sizeof saved_sums);
  double least = 0.0;
  {
    const FlushToZero flush;
    switch (silent & (kOldSilent | kBackSilent)) {
      case 0:
        least = k_filter<D, V, true, R, 0>(in, frames, channels, k, state, squares, back, sums);
        break;
      case kOldSilent:
        least = k_filter<D, V, true, R, kOldSilent>(in, frames, channels, k, state, squares, back,
                                                    sums);
        break;
      case kBackSilent:
        least = k_filter<D, V, true, R, kBackSilent>(in, frames, channels, k, state, squares,
                                                     back, sums);
        break;
      default:
        least = k_filter<D, V, true, R, kOldSilent | kBackSilent>(in, frames, channels, k, state,
                                                                  squares, back, sums);
    }
  }
  if (least >= kSmallestExactOutput) return;
  // The old-value and back sums stand: the pass took them from the ring as
  // it was, which it has overwritten since (the squares it wrote are redone).
  std::memcpy(state, saved_state, sizeof saved_state);
  std::memcpy(sums, saved_sums, kRunningSums * kLanes * sizeof(double));
  {
    const FlushToZero flush;
    k_filter<D, V, false, R>(in, frames, channels, k, state, squares, back, sums);
  }
  for (std::size_t f = 0; f < frames; ++f) {
    for (std::size_t l = 0; l < R; ++l) {
      double& q = squares[f * R + l];
      q = q * q;
      for (std::size_t r = 0; r < kRunningSums; ++r) sums[r * kLanes + l] += q;
    }
  }
}

template <class D, std::size_t V, std::size_t R = sizeof(D) / sizeof(double) * V>
void k_filter_base(const double* in, std::size_t frames, unsigned channels, const double* k,
                   double* state, double* squares, const double* back, double* sums,
                   unsigned silent) noexcept {
  k_filter_exact<D, V, R>(in, frames, channels, k, state, squares, back, sums, silent);
}

#if SONORIK_SIMD_WIDE
template <std::size_t V>
[[gnu::target("avx2")]] void k_filter_avx2(const double* in, std::size_t frames, unsigned channels,
                                           const double* k, double* state, double* squares,
                                           const double* back, double* sums,
                                           unsigned silent) noexcept {
  k_filter_exact<Double4, V>(in, frames, channels, k, state, squares, back, sums, silent);
}
[[gnu::target("avx512f")]] void k_filter_avx512(const double* in, std::size_t frames,
                                                unsigned channels, const double* k, double* state,
                                                double* squares, const double* back, double* sums,
                                                unsigned silent) noexcept {
  k_filter_exact<Double8, 1>(in, frames, channels, k, state, squares, back, sums, silent);
}
#endif

}  // namespace

KFilterFunction* choose_k_filter(unsigned channels, unsigned max_bits, unsigned& lanes,
                                 unsigned& ring_lanes) {
  const unsigned bits = widest_vector_bits(max_bits);
  [[maybe_unused]] const bool avx512 = bits >= 512, avx2 = bits >= 256;
  if (channels <= 2) {
    lanes = 2;
    ring_lanes = channels;
    return channels == 1 ? &k_filter_base<Double2, 1, 1> : &k_filter_base<Double2, 1>;
  }
  ring_lanes = channels <= 4 ? 4 : 8;
  if (channels <= 4) {
    lanes = 4;
#if SONORIK_SIMD_WIDE
    if (avx2) return &k_filter_avx2<1>;
#endif
    return &k_filter_base<Double2, 2>;
  }
  lanes = 8;
#if SONORIK_SIMD_WIDE
  if (avx512) return &k_filter_avx512;
  if (avx2) return &k_filter_avx2<2>;
#endif
  return &k_filter_base<Double2, 4>;
}

}  // namespace sonorik::analysis::detail
