// The engine's large per-programme buffers (the blocks of samples, the
// loudness meter's ring) come from oneTBB's scalable allocator, which keeps
// freed memory for the next programme: measuring many short files, one
// after another or side by side, then reuses it, where the system allocator
// may hand it back to the system and take it again, a page fault per 4 KiB.
// Growing one leaves the new values unset (they are written before they are
// read); assign() or resize(n, 0.0) sets them.
#pragma once

#include <tbb/scalable_allocator.h>

#include <new>
#include <utility>
#include <vector>

namespace sonorik::analysis {

template <class T>
struct UnsetAllocator : tbb::scalable_allocator<T> {
  using tbb::scalable_allocator<T>::scalable_allocator;
  template <class U>
  struct rebind {
    using other = UnsetAllocator<U>;
  };
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
};

using SampleBuffer = std::vector<double, UnsetAllocator<double>>;

}  // namespace sonorik::analysis
