// Per-channel true-peak readings equal, bit for bit, to libebur128's
// ebur128_true_peak for a meter of the same rate fed the same frames, in less
// time. The meter's reading is the larger of the channel's sample peak (the
// input values as given) and the peak of its interpolator output: the input
// rounded to float, oversampled by a causal polyphase FIR (49-tap
// Hann-windowed sinc; 4x below 96000 Hz, 2x below 192000 Hz, no oversampling
// from 192000 Hz on), each output phase summed in double in ascending tap
// order and rounded to float, with float results below the normal range
// flushed to zero. This reader performs the same operations in the same order
// on each output, several outputs at a time.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

namespace sonorik::analysis {

namespace detail {
// One processor variant of the filter's loops (see true_peak_filter.cpp).
struct TruePeakKernels {
  float (*phase_peak)(const double* x, std::size_t n, const unsigned* delays,
                      const double* coefficients, std::size_t taps, float peak) noexcept;
  double (*round)(const double* in, std::size_t n, unsigned stride, double* x,
                  double peak) noexcept;
  double (*largest)(const double* x, std::size_t n) noexcept;
};
}  // namespace detail

class TruePeakFilter {
 public:
  // The oversampling factor used at `rate_hz` (4, 2 or 1), or 0 when this
  // reader does not reproduce the meter there (a rate the meter refuses).
  static unsigned oversampling(unsigned long rate_hz) noexcept;

  // A reader for `channels` interleaved channels at `rate_hz`; nullopt when
  // the meter would refuse them (see Meter::accepts), oversampling() is 0,
  // or this reader disagrees with the installed library's meter on a probe
  // signal at that oversampling factor (checked once per process).
  // It uses the widest vectors (128, 256 or 512 bits) that the processor
  // runs, at most `max_vector_bits`; every width gives the same readings.
  static std::optional<TruePeakFilter> create(unsigned channels, unsigned long rate_hz,
                                              unsigned max_vector_bits = 512);

  unsigned channels() const noexcept { return channels_; }
  // Input frames before a frame that its interpolated outputs reach; and a
  // bound on |output| as a multiple of the largest |input| it reaches.
  unsigned history_frames() const noexcept { return history_frames_; }
  double output_bound() const noexcept { return output_bound_; }
  // The largest |x[i]| for i in [0, n) (NaN passed over; 0.0 for none), on
  // the reader's vectors.
  double largest_magnitude(const double* x, std::size_t n) const noexcept {
    return kernels_->largest(x, n);
  }

  // Feeds `frames` interleaved frames (frames, not samples). Splitting the
  // audio across calls at any points gives the same readings as one call.
  void add_frames(const double* interleaved, std::size_t frames) noexcept {
    add_frames(interleaved, frames, channels_);
  }
  // The same for this reader's channels taken from frames of `stride` >=
  // channels() values (the reader's first channel at `interleaved`).
  void add_frames(const double* interleaved, std::size_t frames, unsigned stride) noexcept;

  // The reading of `channel` (< channels()) over every frame fed so far, as
  // ebur128_true_peak gives it (1.0 is full scale; 0.0 before any audio).
  double true_peak(unsigned channel) const noexcept;

  // Sets every channel's reading back to 0.0; the interpolator keeps its
  // history, so true_peak() then covers exactly the frames fed since.
  void reset_peaks() noexcept;
  // Sets every channel's reading to `floor` (at least 0.0): outputs that
  // cannot exceed it are then mostly not computed, so a reader that only needs
  // the peaks above a level pays little for the stretches under it.
  void reset_peaks(double floor) noexcept;

 private:
  struct Phase {  // taps in ascending order
    std::vector<unsigned> delays_frames;
    std::vector<double> coefficients;
    double bound = 0.0;  // |output| <= this x the largest |input| reached
  };
  TruePeakFilter() = default;
  // The interpolator's phases at an oversampling factor of 2 or 4.
  static std::vector<Phase> design(unsigned factor);
  static std::optional<TruePeakFilter> build(unsigned channels, unsigned long rate_hz,
                                             unsigned max_vector_bits);
  // Whether this reader gives the meter's reading on a probe signal at rate_hz.
  static bool matches_meter(unsigned long rate_hz);
  void run_channel(unsigned channel, const double* interleaved, std::size_t frames,
                   unsigned stride) noexcept;

  const detail::TruePeakKernels* kernels_ = nullptr;
  unsigned channels_ = 0;
  unsigned factor_ = 1;
  unsigned history_frames_ = 0;  // input frames a phase reaches back
  double output_bound_ = 0.0;    // |output| <= this x the largest |input| reached
  const std::vector<Phase>* phases_ = nullptr;  // design(factor_), made once
  std::vector<double> buffer_;  // per channel: history then one chunk
  std::vector<double> sample_peak_;
  std::vector<float> filter_peak_;
};

}  // namespace sonorik::analysis
