// Reading a mapped file that shrinks underneath. A page of a shared mapping
// that lies wholly past the file's current end raises SIGBUS when touched, which
// would kill the interpreter. Each mapping registers its address range here;
// one process-wide SIGBUS handler maps a private zero page over a faulting
// page that lies inside a registered range, marks that range as damaged and
// lets the read go on (it reads zeros). The reader asks `damaged()` after each
// block and reports the file as changed. A fault outside every registered
// range goes to the handler that was installed before ours (or ends the
// process as it would have).
//
// The handler is (re)installed whenever a range is registered, so it stays in
// front of a handler installed later (faulthandler, for one).
#pragma once

#include <cstddef>

namespace sonorik {

class FaultGuard {
 public:
  FaultGuard() noexcept = default;
  // Guards [data, data + size). Without a free slot (more than
  // kMaxGuardedRanges mappings at once) the guard is inactive: active() is
  // false and the caller must not map.
  FaultGuard(const void* data, std::size_t size) noexcept;
  FaultGuard(FaultGuard&& other) noexcept;
  FaultGuard& operator=(FaultGuard&& other) noexcept;
  FaultGuard(const FaultGuard&) = delete;
  FaultGuard& operator=(const FaultGuard&) = delete;
  ~FaultGuard();

  bool active() const noexcept { return slot_ >= 0; }
  // Whether a read of the range faulted (the file shrank) since it was guarded.
  bool damaged() const noexcept;

 private:
  void reset() noexcept;
  int slot_ = -1;
};

inline constexpr int kMaxGuardedRanges = 1024;

}  // namespace sonorik
