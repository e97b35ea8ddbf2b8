// The engine's large per-programme buffers (the blocks of samples, the
// loudness meter's ring) come from oneTBB's scalable allocator, which keeps
// freed memory for the next programme: measuring many short files, one
// after another or side by side, then reuses it, where the system allocator
// may hand it back to the system and take it again, a page fault per 4 KiB.
// Under the sanitizers or valgrind they come from the system allocator,
// whose blocks those tools see (bounds, use after free).
//
// Growing one leaves the new values unset (they are written before they are
// read); assign() or resize(n, 0.0) sets them.
#pragma once

#include <cstddef>
#include <memory>
#include <new>
#include <utility>
#include <vector>

namespace sonorik::analysis {

namespace detail {
// Whether the scalable allocator is used (the same answer all process long).
bool scalable_memory() noexcept;
void* take_scalable(std::size_t bytes);
void give_back_scalable(void* p) noexcept;
}  // namespace detail

template <class T>
struct UnsetAllocator {
  using value_type = T;
  UnsetAllocator() = default;
  template <class U>
  UnsetAllocator(const UnsetAllocator<U>&) noexcept {}  // NOLINT

  T* allocate(std::size_t n) {
    if (!detail::scalable_memory()) return std::allocator<T>().allocate(n);
    return static_cast<T*>(detail::take_scalable(n * sizeof(T)));
  }
  void deallocate(T* p, std::size_t n) noexcept {
    if (!detail::scalable_memory()) return std::allocator<T>().deallocate(p, n);
    detail::give_back_scalable(p);
  }
  template <class U>
  void construct(U* p) noexcept {
    ::new (static_cast<void*>(p)) U;
  }
  template <class U, class... Args>
  void construct(U* p, Args&&... args) {
    ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
  }
  friend bool operator==(const UnsetAllocator&, const UnsetAllocator&) noexcept { return true; }
};

using SampleBuffer = std::vector<double, UnsetAllocator<double>>;

}  // namespace sonorik::analysis
