// A thin owner of one libebur128 meter. Creation runs under one process-wide
// mutex (ebur128_init rewrites shared static tables); everything after
// creation is per-meter state. Every return code is checked.
#pragma once

#include <ebur128.h>

#include <cstddef>
#include <memory>
#include <optional>

#include "core/error.h"

namespace sonorik {

class Meter {
 public:
  // Library mode values.
  static constexpr int kModeM = EBUR128_MODE_M;      // 1
  static constexpr int kModeS = EBUR128_MODE_S;      // 3
  static constexpr int kModeI = EBUR128_MODE_I;      // 5
  static constexpr int kModeLra = EBUR128_MODE_LRA;  // 11
  static constexpr int kModeTruePeak = EBUR128_MODE_TRUE_PEAK;

  // The library's limits; outside them creation fails with "NoMem".
  static constexpr unsigned long kShortTermWindowMs = 3000;
  static constexpr unsigned kMaxChannels = 64;
  static constexpr unsigned long kMinRateHz = 16;
  static constexpr unsigned long kMaxRateHz = 2822400;
  static bool accepts(unsigned channels, unsigned long rate_hz) {
    return channels >= 1 && channels <= kMaxChannels && rate_hz >= kMinRateHz &&
           rate_hz <= kMaxRateHz;
  }

  // Creates a meter; for exactly two channels, channel 0 is left and channel
  // 1 right, every other count keeps the library's default map.
  // Error: "NoMem" when the library refuses the channel count or rate.
  static Result<Meter> create(unsigned channels, unsigned long rate_hz, int mode);

  unsigned channels() const noexcept { return channels_; }

  // Feeds `frames` interleaved frames (frames, not samples). False on failure.
  bool add_frames(const double* interleaved, std::size_t frames) noexcept;

  // Readings: the library's value (possibly -inf), or nullopt when the read fails.
  std::optional<double> momentary() const noexcept;
  std::optional<double> shortterm() const noexcept;
  std::optional<double> global() const noexcept;
  std::optional<double> range() const noexcept;
  // The integrated gating's relative threshold (LUFS; the library gives -70.0
  // when no block passes the absolute gate). Needs kModeI.
  std::optional<double> relative_threshold() const noexcept;
  // Loudness of the last trunc(rate x window_ms / 1000) frames; window_ms may
  // not exceed the mode's window (400 ms for M, 3000 ms for S).
  std::optional<double> window(unsigned long window_ms) const noexcept;
  std::optional<double> true_peak(unsigned channel) const noexcept;
  // The true peak of `channel` over the frames of the last add_frames call.
  std::optional<double> previous_true_peak(unsigned channel) const noexcept;

  // Assigns a library channel role (EBUR128_LEFT, ..., EBUR128_UNUSED) to
  // `channel`. An unused channel is not loudness-filtered, but its sample and
  // true peaks are still tracked. False on failure.
  bool set_channel(unsigned channel, int role) noexcept;

 private:
  struct Deleter {
    void operator()(ebur128_state* s) const noexcept { ebur128_destroy(&s); }
  };
  std::unique_ptr<ebur128_state, Deleter> state_;
  unsigned channels_ = 0;
};

}  // namespace sonorik
