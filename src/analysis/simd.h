// What the vectorised filters (TruePeakFilter, KMeter) share: the compiler's
// vector types (lane-wise IEEE operations, each rounded on its own) and the
// flush-to-zero mode the meter library filters under.
#pragma once

// Whether variants for wider vectors (AVX2, AVX-512) are compiled.
#if defined(__GNUC__) && defined(__x86_64__)
#define SONORIK_SIMD_WIDE 1
#else
#define SONORIK_SIMD_WIDE 0
#endif

#if defined(__SSE2_MATH__) || defined(_M_X64)
#include <xmmintrin.h>
#define SONORIK_FLUSH_TO_ZERO 1
#endif

namespace sonorik::analysis::simd {

typedef double Double2 __attribute__((vector_size(16)));
typedef float Float2 __attribute__((vector_size(8)));
typedef double Double4 __attribute__((vector_size(32)));
typedef float Float4 __attribute__((vector_size(16)));
typedef double Double8 __attribute__((vector_size(64)));
typedef float Float8 __attribute__((vector_size(32)));

// The widest vectors (512, 256 or 128 bits) this processor runs, of at
// most `max_bits`.
inline unsigned widest_vector_bits(unsigned max_bits = 512) noexcept {
#if SONORIK_SIMD_WIDE
  __builtin_cpu_init();
  if (max_bits >= 512 && __builtin_cpu_supports("avx512f")) return 512;
  if (max_bits >= 256 && __builtin_cpu_supports("avx2")) return 256;
#else
  (void)max_bits;
#endif
  return 128;
}

// While alive, results below the normal range become zero, as in the meter
// library while it filters.
class FlushToZero {
 public:
#ifdef SONORIK_FLUSH_TO_ZERO
  FlushToZero() noexcept : saved_(_mm_getcsr()) { _mm_setcsr(saved_ | _MM_FLUSH_ZERO_ON); }
  ~FlushToZero() { _mm_setcsr(saved_); }
  FlushToZero(const FlushToZero&) = delete;
  FlushToZero& operator=(const FlushToZero&) = delete;

 private:
  unsigned saved_;
#endif
};

}  // namespace sonorik::analysis::simd
