// Built with -ffp-contract=off (CMakeLists.txt): every product and sum is
// rounded on its own, as in the meter, never fused.
#include "analysis/true_peak_filter.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numbers>

#include "analysis/meter.h"
#include "analysis/simd.h"

namespace sonorik::analysis {

namespace {

using namespace simd;

constexpr unsigned kTaps = 49;
constexpr double kNegligibleCoefficient = 0.000001;
// Input frames converted and filtered per channel at a time.
constexpr std::size_t kChunkFrames = 1024;
// Outputs whose bound is checked together (a multiple of every variant's
// outputs per step).
constexpr std::size_t kStretchFrames = 64;
// Covers the rounding of the sums (at most 25 terms in double) and of the result to
// float many times over.
constexpr double kBoundMargin = 1.0 + 1e-6;

// s = |s|, lane by lane (NaN stays NaN). Vectors are passed by reference,
// as the variants' targets differ.
template <class D>
[[gnu::always_inline]] inline void take_magnitude(D& s) noexcept {
  typedef std::int64_t Bits __attribute__((vector_size(sizeof(D))));
  Bits b;
  std::memcpy(&b, &s, sizeof b);
  b &= std::numeric_limits<std::int64_t>::max();
  std::memcpy(&s, &b, sizeof b);
}

// a = the even lanes of a followed by those of b: one channel of stereo frames.
template <class D>
[[gnu::always_inline]] inline void take_even_lanes(D& a, const D& b) noexcept {
  if constexpr (sizeof(D) == 16) a = __builtin_shufflevector(a, b, 0, 2);
  if constexpr (sizeof(D) == 32) a = __builtin_shufflevector(a, b, 0, 2, 4, 6);
  if constexpr (sizeof(D) == 64) a = __builtin_shufflevector(a, b, 0, 2, 4, 6, 8, 10, 12, 14);
}

// The largest lane of `first` and `second`, whose lanes are never NaN, into `largest`.
template <class D>
[[gnu::always_inline]] inline void take_largest_lane(const D& first, const D& second,
                                                     double& largest) noexcept {
  D a = second > first ? second : first;
  if constexpr (sizeof(D) == 64) {
    D high = __builtin_shufflevector(a, a, 4, 5, 6, 7, 0, 1, 2, 3);
    a = high > a ? high : a;
    high = __builtin_shufflevector(a, a, 2, 3, 0, 1, 2, 3, 0, 1);
    a = high > a ? high : a;
  }
  if constexpr (sizeof(D) == 32) {
    const D high = __builtin_shufflevector(a, a, 2, 3, 0, 1);
    a = high > a ? high : a;
  }
  largest = a[1] > largest ? a[1] : largest;
  largest = a[0] > largest ? a[0] : largest;
}

// Writes x[i] = the sample in[i * stride] rounded to float, for i in [0, n),
// and returns the largest |sample| from `peak` on (NaN passed over).
// Samples one or two values apart are loaded a vector at a time, others
// gathered one by one.
template <class D, class F>
[[gnu::always_inline]] inline double round_to_float(const double* in, std::size_t n,
                                                    unsigned stride, double* x,
                                                    double peak) noexcept {
  constexpr std::size_t kWidth = sizeof(D) / sizeof(double);
  D peaks[2] = {D{} + peak, D{} + peak};
  std::size_t i = 0;
  // With two values a frame, each vector's last value is the other
  // channel's, which the last frame given may not hold.
  const std::size_t spare = stride == 2 ? 1 : 0;
  for (; i + 2 * kWidth + spare <= n; i += 2 * kWidth) {
    for (std::size_t v = 0; v < 2; ++v) {
      const std::size_t at = i + v * kWidth;
      D s, m;
      if (stride <= 2) {
        std::memcpy(&s, in + at * stride, sizeof s);
      } else {
        for (std::size_t w = 0; w < kWidth; ++w) s[w] = in[(at + w) * stride];
      }
      if (stride == 2) {
        std::memcpy(&m, in + at * stride + kWidth, sizeof m);
        take_even_lanes(s, m);
      }
      m = s;
      take_magnitude(m);
      peaks[v] = m > peaks[v] ? m : peaks[v];
      const D rounded = __builtin_convertvector(__builtin_convertvector(s, F), D);
      std::memcpy(x + at, &rounded, sizeof rounded);
    }
  }
  for (; i < n; ++i) {
    const double s = in[i * stride];
    const double m = std::fabs(s);
    peak = m > peak ? m : peak;
    x[i] = static_cast<double>(static_cast<float>(s));
  }
  take_largest_lane(peaks[0], peaks[1], peak);
  return peak;
}

// The largest |x[i]| for i in [0, n), NaN passed over; 0.0 for none.
template <class D>
[[gnu::always_inline]] inline double largest_magnitude(const double* x, std::size_t n) noexcept {
  constexpr std::size_t kWidth = sizeof(D) / sizeof(double);
  D m[2] = {};
  std::size_t i = 0;
  for (; i + 2 * kWidth <= n; i += 2 * kWidth) {
    for (std::size_t v = 0; v < 2; ++v) {
      D s;
      std::memcpy(&s, x + i + v * kWidth, sizeof s);
      take_magnitude(s);
      m[v] = s > m[v] ? s : m[v];
    }
  }
  double largest = 0.0;
  for (; i < n; ++i) largest = std::fabs(x[i]) > largest ? std::fabs(x[i]) : largest;
  take_largest_lane(m[0], m[1], largest);
  return largest;
}

// The largest |float(sum over taps, ascending, of x[i - delay] * coefficient)|
// for i in [0, n), from `peak` on; x[-history .. -1] hold earlier input. NaN
// sums leave the peak as it was, as the meter's comparison does. Each lane of
// Vectors x D computes one output i exactly as the scalar tail does.
template <class D, class F, std::size_t Vectors>
[[gnu::always_inline]] inline float phase_peak(const double* x, std::size_t n,
                                               const unsigned* delays, const double* coefficients,
                                               std::size_t taps, float peak) noexcept {
  constexpr std::size_t kWidth = sizeof(D) / sizeof(double);
  constexpr std::size_t kBlock = kWidth * Vectors;
  F lanes[Vectors];
  for (F& l : lanes) l = F{} + peak;
  std::size_t i = 0;
  for (; i + kBlock <= n; i += kBlock) {
    D acc[Vectors] = {};
    for (std::size_t k = 0; k < taps; ++k) {
      const D c = D{} + coefficients[k];
      const double* s = x + i - delays[k];
      for (std::size_t v = 0; v < Vectors; ++v) {
        D in;
        std::memcpy(&in, s + v * kWidth, sizeof in);
        acc[v] += in * c;
      }
    }
    for (std::size_t v = 0; v < Vectors; ++v) {
      F out = __builtin_convertvector(acc[v], F);
      out = out < 0.0f ? -out : out;
      lanes[v] = out > lanes[v] ? out : lanes[v];
    }
  }
  for (; i < n; ++i) {
    double acc = 0.0;
    for (std::size_t k = 0; k < taps; ++k)
      acc += x[static_cast<std::ptrdiff_t>(i) - static_cast<std::ptrdiff_t>(delays[k])] *
             coefficients[k];
    const float out = std::fabs(static_cast<float>(acc));
    peak = out > peak ? out : peak;
  }
  for (const F& l : lanes) {
    for (std::size_t w = 0; w < kWidth; ++w) peak = l[w] > peak ? l[w] : peak;
  }
  return peak;
}

// Each variant compiled for its vectors; D x Vectors lanes per step of the filter.
#define SONORIK_TP_KERNELS(NAME, TARGET, D, F, VECTORS)                                   \
  TARGET float NAME##_phase_peak(const double* x, std::size_t n, const unsigned* delays,  \
                                 const double* coefficients, std::size_t taps,            \
                                 float peak) noexcept {                                   \
    return phase_peak<D, F, VECTORS>(x, n, delays, coefficients, taps, peak);             \
  }                                                                                       \
  TARGET double NAME##_round(const double* in, std::size_t n, unsigned stride, double* x, \
                             double peak) noexcept {                                      \
    return round_to_float<D, F>(in, n, stride, x, peak);                                  \
  }                                                                                       \
  TARGET double NAME##_largest(const double* x, std::size_t n) noexcept {                 \
    return largest_magnitude<D>(x, n);                                                    \
  }                                                                                       \
  constexpr detail::TruePeakKernels NAME##_kernels = {&NAME##_phase_peak, &NAME##_round,  \
                                                      &NAME##_largest};

SONORIK_TP_KERNELS(base, , Double2, Float2, 8)
#if SONORIK_SIMD_WIDE
SONORIK_TP_KERNELS(avx2, [[gnu::target("avx2")]], Double4, Float4, 4)
SONORIK_TP_KERNELS(avx512, [[gnu::target("avx512f")]], Double8, Float8, 2)
#endif
#undef SONORIK_TP_KERNELS

// The widest variant this processor runs, of at most `max_bits`.
const detail::TruePeakKernels* widest_kernels(unsigned max_bits) noexcept {
#if SONORIK_SIMD_WIDE
  const unsigned bits = widest_vector_bits(max_bits);
  if (bits == 512) return &avx512_kernels;
  if (bits == 256) return &avx2_kernels;
#else
  (void)max_bits;
#endif
  return &base_kernels;
}

}  // namespace

unsigned TruePeakFilter::oversampling(unsigned long rate_hz) noexcept {
  if (!Meter::accepts(1, rate_hz)) return 0;
  if (rate_hz < 96000) return 4;
  if (rate_hz < 192000) return 2;
  return 1;
}

std::optional<TruePeakFilter> TruePeakFilter::create(unsigned channels, unsigned long rate_hz,
                                                     unsigned max_vector_bits) {
  const unsigned factor = oversampling(rate_hz);
  if (factor == 0 || !Meter::accepts(channels, rate_hz)) return std::nullopt;
  // Checked once per factor in the process; a library whose interpolator
  // differs leaves every caller on the meter.
  static const bool agrees[3] = {matches_meter(96000 * 2), matches_meter(96000),
                                 matches_meter(48000)};
  if (!agrees[factor / 2]) return std::nullopt;
  return build(channels, rate_hz, max_vector_bits);
}

bool TruePeakFilter::matches_meter(unsigned long rate_hz) {
  // Four probes, each sensitive to another part of the arithmetic: loud noise
  // (the coefficients and phases), a square wave (overshoot), a lone 0.2 (the
  // input rounded to float) and noise near the smallest normal float (the
  // flush to zero). Each is fed in two uneven parts.
  constexpr std::size_t kFrames = 2 * kChunkFrames + 77;
  std::uint32_t state = 12345;
  const auto uniform = [&state] {
    state = state * 1664525u + 1013904223u;
    return static_cast<double>(state) / 4294967296.0 * 2.0 - 1.0;
  };
  std::vector<double> probe(kFrames);
  for (int kind = 0; kind < 4; ++kind) {
    for (std::size_t i = 0; i < kFrames; ++i) {
      switch (kind) {
        case 0:
          probe[i] = 0.95 * uniform();
          break;
        case 1:
          probe[i] = (i / 3) % 2 ? 1.0 : -1.0;
          break;
        case 2:
          probe[i] = i == 100 ? 0.2 : 0.0;
          break;
        default:
          probe[i] = 3e-38 * uniform();
          break;
      }
    }
    Result<Meter> meter = Meter::create(1, rate_hz, Meter::kModeTruePeak);
    if (!meter || !meter->set_channel(0, EBUR128_UNUSED) ||
        !meter->add_frames(probe.data(), kFrames)) {
      return false;
    }
    const std::optional<double> expected = meter->true_peak(0);
    for (unsigned bits : {128u, 256u, 512u}) {
      std::optional<TruePeakFilter> f = build(1, rate_hz, bits);
      f->add_frames(probe.data(), 1000);
      f->add_frames(probe.data() + 1000, kFrames - 1000);
      if (!expected || f->true_peak(0) != *expected) return false;
    }
  }
  return true;
}

std::vector<TruePeakFilter::Phase> TruePeakFilter::design(unsigned factor) {
  // Taps in ascending order, each given to phase tap % factor at a delay of
  // tap / factor input frames; negligible coefficients are left out.
  std::vector<Phase> phases(factor);
  const double half = static_cast<double>(kTaps - 1) / 2.0;
  for (unsigned j = 0; j < kTaps; ++j) {
    const double m = static_cast<double>(j) - half;
    double c = 1.0;
    if (std::fabs(m) > kNegligibleCoefficient) {
      c = std::sin(m * std::numbers::pi / factor) / (m * std::numbers::pi / factor);
    }
    c *= 0.5 * (1 - std::cos(2 * std::numbers::pi * j / (kTaps - 1)));
    if (std::fabs(c) > kNegligibleCoefficient) {
      phases[j % factor].delays_frames.push_back(j / factor);
      phases[j % factor].coefficients.push_back(c);
    }
  }
  for (Phase& p : phases) {
    double sum = 0.0;
    for (double c : p.coefficients) sum += std::fabs(c);
    p.bound = sum * kBoundMargin;
  }
  // The largest bound first: its outputs, the likeliest to raise the peak,
  // let more of the others be passed over (the peak is the same in any order).
  std::stable_sort(phases.begin(), phases.end(),
                   [](const Phase& a, const Phase& b) { return a.bound > b.bound; });
  return phases;
}

std::optional<TruePeakFilter> TruePeakFilter::build(unsigned channels, unsigned long rate_hz,
                                                    unsigned max_vector_bits) {
  const unsigned factor = oversampling(rate_hz);
  TruePeakFilter f;
  f.channels_ = channels;
  f.kernels_ = widest_kernels(max_vector_bits);
  f.factor_ = factor;
  if (factor > 1) {
    static const std::vector<Phase> two = design(2), four = design(4);
    f.phases_ = factor == 2 ? &two : &four;
    for (const Phase& p : *f.phases_) f.output_bound_ = std::max(f.output_bound_, p.bound);
    f.history_frames_ = (kTaps + factor - 1) / factor - 1;
    f.buffer_.assign(static_cast<std::size_t>(channels) * (f.history_frames_ + kChunkFrames), 0.0);
  }
  f.sample_peak_.assign(channels, 0.0);
  f.filter_peak_.assign(channels, 0.0f);
  return f;
}

void TruePeakFilter::add_frames(const double* interleaved, std::size_t frames,
                                unsigned stride) noexcept {
  const FlushToZero flush;
  while (frames > 0) {
    const std::size_t n = std::min(frames, kChunkFrames);
    for (unsigned c = 0; c < channels_; ++c) run_channel(c, interleaved + c, n, stride);
    interleaved += n * stride;
    frames -= n;
  }
}

void TruePeakFilter::run_channel(unsigned channel, const double* in, std::size_t n,
                                 unsigned stride) noexcept {
  if (factor_ == 1) {
    double sample_peak = sample_peak_[channel];
    for (std::size_t i = 0; i < n; ++i) {
      const double v = std::fabs(in[i * stride]);
      sample_peak = v > sample_peak ? v : sample_peak;
    }
    sample_peak_[channel] = sample_peak;
    return;
  }
  const std::size_t h = history_frames_;
  double* history = buffer_.data() + channel * (h + kChunkFrames);
  double* x = history + h;
  sample_peak_[channel] = kernels_->round(in, n, stride, x, sample_peak_[channel]);
  float peak = filter_peak_[channel];
  // Outputs that cannot exceed the peak so far are not computed: no output
  // of a stretch is larger than the largest input it reaches times the
  // largest sum of |coefficients| of a phase (rounding included in the
  // margin). NaN inputs are passed over; the sums they enter are NaN and
  // leave the peak as it is.
  for (std::size_t from = 0; from < n; from += kStretchFrames) {
    const std::size_t count = std::min(kStretchFrames, n - from);
    const double reach = kernels_->largest(x + from - h, count + h);
    if (reach == 0.0 || reach * output_bound_ < static_cast<double>(peak)) continue;
    for (const Phase& p : *phases_) {
      if (reach * p.bound < static_cast<double>(peak)) continue;  // as above, phase by phase
      peak = kernels_->phase_peak(x + from, count, p.delays_frames.data(), p.coefficients.data(),
                                  p.coefficients.size(), peak);
    }
  }
  filter_peak_[channel] = peak;
  // The last h input frames (some possibly from earlier chunks) become history.
  std::memmove(history, history + n, h * sizeof(double));
}

double TruePeakFilter::true_peak(unsigned channel) const noexcept {
  const double filtered = static_cast<double>(filter_peak_[channel]);
  const double sample = sample_peak_[channel];
  return sample > filtered ? sample : filtered;
}

void TruePeakFilter::reset_peaks() noexcept {
  std::fill(sample_peak_.begin(), sample_peak_.end(), 0.0);
  std::fill(filter_peak_.begin(), filter_peak_.end(), 0.0f);
}

void TruePeakFilter::reset_peaks(double floor) noexcept {
  std::fill(sample_peak_.begin(), sample_peak_.end(), floor);
  std::fill(filter_peak_.begin(), filter_peak_.end(), static_cast<float>(floor));
}

}  // namespace sonorik::analysis
