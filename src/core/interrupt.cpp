#include "core/interrupt.h"

#include <signal.h>

#include <atomic>
#include <mutex>

namespace sonorik {
namespace {

constexpr int kSignals[] = {SIGINT, SIGTERM};

std::atomic<unsigned long> g_count{0};
std::atomic<int> g_last_signal{0};
std::mutex g_mutex;
int g_scopes = 0;  // scopes alive in the process, under g_mutex
struct Installed {
  bool ours = false;
  struct sigaction previous {};
};
Installed g_installed[2];

thread_local bool t_observing = false;
thread_local unsigned long t_start_count = 0;

const struct sigaction* previous_for(int sig) {
  for (int i = 0; i < 2; ++i) {
    if (kSignals[i] == sig) return &g_installed[i].previous;
  }
  return nullptr;
}

void on_interrupt(int sig, siginfo_t* info, void* context) {
  g_count.fetch_add(1, std::memory_order_relaxed);
  g_last_signal.store(sig, std::memory_order_relaxed);
  const struct sigaction* prev = previous_for(sig);
  if (prev == nullptr) return;
  if ((prev->sa_flags & SA_SIGINFO) != 0 && prev->sa_sigaction != nullptr) {
    prev->sa_sigaction(sig, info, context);
  } else if (prev->sa_handler != SIG_DFL && prev->sa_handler != SIG_IGN &&
             prev->sa_handler != nullptr) {
    prev->sa_handler(sig);
  }
}

// Puts on_interrupt in front of each signal that has a handler function;
// default and ignored dispositions are left alone.
void install() {
  for (int i = 0; i < 2; ++i) {
    struct sigaction current {};
    if (::sigaction(kSignals[i], nullptr, &current) != 0) continue;
    const bool has_function = (current.sa_flags & SA_SIGINFO) != 0
                                  ? current.sa_sigaction != nullptr
                                  : current.sa_handler != SIG_DFL && current.sa_handler != SIG_IGN;
    if (!has_function) continue;
    struct sigaction ours {};
    ours.sa_sigaction = on_interrupt;
    ours.sa_flags = SA_SIGINFO | (current.sa_flags & SA_RESTART);
    ours.sa_mask = current.sa_mask;
    g_installed[i].previous = current;
    g_installed[i].ours = ::sigaction(kSignals[i], &ours, nullptr) == 0;
  }
}

// Puts back what was there, unless someone replaced our handler meanwhile.
void uninstall() {
  for (int i = 0; i < 2; ++i) {
    if (!g_installed[i].ours) continue;
    struct sigaction current {};
    if (::sigaction(kSignals[i], nullptr, &current) == 0 && (current.sa_flags & SA_SIGINFO) != 0 &&
        current.sa_sigaction == on_interrupt) {
      ::sigaction(kSignals[i], &g_installed[i].previous, nullptr);
    }
    g_installed[i].ours = false;
  }
}

}  // namespace

InterruptScope::InterruptScope(bool observe) : observe_(observe) {
  {
    const std::lock_guard<std::mutex> lock(g_mutex);
    if (g_scopes++ == 0) install();
  }
  outer_observing_ = t_observing;
  outer_start_count_ = t_start_count;
  t_observing = observe_;
  if (observe_) t_start_count = g_count.load(std::memory_order_relaxed);
}

InterruptScope::~InterruptScope() {
  t_observing = outer_observing_;
  t_start_count = outer_start_count_;
  const std::lock_guard<std::mutex> lock(g_mutex);
  if (--g_scopes == 0) uninstall();
}

bool interrupted() noexcept {
  return t_observing && g_count.load(std::memory_order_relaxed) != t_start_count;
}

InterruptWatch::InterruptWatch() noexcept : observing_(t_observing), start_count_(t_start_count) {}

bool InterruptWatch::interrupted() const noexcept {
  return observing_ && g_count.load(std::memory_order_relaxed) != start_count_;
}

int last_interrupt_signal() noexcept { return g_last_signal.load(std::memory_order_relaxed); }

}  // namespace sonorik
