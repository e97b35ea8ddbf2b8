#include "analysis/peak.h"

#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <string>
#include <vector>

#include "signals.h"

namespace sonorik::analysis {
namespace {

using test::make_audio;

double peak_of(std::uint16_t channels, std::vector<double> samples) {
  const Result<double> r = calculate_true_peak(make_audio(48000, channels, std::move(samples)));
  EXPECT_TRUE(r.ok());
  return r.ok() ? r.value() : NAN;
}

struct PeakCase {
  const char* name;
  std::uint16_t channels;
  std::vector<double> samples;
  double expected_dbfs;
};
class SmallSignals : public ::testing::TestWithParam<PeakCase> {};
TEST_P(SmallSignals, CatmullRomPeak) {
  EXPECT_NEAR(peak_of(GetParam().channels, GetParam().samples), GetParam().expected_dbfs, 1e-12);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, SmallSignals,
    ::testing::Values(
        // The middle of the second interval overshoots to 1.125.
        PeakCase{"Overshoot", 1, {0.0, 1.0, 1.0, 0.0}, 20.0 * std::log10(1.125)},
        // Silence beyond both ends: 0.5625 at t = 0.5, above the samples.
        PeakCase{"TwoFrames", 1, {0.5, 0.5}, 20.0 * std::log10(0.5625)},
        PeakCase{"Alternating", 1, {1.0, -1.0, 1.0, -1.0}, 0.0},
        // One frame: the plain sample peak.
        PeakCase{"SingleStereoFrame", 2, {0.25, -0.5}, 20.0 * std::log10(0.5)},
        // Three samples in stereo are one frame plus a half: all three count.
        PeakCase{"OneAndAHalfFrames", 2, {0.1, 0.2, -0.8}, 20.0 * std::log10(0.8)},
        // Five samples are two frames; the fifth is ignored. Channel 1 is
        // 0.25, 0.25 -> 0.28125 at t = 0.5.
        PeakCase{"TwoAndAHalfFrames", 2, {0.0, 0.25, 0.0, 0.25, 0.9}, 20.0 * std::log10(0.28125)},
        PeakCase{"Silence", 2, std::vector<double>(100, 0.0), -96.0},
        PeakCase{"Empty", 2, {}, -96.0},
        PeakCase{"ZeroChannels", 0, {0.5, 0.5}, -96.0},
        // Not clipped above full scale.
        PeakCase{"AboveFullScale", 1, {2.0, 2.0, 2.0}, 20.0 * std::log10(2.140625)},
        // A NaN never becomes the maximum.
        PeakCase{"NaNIgnored", 1, {0.5, NAN, 0.5, 0.0, 0.0}, 20.0 * std::log10(0.5)}),
    [](const auto& info) { return std::string(info.param.name); });

// Interleaved channels are read with their stride: a constant 0.1 rises to
// 0.10703125 at t = 0.25 of the first interval (silence before the start).
TEST(ChannelTruePeak, StridePicksOneChannel) {
  const std::vector<double> s = {0.1, 0.0, 0.1, 1.0, 0.1, 1.0, 0.1, 0.0};
  EXPECT_DOUBLE_EQ(channel_true_peak(s.data(), 4, 2), 0.10703125);
  EXPECT_DOUBLE_EQ(channel_true_peak(s.data() + 1, 4, 2), 1.125);
}

// Each channel is computed by one task and reduced with max, so the result
// does not depend on the number of workers.
TEST(Parallel, SameResultWithOneThreadAndMany) {
  const AudioData a = test::distinct_channels(48000, 8, 3.0);
  const Result<double> many = calculate_true_peak(a);
  ASSERT_TRUE(many.ok());
  double serial = 0.0;
  for (std::size_t c = 0; c < 8; ++c) {
    serial = std::max(serial, channel_true_peak(a.samples.data() + c, a.samples.size() / 8, 8));
  }
  EXPECT_EQ(many.value(), 20.0 * std::log10(serial));
  tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
  const Result<double> single = calculate_true_peak(a);
  ASSERT_TRUE(single.ok());
  EXPECT_EQ(single.value(), many.value());
}

// A sine between its samples: the estimate lies between the sample peak and
// the real peak.
TEST(Sine, InterSamplePeakAboveSamplePeak) {
  // fs/4 with a 45 degree phase: every sample at 0.7071 of the amplitude.
  std::vector<double> s;
  for (int i = 0; i < 4800; ++i) s.push_back(0.5 * std::sin(std::numbers::pi * (0.5 * i + 0.25)));
  const double tp = peak_of(1, s);
  EXPECT_GT(tp, 20.0 * std::log10(0.5 * std::sqrt(0.5)) + 1.0);
  EXPECT_LT(tp, 20.0 * std::log10(0.5) + 0.01);
}

}  // namespace
}  // namespace sonorik::analysis
