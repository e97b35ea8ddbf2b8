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

Result<PeakLimiter> PeakLimiter::create(unsigned channels, std::uint32_t rate_hz,
                                        double threshold) {
  if (!(threshold > 0.0) || !std::isfinite(threshold))
    return Error("the limiter's threshold must be a positive level");
  std::optional<analysis::TruePeakFilter> filter =
      analysis::TruePeakFilter::create(channels, rate_hz);
  if (!filter) {
    return Error("the limiter cannot read true peaks of " + std::to_string(channels) +
                 " channels at " + std::to_string(rate_hz) + " Hz");
  }
  return PeakLimiter(std::move(*filter), channels, rate_hz, threshold);
}

PeakLimiter::PeakLimiter(analysis::TruePeakFilter filter, unsigned channels, std::uint32_t rate_hz,
                         double threshold)
    : filter_(std::move(filter)), channels_(channels), threshold_(threshold) {
  chunk_ = std::max<std::size_t>(12, rate_hz / 2000);
  attack_ = std::max<std::size_t>(1, chunks_in(kAttackMs, rate_hz, chunk_));
  const std::size_t hold = chunks_in(kHoldMs, rate_hz, chunk_);
  hold_ = hold > kSpreadChunks ? hold - kSpreadChunks : 0;
  release_ = std::max<std::size_t>(1, chunks_in(kReleaseMs, rate_hz, chunk_));
  box_.assign(attack_ - 1, 1.0);
}

void PeakLimiter::detect(std::size_t frames) {
  filter_.add_frames(&buffer_[(detected_ - base_) * channels_], frames);
  double peak = 0.0;
  for (unsigned c = 0; c < channels_; ++c) peak = std::max(peak, filter_.true_peak(c));
  filter_.reset_peaks();
  detected_ += frames;
  push_need(peak > threshold_ ? threshold_ / peak : 1.0);
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
  box_.push_back(*std::min_element(ahead_.begin(), ahead_.end()));
  double sum = 0.0;
  for (double v : box_) sum += v;
  box_.pop_front();
  // 3. hold and release.
  gains_.push_back(hold_release(sum / static_cast<double>(attack_)));
}

double PeakLimiter::hold_release(double box) {
  const double need_db = box < 1.0 ? -20.0 * std::log10(box) : 0.0;
  double next = depth_db_;
  const bool holding = hold_left_ > 0;
  if (depth_db_ > 0.0 && !holding) {
    if (!releasing_) {
      releasing_ = true;
      release_from_db_ = depth_db_;
      release_step_ = 0;
    }
    ++release_step_;
    next = release_step_ >= release_
               ? 0.0
               : release_from_db_ *
                     (1.0 - static_cast<double>(release_step_) / static_cast<double>(release_));
  }
  if (need_db > 0.0 && need_db >= next) {
    depth_db_ = need_db;
    hold_left_ = hold_;
    releasing_ = false;
  } else {
    depth_db_ = next;
    if (holding) --hold_left_;
    if (depth_db_ == 0.0) releasing_ = false;
  }
  stats_.max_reduction_db = std::max(stats_.max_reduction_db, depth_db_);
  return depth_db_ == 0.0 ? 1.0 : std::pow(10.0, -depth_db_ / 20.0);
}

std::size_t PeakLimiter::ready_frames() const noexcept {
  if (gains_.size() < 2) return 0;
  const std::uint64_t known = (gains_chunk_ + gains_.size() - 1) * chunk_;
  return static_cast<std::size_t>(std::min(known, in_) - out_);
}

void PeakLimiter::emit(double* out, std::size_t frames) noexcept {
  const double* in = &buffer_[(out_ - base_) * channels_];
  for (std::size_t i = 0; i < frames; ++i, ++out_) {
    const std::uint64_t chunk = out_ / chunk_;
    while (gains_chunk_ < chunk) {
      gains_.pop_front();
      ++gains_chunk_;
    }
    const double g0 = gains_[0];
    const double g1 = gains_[1];
    const double* x = in + i * channels_;
    double* y = out + i * channels_;
    double energy = 0.0;
    for (unsigned c = 0; c < channels_; ++c) energy += x[c] * x[c];
    stats_.energy += energy;
    if (g0 == 1.0 && g1 == 1.0) {
      std::copy(x, x + channels_, y);
      limiting_ = false;
      continue;
    }
    const double f = static_cast<double>(out_ % chunk_) / static_cast<double>(chunk_);
    const double g = g0 + (g1 - g0) * f;
    for (unsigned c = 0; c < channels_; ++c) y[c] = x[c] * g;
    if (g < 1.0) {
      ++stats_.limited_frames;
      stats_.limited_energy += energy;
      if (!limiting_) ++stats_.events;
    }
    limiting_ = g < 1.0;
  }
  stats_.frames += frames;
}

Result<std::size_t> PeakLimiter::read(const Pull& pull, double* out, std::size_t max_frames) {
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
    if (!got) return got;
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
  const std::size_t n = std::min(max_frames, ready_frames());
  emit(out, n);
  return n;
}

}  // namespace sonorik::normalize
