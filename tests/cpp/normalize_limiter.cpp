// The limiter's gain where Python cannot see it: none at all (bit for bit)
// under the threshold, whatever the pull sizes; a lone peak's reduction held
// to attack + hold + release, with its true peak brought under the threshold.
#include "normalize/limiter.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <vector>

#include "analysis/true_peak_filter.h"

namespace sonorik::normalize {
namespace {

constexpr unsigned kChannels = 2;

// Everything read from `in` through a limiter, pulled `pull` frames at a
// time and read out `read` at a time; with `ahead`, `ahead` frames are made
// ready before each read (as a reader working one read ahead does).
std::vector<double> limited(PeakLimiter& limiter, const std::vector<double>& in, std::size_t pull,
                            std::size_t read, std::size_t ahead = 0) {
  std::size_t at = 0;
  const PeakLimiter::Pull source = [&](double* out, std::size_t max) -> Result<std::size_t> {
    const std::size_t n = std::min({max, pull, in.size() / kChannels - at});
    std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(at * kChannels), n * kChannels, out);
    at += n;
    return n;
  };
  std::vector<double> out, block(read * kChannels);
  for (;;) {
    Result<std::size_t> got = std::size_t{0};
    if (ahead == 0) {
      got = limiter.read(source, block.data(), read);
    } else if (const Status filled = limiter.fill(source, ahead); filled) {
      got = limiter.take(block.data(), read);
    } else {
      got = filled.error();
    }
    EXPECT_TRUE(got);
    if (!got || *got == 0) return out;
    out.insert(out.end(), block.begin(),
               block.begin() + static_cast<std::ptrdiff_t>(*got * kChannels));
  }
}

// Quiet noise with a loud decaying burst of `burst_frames` at frame `at`.
std::vector<double> burst(std::uint32_t rate_hz, std::size_t at, std::size_t burst_frames) {
  std::vector<double> x(static_cast<std::size_t>(rate_hz) * kChannels);  // one second
  std::uint64_t state = 88172645463325252ULL;
  for (std::size_t i = 0; i < x.size(); ++i) {
    state ^= state << 13, state ^= state >> 7, state ^= state << 17;
    x[i] = 0.01 * (static_cast<double>(state >> 11) * 0x1p-53 - 0.5);
    const std::size_t frame = i / kChannels;
    if (frame >= at && frame < at + burst_frames)
      x[i] += (frame % 2 ? 0.9 : -0.9) * std::exp(-static_cast<double>(frame - at) / 8.0);
  }
  return x;
}

// Rate, frames per pull, and where the burst starts (the very first frame
// has no audio before it to ramp down over).
class Limiter
    : public ::testing::TestWithParam<std::tuple<std::uint32_t, std::size_t, std::size_t>> {};

TEST_P(Limiter, UnderTheThresholdNothingChanges) {
  const auto [rate, pull, at] = GetParam();
  const std::vector<double> in = burst(rate, at, 40);
  Result<PeakLimiter> limiter = PeakLimiter::create(kChannels, rate, 2.0);
  ASSERT_TRUE(limiter);
  EXPECT_EQ(limited(*limiter, in, pull, 700), in);  // same length, every bit
  EXPECT_EQ(limiter->stats().limited_frames, 0u);
  EXPECT_EQ(limiter->stats().max_reduction_db, 0.0);
}

TEST_P(Limiter, FramesMadeReadyAheadComeOutTheSame) {
  const auto [rate, pull, at] = GetParam();
  const std::vector<double> in = burst(rate, at, 40);
  std::vector<double> outs[2];
  LimiterStats stats[2];
  for (std::size_t ahead : {0, 1}) {
    Result<PeakLimiter> limiter = PeakLimiter::create(kChannels, rate, 0.25, true);
    ASSERT_TRUE(limiter);
    outs[ahead] = limited(*limiter, in, pull, 700, ahead * 2000);
    stats[ahead] = limiter->stats();
  }
  EXPECT_EQ(outs[1], outs[0]);
  EXPECT_EQ(stats[1].limited_frames, stats[0].limited_frames);
  EXPECT_EQ(stats[1].energy, stats[0].energy);
  EXPECT_EQ(stats[1].pinned_energy, stats[0].pinned_energy);
}

TEST_P(Limiter, ALonePeakIsLimitedForAttackHoldAndReleaseAtMost) {
  const auto [rate, pull, at] = GetParam();
  const std::vector<double> in = burst(rate, at, 40);
  constexpr double kThreshold = 0.25;
  Result<PeakLimiter> limiter = PeakLimiter::create(kChannels, rate, kThreshold);
  ASSERT_TRUE(limiter);
  const std::vector<double> out = limited(*limiter, in, pull, 1000);
  ASSERT_EQ(out.size(), in.size());
  std::size_t first = in.size(), last = 0;
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (out[i] != in[i]) first = std::min(first, i / kChannels), last = i / kChannels;
  }
  const double most_ms = PeakLimiter::kAttackMs + PeakLimiter::kHoldMs + PeakLimiter::kReleaseMs;
  ASSERT_LE(first, last);
  EXPECT_LE(static_cast<double>(last - first + 1), most_ms * 1e-3 * rate);
  EXPECT_GE(static_cast<double>(last - first + 1), 0.8 * most_ms * 1e-3 * rate);
  EXPECT_EQ(limiter->stats().events, 1u);
  EXPECT_EQ(limiter->stats().limited_frames, last - first + 1);

  std::optional<analysis::TruePeakFilter> meter = analysis::TruePeakFilter::create(kChannels, rate);
  ASSERT_TRUE(meter);
  meter->add_frames(out.data(), out.size() / kChannels);
  for (unsigned c = 0; c < kChannels; ++c) EXPECT_LE(meter->true_peak(c), kThreshold);
}

INSTANTIATE_TEST_SUITE_P(RatesAndPulls, Limiter,
                         ::testing::Combine(::testing::Values(8000u, 44100u, 48000u, 96000u),
                                            ::testing::Values(std::size_t{1}, std::size_t{333},
                                                              std::size_t{4096}),
                                            ::testing::Values(std::size_t{0}, std::size_t{3001})));

}  // namespace
}  // namespace sonorik::normalize
