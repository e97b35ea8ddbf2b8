#include "analysis/meter.h"

#include <mutex>

namespace sonorik {

namespace {
std::mutex& creation_mutex() {
  static std::mutex m;
  return m;
}
// libebur128 sizes its audio buffer from the meter's longest window (3 s with
// the short-term mode, else 400 ms), rounded up to whole 100 ms blocks of
// (rate + 5) / 10 frames, and then fills a first gating block of four such
// blocks into it. At 16 and 17 Hz a 400 ms buffer holds 6 frames while a
// gating block is 8: the meter would write past its end. True when `mode`
// gives such a buffer.
bool buffer_shorter_than_gating_block(unsigned long rate_hz, int mode) {
  if ((mode & Meter::kModeS) == Meter::kModeS) return false;
  const unsigned long block = (rate_hz + 5) / 10;
  if (block == 0) return false;
  unsigned long buffer = rate_hz * 400 / 1000;
  if (buffer % block != 0) buffer += block - buffer % block;
  return buffer < 4 * block;
}

}  // namespace

Result<Meter> Meter::create(unsigned channels, unsigned long rate_hz, int mode) {
  ebur128_state* raw = nullptr;
  {
    std::lock_guard<std::mutex> lock(creation_mutex());
    raw = ebur128_init(channels, rate_hz, mode);
  }
  if (raw == nullptr) return Error("NoMem");
  Meter m;
  m.state_.reset(raw);
  m.channels_ = channels;
  // Only where the buffer would be too short: a longer buffer changes the
  // order in which the library sums its windows, and so the last bits of
  // readings at every other rate. The readings themselves do not depend on
  // the buffer's length.
  if (buffer_shorter_than_gating_block(rate_hz, mode) &&
      ebur128_set_max_window(raw, kShortTermWindowMs) != EBUR128_SUCCESS) {
    return Error("NoMem");
  }
  if (channels == 2) {
    if (ebur128_set_channel(raw, 0, EBUR128_LEFT) != EBUR128_SUCCESS ||
        ebur128_set_channel(raw, 1, EBUR128_RIGHT) != EBUR128_SUCCESS) {
      return Error("Invalid Channel Index");
    }
  }
  return m;
}

bool Meter::add_frames(const double* interleaved, std::size_t frames) noexcept {
  if (frames == 0) return true;
  return ebur128_add_frames_double(state_.get(), interleaved, frames) == EBUR128_SUCCESS;
}

namespace {
template <class F>
std::optional<double> read(F f) noexcept {
  double out = 0.0;
  if (f(&out) != EBUR128_SUCCESS) return std::nullopt;
  return out;
}
}  // namespace

std::optional<double> Meter::momentary() const noexcept {
  return read([&](double* o) { return ebur128_loudness_momentary(state_.get(), o); });
}
std::optional<double> Meter::shortterm() const noexcept {
  return read([&](double* o) { return ebur128_loudness_shortterm(state_.get(), o); });
}
std::optional<double> Meter::global() const noexcept {
  return read([&](double* o) { return ebur128_loudness_global(state_.get(), o); });
}
std::optional<double> Meter::range() const noexcept {
  return read([&](double* o) { return ebur128_loudness_range(state_.get(), o); });
}
std::optional<double> Meter::relative_threshold() const noexcept {
  return read([&](double* o) { return ebur128_relative_threshold(state_.get(), o); });
}
std::optional<double> Meter::window(unsigned long window_ms) const noexcept {
  return read([&](double* o) { return ebur128_loudness_window(state_.get(), window_ms, o); });
}
bool Meter::set_channel(unsigned channel, int role) noexcept {
  return ebur128_set_channel(state_.get(), channel, role) == EBUR128_SUCCESS;
}

std::optional<double> Meter::true_peak(unsigned channel) const noexcept {
  return read([&](double* o) { return ebur128_true_peak(state_.get(), channel, o); });
}

std::optional<double> Meter::previous_true_peak(unsigned channel) const noexcept {
  return read([&](double* o) { return ebur128_prev_true_peak(state_.get(), channel, o); });
}

}  // namespace sonorik
