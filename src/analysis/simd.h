// What the vectorised filters (TruePeakFilter, KMeter) share: the compiler's
// vector types (lane-wise IEEE operations, each rounded on its own) and the
// flush-to-zero mode the meter library filters under.
#pragma once

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
