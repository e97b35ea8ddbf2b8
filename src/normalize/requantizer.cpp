#include "normalize/requantizer.h"

#include <cmath>

namespace sonorik::normalize {

namespace {
constexpr double kRound = 6755399441055744.0;  // 2^52 + 2^51
}

double Dither::next() noexcept {
  state_ ^= state_ >> 12;
  state_ ^= state_ << 25;
  state_ ^= state_ >> 27;
  const std::uint64_t r = state_ * 0x2545F4914F6CDD1DULL;
  constexpr double k = 1.0 / 4294967296.0;
  return static_cast<double>(r >> 32) * k + static_cast<double>(r & 0xFFFFFFFFu) * k - 1.0;
}

Requantizer::Requantizer(double gain, SampleCoding coding, bool dither, unsigned channels,
                         std::size_t block_frames)
    : gain_(gain), coding_(coding), dither_(dither) {
  if (coding.int_bits != 0) {
    scale_ = std::ldexp(1.0, static_cast<int>(coding.int_bits) - 1);
    shift_ = 32 - static_cast<int>(coding.int_bits);
    codes_.resize(block_frames * channels);
  }
}

void Requantizer::run(double* x, std::size_t n) noexcept {
  if (coding_.int_bits != 0) {
    const double lo = -scale_;
    const double hi = scale_ - 1.0;
    const double step = 1.0 / scale_;
    for (std::size_t i = 0; i < n; ++i) {
      double v = x[i] * gain_ * scale_;
      if (dither_) v += noise_.next();
      // Clamped first (NaN to 0), then rounded to the nearest integer
      // (halves to even) by the 2^52 + 2^51 shift, exact below 2^51.
      v = v >= lo ? (v <= hi ? v : hi) : (v < lo ? lo : 0.0);
      v = (v + kRound) - kRound;
      const auto code = static_cast<std::int64_t>(v);
      codes_[i] = static_cast<std::int32_t>(static_cast<std::uint32_t>(code) << shift_);
      x[i] = v * step;
    }
  } else if (coding_.is_float) {
    for (std::size_t i = 0; i < n; ++i)
      x[i] = static_cast<double>(static_cast<float>(x[i] * gain_));
  } else {
    for (std::size_t i = 0; i < n; ++i) x[i] *= gain_;
  }
}

}  // namespace sonorik::normalize
