#include "normalize/limiter.h"

#include <algorithm>
#include <cmath>
#include <string>
#include <utility>

namespace sonorik::normalize {

namespace {

// Chunks the need of one chunk is spread over (itself and its neighbours),
// plus the one the gain is interpolated from: taken from the hold, so that a
// lone peak's reduction stays within attack + hold + release.
constexpr std::size_t kSpreadChunks = 3;

std::size_t chunks_in(double ms, std::uint32_t rate_hz, std::size_t chunk) {
  return static_cast<std::size_t>(std::floor(ms * 1e-3 * rate_hz / static_cast<double>(chunk)));
}

}  // namespace

Result<PeakLimiter> PeakLimiter::create(unsigned channels, std::uint32_t rate_hz, double threshold,
                                        bool energies) {
  if (!(threshold > 0.0) || !std::isfinite(threshold))
    return Error("the limiter's threshold must be a positive level");
  std::optional<analysis::TruePeakFilter> filter =
      analysis::TruePeakFilter::create(channels, rate_hz);
  if (!filter) {
    return Error("the limiter cannot read true peaks of " + std::to_string(channels) +
                 " channels at " + std::to_string(rate_hz) + " Hz");
  }
  return PeakLimiter(std::move(*filter), channels, rate_hz, threshold, energies);
}

PeakLimiter::PeakLimiter(analysis::TruePeakFilter filter, unsigned channels, std::uint32_t rate_hz,
                         double threshold, bool energies)
    : filter_(std::move(filter)), channels_(channels), threshold_(threshold), energies_(energies) {
  chunk_ = std::max<std::size_t>({12, rate_hz / 1000, filter_.history_frames()});
  bound_ = std::max(1.0, filter_.output_bound());
  attack_ = std::max<std::size_t>(1, chunks_in(kAttackMs, rate_hz, chunk_));
  const std::size_t hold = chunks_in(kHoldMs, rate_hz, chunk_);
  hold_ = hold > kSpreadChunks ? hold - kSpreadChunks : 0;
  release_ = std::max<std::size_t>(1, chunks_in(kReleaseMs, rate_hz, chunk_));
  box_.assign(attack_ - 1, 1.0);
  filter_.reset_peaks(threshold_);
  floor_ = filter_.true_peak(0);
}

void PeakLimiter::detect(std::size_t frames) {
  const double* x = &buffer_[(detected_ - base_) * channels_];
  const double largest = filter_.largest_magnitude(x, frames * channels_);
  // No output of the reader exceeds the largest input it reaches (this
  // chunk's and the last one's) times its bound: such chunks are not read,
  // and the next chunk read is preceded by the reader's history.
  const double reach = std::max(largest, last_largest_);
  last_largest_ = largest;
  if (reach * bound_ < threshold_) {
    skipped_ = true;
    detected_ += frames;
    push_need(1.0);
    return;
  }
  if (skipped_) {
    const std::size_t history =
        static_cast<std::size_t>(std::min<std::uint64_t>(filter_.history_frames(), detected_));
    filter_.add_frames(x - history * channels_, history);
    filter_.reset_peaks(threshold_);
    skipped_ = false;
  }
  filter_.add_frames(x, frames);
  double peak = 0.0;
  for (unsigned c = 0; c < channels_; ++c) peak = std::max(peak, filter_.true_peak(c));
  // Readings start at the threshold: only peaks over it are worked out.
  filter_.reset_peaks(threshold_);
  detected_ += frames;
  push_need(peak > floor_ ? threshold_ / peak : 1.0);
}

void PeakLimiter::push_need(double need) {
  // 1. spread over the neighbours: the reader's delay may show a chunk's
  // peak in the next chunk's reading.
  const double spread = std::min({need_prev2_, need_prev_, need});
  need_prev2_ = need_prev_;
  need_prev_ = need;
  if (needs_++ == 0) return;  // the first chunk's spread needs the second
  // 2. attack: the smallest need of the next `attack_` chunks, averaged over
  // the last `attack_` of those minima.
  ahead_.push_back(spread);
  if (ahead_.size() > attack_) ahead_.pop_front();
  if (ahead_.size() < attack_) return;
  const double least = *std::min_element(ahead_.begin(), ahead_.end());
  // Before the first chunk the audio is taken to need what it starts with:
  // there is nothing to ramp down over.
  if (!started_) std::fill(box_.begin(), box_.end(), least);
  started_ = true;
  box_.push_back(least);
  double sum = 0.0, limited = 0.0;
  for (double v : box_) {
    sum += v;
    if (v < 1.0) limited += v;
  }
  box_.pop_front();
  // 3. hold and release. Needs under 1 fall as the gain before rises: the
  // average's share of them is the share of the output they pin.
  gains_.push_back(
      hold_release(sum / static_cast<double>(attack_), sum > 0.0 ? limited / sum : 0.0));
}

PeakLimiter::Gain PeakLimiter::hold_release(double box, double pinned) {
  const double need_db = box < 1.0 ? -20.0 * std::log10(box) : 0.0;
  double next = depth_db_;
  const bool holding = hold_left_ > 0;
  if (depth_db_ > 0.0 && !holding) {
    if (!releasing_) {
      releasing_ = true;
      release_from_db_ = depth_db_;
      release_pinned_ = pinned_;
      release_step_ = 0;
    }
    ++release_step_;
    next = release_step_ >= release_
               ? 0.0
               : release_from_db_ *
                     (1.0 - static_cast<double>(release_step_) / static_cast<double>(release_));
  }
  double pinned_next = releasing_ && release_step_ < release_
                           ? release_pinned_ * (1.0 - static_cast<double>(release_step_) /
                                                          static_cast<double>(release_))
                           : (releasing_ ? 0.0 : pinned_);
  if (need_db > 0.0 && need_db >= next) {
    depth_db_ = need_db;
    pinned_ = pinned;
    hold_left_ = hold_;
    releasing_ = false;
  } else {
    pinned_ = pinned_next;
    depth_db_ = next;
    if (holding) --hold_left_;
    if (depth_db_ == 0.0) releasing_ = false;
  }
  stats_.max_reduction_db = std::max(stats_.max_reduction_db, depth_db_);
  if (depth_db_ == 0.0) return {1.0, 0.0};
  return {std::pow(10.0, -depth_db_ / 20.0), pinned_};
}

std::size_t PeakLimiter::ready_frames() const noexcept {
  if (gains_.size() < 2) return 0;
  const std::uint64_t known = (gains_chunk_ + gains_.size() - 1) * chunk_;
  return static_cast<std::size_t>(std::min(known, in_) - out_);
}

namespace {

inline double sum_of_squares(const double* x, std::size_t n) noexcept {
  double s[4] = {0.0, 0.0, 0.0, 0.0};
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    for (std::size_t k = 0; k < 4; ++k) s[k] += x[i + k] * x[i + k];
  }
  for (; i < n; ++i) s[0] += x[i] * x[i];
  return (s[0] + s[1]) + (s[2] + s[3]);
}

// A gain going from `g0` by `step` a frame, and the pinned share with it;
// `offset`: the first frame's place in its chunk.
struct Ramp {
  double g0, step, p0, p_step;
  std::size_t offset;
};

// `n` frames of `channels` (kChannels when it is not 0) scaled along `r`,
// tallied into `s`; the stats are locals here, as the output written may
// alias them for all the compiler knows.
template <std::size_t kChannels, bool kEnergies>
void ramp_frames(const double* x, double* y, std::size_t n, std::size_t channels, const Ramp& r,
                 LimiterStats& stats, bool& limiting_now) noexcept {
  const std::size_t ch = kChannels != 0 ? kChannels : channels;
  LimiterStats s = stats;
  bool limiting = limiting_now;
  for (std::size_t f = 0; f < n; ++f) {
    const double at = static_cast<double>(r.offset + f);
    const double g = r.g0 + r.step * at;
    for (std::size_t c = 0; c < ch; ++c) y[f * ch + c] = x[f * ch + c] * g;
    if (g < 1.0) {
      ++s.limited_frames;
      if (!limiting) ++s.events;
    }
    limiting = g < 1.0;
    if constexpr (kEnergies) {
      const double energy = sum_of_squares(y + f * ch, ch);
      s.energy += energy;
      if (g < 1.0) {
        s.pinned_energy += energy * (r.p0 + r.p_step * at);
        s.limited_energy += energy;
      }
    }
  }
  stats.limited_frames = s.limited_frames;
  stats.events = s.events;
  stats.energy = s.energy;
  stats.limited_energy = s.limited_energy;
  stats.pinned_energy = s.pinned_energy;
  limiting_now = limiting;
}

template <bool kEnergies>
void ramp_any(const double* x, double* y, std::size_t n, std::size_t channels, const Ramp& r,
              LimiterStats& stats, bool& limiting) noexcept {
  if (channels == 2) return ramp_frames<2, kEnergies>(x, y, n, channels, r, stats, limiting);
  if (channels == 1) return ramp_frames<1, kEnergies>(x, y, n, channels, r, stats, limiting);
  ramp_frames<0, kEnergies>(x, y, n, channels, r, stats, limiting);
}

}  // namespace

void PeakLimiter::ramp(const double* x, double* y, std::size_t offset, std::size_t n, double g0,
                       double g1) noexcept {
  const double p0 = gains_[0].pinned;
  const Ramp r{g0, (g1 - g0) / static_cast<double>(chunk_), p0,
               (gains_[1].pinned - p0) / static_cast<double>(chunk_), offset};
  if (energies_) {
    ramp_any<true>(x, y, n, channels_, r, stats_, limiting_);
  } else {
    ramp_any<false>(x, y, n, channels_, r, stats_, limiting_);
  }
}

void PeakLimiter::emit(double* out, std::size_t frames) noexcept {
  const double* in = &buffer_[(out_ - base_) * channels_];
  stats_.frames += frames;
  // Stretches within one chunk: copied where the gain is 1 at both ends.
  for (std::size_t i = 0; i < frames;) {
    const std::uint64_t chunk = out_ / chunk_;
    while (gains_chunk_ < chunk) {
      gains_.pop_front();
      ++gains_chunk_;
    }
    const std::size_t offset = static_cast<std::size_t>(out_ % chunk_);
    const std::size_t n = std::min(frames - i, chunk_ - offset);
    const double* x = in + i * channels_;
    double* y = out + i * channels_;
    const double g0 = gains_[0].gain;
    const double g1 = gains_[1].gain;
    if (g0 == 1.0 && g1 == 1.0) {
      std::copy(x, x + n * channels_, y);
      if (energies_) stats_.energy += sum_of_squares(y, n * channels_);
      limiting_ = false;
    } else {
      ramp(x, y, offset, n, g0, g1);
    }
    i += n;
    out_ += n;
  }
}

Result<std::size_t> PeakLimiter::read(const Pull& pull, double* out, std::size_t max_frames) {
  if (Status s = fill(pull, max_frames); !s) return std::move(s).error();
  return take(out, max_frames);
}

std::size_t PeakLimiter::take(double* out, std::size_t max_frames) noexcept {
  const std::size_t n = std::min(max_frames, ready_frames());
  emit(out, n);
  return n;
}

Status PeakLimiter::fill(const Pull& pull, std::size_t max_frames) {
  while (!ended_ && ready_frames() < max_frames) {
    if ((in_ - base_ + max_frames) * channels_ > buffer_.size()) {
      // Keep the frames not yet read out at the front.
      const std::size_t kept = static_cast<std::size_t>(in_ - out_);
      const auto from = buffer_.begin() + static_cast<std::ptrdiff_t>((out_ - base_) * channels_);
      std::copy(from, from + static_cast<std::ptrdiff_t>(kept * channels_), buffer_.begin());
      base_ = out_;
      buffer_.resize(std::max(buffer_.size(), (kept + max_frames) * channels_));
    }
    Result<std::size_t> got = pull(&buffer_[(in_ - base_) * channels_], max_frames);
    if (!got) return std::move(got).error();
    if (*got == 0) {
      ended_ = true;
      if (in_ > detected_) detect(static_cast<std::size_t>(in_ - detected_));
      // Chunks of no need past the end let the last chunks' gains out.
      for (std::size_t i = 0; i < attack_ + 2; ++i) push_need(1.0);
      break;
    }
    in_ += *got;
    while (in_ - detected_ >= chunk_) detect(chunk_);
  }
  return ok_status();
}

}  // namespace sonorik::normalize
