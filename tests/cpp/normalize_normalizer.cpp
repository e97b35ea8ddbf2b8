#include "normalize/normalizer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

#include "support.h"

namespace sonorik::normalize {
namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct GainCase {
  double current, target;
  std::optional<double> bound;
  double gain;
};
class GainRule : public ::testing::TestWithParam<GainCase> {};

TEST_P(GainRule, TargetOrNearerEdgeOfTheRange) {
  const GainCase c = GetParam();
  EXPECT_DOUBLE_EQ(gain_for_level_db(c.current, {NormalizationKind::RmsMax, c.target, c.bound}), c.gain);
  if (c.bound) {  // the order of the edges does not matter
    EXPECT_DOUBLE_EQ(gain_for_level_db(c.current, {NormalizationKind::RmsMax, *c.bound, c.target}), c.gain);
  }
}
INSTANTIATE_TEST_SUITE_P(Cases, GainRule,
                         ::testing::Values(GainCase{-30.0, -23.0, std::nullopt, 7.0},
                                           GainCase{-16.0, -23.0, std::nullopt, -7.0}, GainCase{-21.5, -23.0, -20.0, 0.0},
                                           GainCase{-30.0, -23.0, -20.0, 7.0}, GainCase{-16.0, -23.0, -20.0, -4.0},
                                           GainCase{-23.0, -23.0, -20.0, 0.0}, GainCase{-20.0, -23.0, -20.0, 0.0},
                                           GainCase{-150.0, -20.0, -20.0, 130.0}));

TEST(ApplyGain, BelowOneHundredthOfADecibelNothingChanges) {
  std::vector<double> s = {0.5, 1.7, -2.0, kNaN};
  for (double gain : {0.0099, -0.0099, kNaN}) apply_gain_db(s, gain);
  EXPECT_EQ(s[0], 0.5);
  EXPECT_EQ(s[1], 1.7);
  EXPECT_EQ(s[2], -2.0);
  EXPECT_TRUE(std::isnan(s[3]));
  std::vector<double> at_threshold = {0.5};
  apply_gain_db(at_threshold, 0.01);
  EXPECT_DOUBLE_EQ(at_threshold[0], 0.5 * std::pow(10.0, 0.01 / 20.0));
}

TEST(ApplyGain, ScalesAndClampsToExactlyFullScale) {
  std::vector<double> s = {0.65, -0.65, 0.25, -0.0, kNaN};
  apply_gain_db(s, 20.0 * std::log10(2.0));
  EXPECT_EQ(s, (std::vector<double>{1.0, -1.0, 0.5, 0.0, -1.0}));  // NaN becomes -1.0
  std::vector<double> silence = {0.0, 0.0, 1e-300};
  apply_gain_db(silence, 1e6);  // the factor overflows to infinity
  EXPECT_EQ(silence, (std::vector<double>{0.0, 0.0, 1.0}));
}

struct BadTarget {
  double target;
  std::optional<double> bound;
  const char* message;
};
class RefusedTarget : public ::testing::TestWithParam<BadTarget> {};
TEST_P(RefusedTarget, ExactMessage) {
  const BadTarget c = GetParam();
  const AudioData in = testing::make_audio(8000, 1, testing::sine(0.2, 8000, 1, 0.1));
  Result<AudioData> out = AudioNormalizer::normalize(in, {NormalizationKind::RmsMax, c.target, c.bound});
  ASSERT_FALSE(out.ok());
  EXPECT_EQ(out.error().message(), c.message);
}
INSTANTIATE_TEST_SUITE_P(
    Values, RefusedTarget,
    ::testing::Values(BadTarget{kNaN, {}, "The target level must be a finite number (got nan)."},
                      BadTarget{HUGE_VAL, {}, "The target level must be a finite number (got inf)."},
                      BadTarget{-HUGE_VAL, -20.0, "The target level must be a finite number (got -inf)."},
                      BadTarget{-20.0, kNaN, "The range bound must be a finite number (got nan)."}));

}  // namespace
}  // namespace sonorik::normalize
