#include "compat/buffer_pool.h"

#include <array>
#include <exception>
#include <mutex>
#include <utility>

namespace sonorik::detail {
namespace {

// A fixed ring of slots: nothing done under the lock allocates or throws.
struct BufferPool {
  std::mutex mutex;
  std::array<std::vector<double>, kBufferPoolMaxLists> slots;
  std::size_t head = 0;
  std::size_t count = 0;
  bool broken = false;
};

// Created on first use and never destroyed, so that a load running while the
// process exits never meets a destroyed pool.
BufferPool& pool() {
  static BufferPool* const instance = new BufferPool;
  return *instance;
}

// Marks the pool broken if an exception leaves the locked region.
class BreakOnUnwind {
 public:
  explicit BreakOnUnwind(BufferPool& p) : pool_(p), entered_(std::uncaught_exceptions()) {}
  ~BreakOnUnwind() {
    if (std::uncaught_exceptions() > entered_) pool_.broken = true;
  }
  BreakOnUnwind(const BreakOnUnwind&) = delete;
  BreakOnUnwind& operator=(const BreakOnUnwind&) = delete;

 private:
  BufferPool& pool_;
  int entered_;
};

}  // namespace

std::vector<double> buffer_pool_take(std::size_t min_capacity_samples) {
  BufferPool& p = pool();
  for (;;) {
    std::vector<double> list;
    {
      std::lock_guard<std::mutex> lock(p.mutex);
      BreakOnUnwind guard(p);
      if (p.broken || p.count == 0) return {};
      list = std::move(p.slots[p.head]);
      p.head = (p.head + 1) % kBufferPoolMaxLists;
      --p.count;
    }
    if (list.capacity() >= min_capacity_samples) return list;
    // Too small: released here, outside the lock, and the next one is taken.
  }
}

bool buffer_pool_give(std::vector<double> list) {
  if (list.capacity() > kBufferPoolMaxCapacitySamples) return false;
  list.clear();
  BufferPool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  BreakOnUnwind guard(p);
  if (p.broken || p.count >= kBufferPoolMaxLists) return false;  // released on return
  p.slots[(p.head + p.count) % kBufferPoolMaxLists] = std::move(list);
  ++p.count;
  return true;
}

std::size_t buffer_pool_size() {
  BufferPool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.count;
}

void buffer_pool_clear() {
  BufferPool& p = pool();
  std::array<std::vector<double>, kBufferPoolMaxLists> released;
  {
    std::lock_guard<std::mutex> lock(p.mutex);
    for (std::size_t i = 0; i < kBufferPoolMaxLists; ++i) released[i] = std::move(p.slots[i]);
    p.head = 0;
    p.count = 0;
  }
}

bool buffer_pool_is_broken() {
  BufferPool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  return p.broken;
}

void buffer_pool_set_broken(bool broken) {
  BufferPool& p = pool();
  std::lock_guard<std::mutex> lock(p.mutex);
  p.broken = broken;
}

}  // namespace sonorik::detail
