// Stopping long work when the user interrupts it. While an InterruptScope that
// observes lives on a thread, SIGINT and SIGTERM (where the process has a
// handler for them, as the interpreter has for SIGINT) are counted before they
// reach that handler, so the interpreter still learns of them as usual. Loops
// that read, measure or write ask interrupted() between blocks and stop with
// the error kInterrupted; nothing they were building is committed. This works
// whatever the thread holds: no interpreter lock is needed to ask.
//
// Every call of the Python modules observes, on whatever thread it runs: an
// interrupt stops calls on worker threads as well (each raises
// KeyboardInterrupt in its own thread), so a pool of calls ends promptly and
// commits nothing; the interpreter raises its own KeyboardInterrupt in the
// main thread as usual.
#pragma once

namespace sonorik {

class InterruptScope {
 public:
  explicit InterruptScope(bool observe);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  bool observe_;
  unsigned long outer_start_count_ = 0;
  bool outer_observing_ = false;
};

// Whether SIGINT or SIGTERM arrived since the innermost observing scope of
// this thread began. False outside any observing scope.
bool interrupted() noexcept;

// The calling thread's interrupted(), for work it hands to other threads
// (the worker pool): made on the calling thread, asked anywhere.
class InterruptWatch {
 public:
  InterruptWatch() noexcept;
  bool interrupted() const noexcept;

 private:
  bool observing_;
  unsigned long start_count_;
};

// The signal that arrived last (SIGINT or SIGTERM), 0 if none ever did.
int last_interrupt_signal() noexcept;

inline constexpr const char* kInterrupted = "interrupted";

}  // namespace sonorik
