#include "core/fault_guard.h"

#include <signal.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>

namespace sonorik {
namespace {

// One slot per guarded range. A slot is claimed by a compare-exchange on
// `in_use`; the handler reads begin/end only of slots in use, and a range is
// released (in_use cleared) before its mapping goes away.
struct Slot {
  std::atomic<bool> in_use{false};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<bool> damaged{false};
};

Slot g_slots[kMaxGuardedRanges];
struct sigaction g_previous {};
std::mutex g_install_mutex;

void forward(int sig, siginfo_t* info, void* context) {
  const struct sigaction prev = g_previous;
  if ((prev.sa_flags & SA_SIGINFO) != 0 && prev.sa_sigaction != nullptr) {
    prev.sa_sigaction(sig, info, context);
  } else if (prev.sa_handler != SIG_DFL && prev.sa_handler != SIG_IGN &&
             prev.sa_handler != nullptr) {
    prev.sa_handler(sig);
  } else {
    // The default action: the faulting read runs again and ends the process.
    ::signal(sig, SIG_DFL);
  }
}

void on_sigbus(int sig, siginfo_t* info, void* context) {
  const auto addr = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& s : g_slots) {
    if (!s.in_use.load(std::memory_order_acquire)) continue;
    const std::uintptr_t begin = s.begin.load(std::memory_order_relaxed);
    const std::uintptr_t end = s.end.load(std::memory_order_relaxed);
    if (addr < begin || addr >= end) continue;
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    void* at = reinterpret_cast<void*>(addr & ~(page - 1));
    if (::mmap(at, page, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0) == MAP_FAILED) {
      break;  // cannot repair: as if unguarded
    }
    s.damaged.store(true, std::memory_order_relaxed);
    return;
  }
  forward(sig, info, context);
}

// Puts on_sigbus in front, remembering what was there unless it is ours.
void install() noexcept {
  const std::lock_guard<std::mutex> lock(g_install_mutex);
  struct sigaction current {};
  if (::sigaction(SIGBUS, nullptr, &current) != 0) return;
  if ((current.sa_flags & SA_SIGINFO) != 0 && current.sa_sigaction == on_sigbus) return;
  struct sigaction ours {};
  ours.sa_sigaction = on_sigbus;
  ours.sa_flags = SA_SIGINFO | SA_NODEFER;
  sigemptyset(&ours.sa_mask);
  g_previous = current;
  ::sigaction(SIGBUS, &ours, nullptr);
}

}  // namespace

FaultGuard::FaultGuard(const void* data, std::size_t size) noexcept {
  for (int i = 0; i < kMaxGuardedRanges; ++i) {
    bool expected = false;
    Slot& s = g_slots[i];
    if (!s.in_use.load(std::memory_order_relaxed) &&
        s.in_use.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
      // Claimed; the handler may see in_use before the range is written, so
      // an empty range first.
      s.damaged.store(false, std::memory_order_relaxed);
      const auto begin = reinterpret_cast<std::uintptr_t>(data);
      s.end.store(0, std::memory_order_relaxed);
      s.begin.store(begin, std::memory_order_relaxed);
      s.end.store(begin + size, std::memory_order_release);
      slot_ = i;
      install();
      return;
    }
  }
}

FaultGuard::FaultGuard(FaultGuard&& other) noexcept : slot_(other.slot_) { other.slot_ = -1; }

FaultGuard& FaultGuard::operator=(FaultGuard&& other) noexcept {
  if (this != &other) {
    reset();
    slot_ = other.slot_;
    other.slot_ = -1;
  }
  return *this;
}

FaultGuard::~FaultGuard() { reset(); }

bool FaultGuard::damaged() const noexcept {
  return slot_ >= 0 && g_slots[slot_].damaged.load(std::memory_order_relaxed);
}

void FaultGuard::reset() noexcept {
  if (slot_ < 0) return;
  Slot& s = g_slots[slot_];
  s.end.store(0, std::memory_order_relaxed);
  s.in_use.store(false, std::memory_order_release);
  slot_ = -1;
}

}  // namespace sonorik
