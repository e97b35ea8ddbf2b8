#include "analysis/sample_buffer.h"

#include <tbb/scalable_allocator.h>

#if __has_include(<valgrind/valgrind.h>)
#include <valgrind/valgrind.h>
#define SONORIK_VALGRIND_SEEN RUNNING_ON_VALGRIND
#else
#define SONORIK_VALGRIND_SEEN 0
#endif

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define SONORIK_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer) || \
    __has_feature(memory_sanitizer)
#define SONORIK_SANITIZED 1
#endif
#endif

namespace sonorik::analysis::detail {

bool scalable_memory() noexcept {
#ifdef SONORIK_SANITIZED
  return false;
#else
  static const bool scalable = SONORIK_VALGRIND_SEEN == 0;
  return scalable;
#endif
}

void* take_scalable(std::size_t bytes) {
  void* p = scalable_malloc(bytes);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void give_back_scalable(void* p) noexcept { scalable_free(p); }

}  // namespace sonorik::analysis::detail
