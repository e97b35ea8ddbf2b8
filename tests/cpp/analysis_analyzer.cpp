#include "analysis/analyzer.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "analysis/loudness.h"
#include "analysis/peak.h"
#include "analysis/rms.h"
#include "signals.h"

namespace sonorik::analysis {
namespace {

using test::make_audio;
using M = Metric;

const MetricList kAll = {M::integrated_loudness, M::short_term_loudness, M::momentary_loudness,
                         M::loudness_range,      M::true_peak,           M::rms_max,
                         M::rms_average};

AnalysisResults analyze_ok(const AudioData& a, const MetricList& m) {
  Result<AnalysisResults> r = AudioAnalyzer::analyze(a, m);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? r.value() : AnalysisResults{};
}

bool all_absent(const AnalysisResults& r) {
  return !r.integrated_loudness && !r.short_term_loudness && !r.momentary_loudness &&
         !r.loudness_range && !r.true_peak && !r.rms_max && !r.rms_average;
}

TEST(Analyze, NoMeasuresRequestedLeavesEveryFieldAbsent) {
  const AudioData a = test::sine(48000, 2, -20.0, 1.0);
  EXPECT_TRUE(all_absent(analyze_ok(a, {})));
  EXPECT_TRUE(all_absent(analyze_ok(a, {M::file_name, M::file_name_ext, M::full_path, M::sample_rate,
                                        M::bit_depth, M::channels, M::total_time, M::duration})));
}

TEST(Analyze, RepeatedMetricFillsOnlyItsFields) {
  const AudioData a = test::sine(48000, 1, -6.0, 0.5);
  const AnalysisResults r = analyze_ok(a, {M::true_peak, M::true_peak, M::rms_max});
  ASSERT_TRUE(r.true_peak && r.rms_max);
  EXPECT_EQ(*r.true_peak, calculate_true_peak(a).value());
  EXPECT_EQ(*r.rms_max, calculate_rms_max(a));
  EXPECT_FALSE(r.integrated_loudness || r.short_term_loudness || r.momentary_loudness ||
               r.loudness_range || r.rms_average);
}

TEST(Analyze, SilenceGivesEveryFloor) {
  for (std::size_t n : {std::size_t{0}, std::size_t{96000}}) {
    const AnalysisResults r = analyze_ok(make_audio(48000, 2, std::vector<double>(n, 0.0)), kAll);
    EXPECT_EQ(r.integrated_loudness, -70.0);
    EXPECT_EQ(r.short_term_loudness, -70.0);
    EXPECT_EQ(r.momentary_loudness, -70.0);
    EXPECT_EQ(r.loudness_range, 0.0);
    EXPECT_EQ(r.true_peak, -96.0);
    EXPECT_EQ(r.rms_max, -150.0);
    EXPECT_EQ(r.rms_average, n == 0 ? -96.0 : -150.0);
  }
}

// The meter's refusal discards everything, wherever the loudness measure
// stands in the request.
class Refused : public ::testing::TestWithParam<MetricList> {};
TEST_P(Refused, NoMemAndNoRecord) {
  for (const AudioData& a : {make_audio(8, 1, std::vector<double>(64, 0.5)),
                             make_audio(48000, 65, std::vector<double>(65 * 100, 0.5))}) {
    const Result<AnalysisResults> r = AudioAnalyzer::analyze(a, GetParam());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), "NoMem");
    EXPECT_EQ(r.error().cause(), nullptr);
  }
}
INSTANTIATE_TEST_SUITE_P(Requests, Refused,
                         ::testing::Values(MetricList{M::rms_max, M::integrated_loudness},
                                           MetricList{M::true_peak, M::loudness_range},
                                           MetricList{M::momentary_loudness, M::rms_average},
                                           kAll));

TEST(Analyze, RefusedMeterDoesNotMatterWithoutLoudness) {
  const AnalysisResults r =
      analyze_ok(make_audio(8, 1, {0.5, 0.5}), {M::true_peak, M::rms_max, M::rms_average});
  EXPECT_NEAR(*r.true_peak, 20.0 * std::log10(0.5625), 1e-12);
  EXPECT_NEAR(*r.rms_max, 20.0 * std::log10(0.5), 1e-12);
}

// The analyzer (one meter pass with true peak and RMS on the pool) against
// every measure's own function.
struct Layout {
  std::uint32_t rate_hz;
  std::uint16_t channels;
  double seconds;
};
class SameAsEachFunction : public ::testing::TestWithParam<Layout> {};
TEST_P(SameAsEachFunction, AllMeasuresAndSubsets) {
  const auto [rate, channels, seconds] = GetParam();
  AudioData a = test::distinct_channels(rate, channels, seconds);
  a.samples.push_back(0.99);  // a trailing incomplete frame when channels > 1
  const AnalysisResults r = analyze_ok(a, kAll);
  EXPECT_NEAR(*r.integrated_loudness, calculate_integrated_loudness(a).value(), 1e-9);
  EXPECT_NEAR(*r.short_term_loudness, calculate_short_term_loudness(a).value(), 1e-9);
  EXPECT_NEAR(*r.momentary_loudness, calculate_momentary_loudness(a).value(), 1e-9);
  EXPECT_NEAR(*r.loudness_range, calculate_loudness_range(a).value(), 1e-9);
  EXPECT_EQ(*r.true_peak, calculate_true_peak(a).value());
  EXPECT_EQ(*r.rms_max, calculate_rms_max(a));
  EXPECT_EQ(*r.rms_average, calculate_rms_average(a));

  // Any order, with repeats and file fields mixed in, gives the same numbers.
  const AnalysisResults shuffled =
      analyze_ok(a, {M::rms_average, M::file_name_ext, M::loudness_range, M::true_peak,
                     M::momentary_loudness, M::rms_average, M::short_term_loudness, M::rms_max,
                     M::integrated_loudness});
  EXPECT_EQ(shuffled.integrated_loudness, r.integrated_loudness);
  EXPECT_EQ(shuffled.short_term_loudness, r.short_term_loudness);
  EXPECT_EQ(shuffled.momentary_loudness, r.momentary_loudness);
  EXPECT_EQ(shuffled.loudness_range, r.loudness_range);
  EXPECT_EQ(shuffled.true_peak, r.true_peak);
  EXPECT_EQ(shuffled.rms_max, r.rms_max);
  EXPECT_EQ(shuffled.rms_average, r.rms_average);

  // A single loudness measure alone.
  const AnalysisResults only_m = analyze_ok(a, {M::momentary_loudness});
  EXPECT_NEAR(*only_m.momentary_loudness, *r.momentary_loudness, 1e-9);
  EXPECT_FALSE(only_m.integrated_loudness || only_m.true_peak);
}
INSTANTIATE_TEST_SUITE_P(Layouts, SameAsEachFunction,
                         ::testing::Values(Layout{48000, 1, 6.0}, Layout{48000, 2, 32.0},
                                           Layout{44100, 6, 8.0}, Layout{22050, 7, 10.0}));

}  // namespace
}  // namespace sonorik::analysis
