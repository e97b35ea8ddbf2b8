#include "normalize/normalizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <vector>

namespace sonorik::normalize {
namespace {

// A sine of `amplitude` at 997 Hz, the same in every channel but the second,
// which gets half the amplitude (so the channels are not identical).
AudioData sine(double amplitude, double seconds, std::uint32_t rate = 48000, std::uint16_t channels = 2) {
  AudioData a;
  const auto frames = static_cast<std::size_t>(seconds * rate);
  a.info = {rate, channels, 24, SampleFormat::I24, frames * channels, static_cast<double>(frames) / rate};
  a.samples.resize(frames * channels);
  for (std::size_t f = 0; f < frames; ++f) {
    const double v = amplitude * std::sin(2.0 * std::numbers::pi * 997.0 * static_cast<double>(f) / rate);
    for (std::size_t c = 0; c < channels; ++c) a.samples[f * channels + c] = c == 1 ? v / 2 : v;
  }
  return a;
}

double measured(const AudioData& a, NormalizationKind kind) {
  Result<double> v = measure_level(a, kind);
  EXPECT_TRUE(v.ok()) << v.error().chain();
  return v.ok() ? *v : std::nan("");
}

struct GainCase {
  double current;
  double target;
  std::optional<double> bound;
  double gain;
};
class GainRule : public ::testing::TestWithParam<GainCase> {};
TEST_P(GainRule, TargetOrNearerEdge) {
  const GainCase c = GetParam();
  EXPECT_DOUBLE_EQ(gain_for_level_db(c.current, {NormalizationKind::IntegratedLoudness, c.target, c.bound}),
                   c.gain);
  if (c.bound) {  // the order of the edges does not matter
    EXPECT_DOUBLE_EQ(gain_for_level_db(c.current, {NormalizationKind::IntegratedLoudness, *c.bound, c.target}),
                     c.gain);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Cases, GainRule,
    ::testing::Values(GainCase{-30.0, -23.0, std::nullopt, 7.0}, GainCase{-16.0, -23.0, std::nullopt, -7.0},
                      GainCase{-21.5, -23.0, -20.0, 0.0}, GainCase{-30.0, -23.0, -20.0, 7.0},
                      GainCase{-16.0, -23.0, -20.0, -4.0}, GainCase{-23.0, -23.0, -20.0, 0.0},
                      GainCase{-20.0, -23.0, -20.0, 0.0}, GainCase{-150.0, -20.0, -20.0, 130.0}));

TEST(ApplyGain, BelowThresholdChangesNothingNotEvenOverFullScale) {
  std::vector<double> s = {0.5, 1.7, -2.0, std::numeric_limits<double>::quiet_NaN()};
  const std::vector<double> before = s;
  apply_gain_db(s, 0.0099);
  apply_gain_db(s, -0.0099);
  apply_gain_db(s, std::nan(""));
  EXPECT_EQ(s[0], before[0]);
  EXPECT_EQ(s[1], before[1]);
  EXPECT_EQ(s[2], before[2]);
  EXPECT_TRUE(std::isnan(s[3]));
}

TEST(ApplyGain, ScalesAndClampsToExactlyFullScale) {
  std::vector<double> s = {0.65, -0.65, 0.25, 0.0, -0.0, std::numeric_limits<double>::quiet_NaN()};
  apply_gain_db(s, 20.0 * std::log10(2.0));  // x2: 1.3 and -1.3
  EXPECT_EQ(s[0], 1.0);
  EXPECT_EQ(s[1], -1.0);
  EXPECT_DOUBLE_EQ(s[2], 0.5);
  EXPECT_EQ(s[3], 0.0);
  EXPECT_EQ(s[4], 0.0);
  EXPECT_EQ(s[5], -1.0);  // not a number becomes -1.0

  std::vector<double> at_threshold = {0.5};
  apply_gain_db(at_threshold, 0.01);
  EXPECT_DOUBLE_EQ(at_threshold[0], 0.5 * std::pow(10.0, 0.01 / 20.0));
}

TEST(ApplyGain, SilenceStaysSilentUnderAnyGain) {
  std::vector<double> s = {0.0, 0.0, 1e-300};
  apply_gain_db(s, 1e6);  // the factor overflows to infinity
  EXPECT_EQ(s[0], 0.0);
  EXPECT_EQ(s[1], 0.0);
  EXPECT_EQ(s[2], 1.0);
}

struct KindCase {
  NormalizationKind kind;
  double target;
};
class EachMeasure : public ::testing::TestWithParam<KindCase> {};

TEST_P(EachMeasure, ReachesItsTargetAndKeepsTheInfo) {
  const KindCase c = GetParam();
  const AudioData in = sine(0.05, 3.5);
  const AudioData copy = in;
  Result<AudioData> out = AudioNormalizer::normalize(in, {c.kind, c.target, std::nullopt});
  ASSERT_TRUE(out.ok()) << out.error().chain();
  EXPECT_NEAR(measured(*out, c.kind), c.target, 1e-6);
  EXPECT_EQ(in.samples, copy.samples);  // the input is only read
  EXPECT_EQ(out->info.sample_rate, in.info.sample_rate);
  EXPECT_EQ(out->info.channels, in.info.channels);
  EXPECT_EQ(out->info.bit_depth, in.info.bit_depth);
  EXPECT_EQ(out->info.sample_format, in.info.sample_format);
  EXPECT_EQ(out->info.total_samples, in.info.total_samples);
  EXPECT_EQ(out->info.duration_seconds, in.info.duration_seconds);
  // One linear factor for every sample.
  const double factor = out->samples[0] == 0.0 ? out->samples[2] / in.samples[2] : out->samples[0] / in.samples[0];
  for (std::size_t i = 0; i < in.samples.size(); i += 997) EXPECT_NEAR(out->samples[i], in.samples[i] * factor, 1e-12);
}

TEST_P(EachMeasure, ClampingCutsAtFullScaleAndFallsShort) {
  const KindCase c = GetParam();
  const AudioData in = sine(0.05, 3.5);
  // 40 dB above a target that the sine reaches at about 0.5 amplitude: clipped.
  Result<AudioData> out = AudioNormalizer::normalize(in, {c.kind, c.target + 40.0, std::nullopt});
  ASSERT_TRUE(out.ok());
  double peak = 0.0;
  std::size_t at_full_scale = 0;
  for (double x : out->samples) {
    peak = std::max(peak, std::fabs(x));
    if (std::fabs(x) == 1.0) ++at_full_scale;
  }
  EXPECT_EQ(peak, 1.0);
  EXPECT_GT(at_full_scale, in.samples.size() / 4);
  EXPECT_LT(measured(*out, c.kind), c.target + 40.0);
}

INSTANTIATE_TEST_SUITE_P(Kinds, EachMeasure,
                         ::testing::Values(KindCase{NormalizationKind::TruePeak, -6.0},
                                           KindCase{NormalizationKind::IntegratedLoudness, -23.0},
                                           KindCase{NormalizationKind::ShortTermLoudness, -20.0},
                                           KindCase{NormalizationKind::MomentaryLoudness, -18.0},
                                           KindCase{NormalizationKind::RmsMax, -15.0},
                                           KindCase{NormalizationKind::RmsAverage, -18.0}));

TEST(Normalize, WithinThresholdOfTheTargetReturnsTheSamplesUnchanged) {
  const AudioData in = sine(0.3, 1.0);
  const double tp = measured(in, NormalizationKind::TruePeak);
  Result<AudioData> same = AudioNormalizer::normalize(in, {NormalizationKind::TruePeak, tp + 0.004, {}});
  ASSERT_TRUE(same.ok());
  EXPECT_EQ(same->samples, in.samples);
  Result<AudioData> moved = AudioNormalizer::normalize(in, {NormalizationKind::TruePeak, tp + 0.011, {}});
  ASSERT_TRUE(moved.ok());
  EXPECT_NE(moved->samples, in.samples);
}

// The range example on real audio: a signal brought to -30 / -21.5 / -16
// LUFS first, then normalized on the range -23 .. -20 given either way round.
TEST(Normalize, RangeOnIntegratedLoudness) {
  const AudioData base = sine(0.1, 3.5);
  const double base_lufs = measured(base, NormalizationKind::IntegratedLoudness);
  struct Case {
    double start, expected;
  };
  for (const Case k : {Case{-30.0, -23.0}, Case{-21.5, -21.5}, Case{-16.0, -20.0}}) {
    AudioData at = base;
    apply_gain_db(at.samples, k.start - base_lufs);
    for (const auto& [t, b] : {std::pair{-23.0, -20.0}, std::pair{-20.0, -23.0}}) {
      Result<AudioData> out = AudioNormalizer::normalize(at, {NormalizationKind::IntegratedLoudness, t, b});
      ASSERT_TRUE(out.ok());
      EXPECT_NEAR(measured(*out, NormalizationKind::IntegratedLoudness), k.expected, 1e-6) << k.start;
      if (k.start == -21.5) {
        EXPECT_EQ(out->samples, at.samples);
      }
    }
  }
}

TEST(Normalize, SilenceOnRmsAverageStaysSilent) {
  AudioData silent = sine(0.0, 0.5);
  EXPECT_EQ(measured(silent, NormalizationKind::RmsAverage), -150.0);
  Result<AudioData> out = AudioNormalizer::normalize(silent, {NormalizationKind::RmsAverage, -20.0, {}});
  ASSERT_TRUE(out.ok());
  EXPECT_EQ(out->samples, silent.samples);
}

TEST(Normalize, LoudnessMeterErrorIsReturnedUnchanged) {
  const AudioData slow = sine(0.1, 10.0, 8);  // the meter needs at least 16 Hz
  for (auto kind : {NormalizationKind::IntegratedLoudness, NormalizationKind::ShortTermLoudness,
                    NormalizationKind::MomentaryLoudness}) {
    Result<AudioData> out = AudioNormalizer::normalize(slow, {kind, -23.0, {}});
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message(), "NoMem");
  }
  EXPECT_TRUE(AudioNormalizer::normalize(slow, {NormalizationKind::RmsMax, -23.0, {}}).ok());
}

struct BadTarget {
  double target;
  std::optional<double> bound;
  const char* message;
};
class RefusedTarget : public ::testing::TestWithParam<BadTarget> {};
TEST_P(RefusedTarget, ExactMessage) {
  const BadTarget c = GetParam();
  Result<AudioData> out = AudioNormalizer::normalize(sine(0.1, 0.2), {NormalizationKind::RmsMax, c.target, c.bound});
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().message(), c.message);
}
INSTANTIATE_TEST_SUITE_P(
    Values, RefusedTarget,
    ::testing::Values(
        BadTarget{std::nan(""), {}, "The target level must be a finite number (got nan)."},
        BadTarget{HUGE_VAL, {}, "The target level must be a finite number (got inf)."},
        BadTarget{-HUGE_VAL, -20.0, "The target level must be a finite number (got -inf)."},
        BadTarget{-20.0, std::nan(""), "The range bound must be a finite number (got nan)."}));

}  // namespace
}  // namespace sonorik::normalize
