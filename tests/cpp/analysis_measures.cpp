// The measures at the unit level: EBU loudness references on both analysers,
// the combined meter pass against separate meters, Catmull-Rom true-peak
// examples, RMS windows, and the analyzer against each measure's function.
#include <gtest/gtest.h>
#include <tbb/global_control.h>

#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "analysis/analyzer.h"
#include "analysis/loudness.h"
#include "analysis/peak.h"
#include "analysis/rms.h"
#include "analysis/robust_analyzer.h"
#include "support.h"

namespace sonorik::analysis {
namespace {

using testing::distinct_channels;
using testing::make_audio;
using M = Metric;

double value_of(const Result<double>& r) {
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? r.value() : NAN;
}

// ---- EBU Tech 3341 (integrated) and Tech 3342 (range) -----------------------------

struct Segment {
  double dbfs;  // peak level of a 1 kHz sine
  double seconds;
};
struct EbuCase {
  const char* name;
  std::vector<Segment> segments;
  double integrated_lufs;  // NAN: not part of the case
  double range_lu;         // NAN: not part of the case
};
void PrintTo(const EbuCase& c, std::ostream* os) { *os << c.name; }

// Stereo 48 kHz, the sine's phase running on across segments.
AudioData levels(const std::vector<Segment>& segments) {
  std::vector<double> s;
  std::size_t i = 0;
  for (const Segment& seg : segments) {
    for (auto n = std::llround(seg.seconds * 48000); n > 0; --n, ++i) {
      const double v = testing::from_db(seg.dbfs) * std::sin(2.0 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 48000.0);
      s.insert(s.end(), {v, v});
    }
  }
  return make_audio(48000, 2, std::move(s));
}

class Ebu : public ::testing::TestWithParam<EbuCase> {};

TEST_P(Ebu, BothAnalysersWithinTheTolerance) {
  const EbuCase& c = GetParam();
  const AudioData a = levels(c.segments);
  WavFormatInfo info;
  info.frames = a.samples.size() / 2;
  info.sample_rate = 48000;
  info.channels = 2;
  info.duration_seconds = a.info.duration_seconds;
  Result<Bs1770Measurement> robust = RobustAnalyzer::measure_loudness_custom_bs1770(SampleSource(a.samples, 2), info);
  ASSERT_TRUE(robust.ok());
  if (!std::isnan(c.integrated_lufs)) {
    EXPECT_NEAR(value_of(calculate_integrated_loudness(a)), c.integrated_lufs, 0.1);
    EXPECT_NEAR(robust->integrated.value_or(NAN), c.integrated_lufs, 0.1);
  }
  if (!std::isnan(c.range_lu)) {
    EXPECT_NEAR(value_of(calculate_loudness_range(a)), c.range_lu, 1.0);
    EXPECT_NEAR(robust->loudness_range.value_or(NAN), c.range_lu, 1.0);
  }
  if (c.segments.size() == 1) {  // a steady sine reads the same in every window
    EXPECT_NEAR(value_of(calculate_momentary_loudness(a)), c.integrated_lufs, 0.1);
    EXPECT_NEAR(value_of(calculate_short_term_loudness(a)), c.integrated_lufs, 0.1);
    EXPECT_NEAR(robust->momentary_max.value_or(NAN), c.integrated_lufs, 0.1);
    EXPECT_NEAR(robust->short_term_max.value_or(NAN), c.integrated_lufs, 0.1);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Ebu,
    ::testing::Values(EbuCase{"I_Minus23", {{-23, 20}}, -23.0, NAN}, EbuCase{"I_Minus33", {{-33, 20}}, -33.0, NAN},
                      EbuCase{"I_Minus36_23_36", {{-36, 10}, {-23, 60}, {-36, 10}}, -23.0, NAN},
                      EbuCase{"I_Minus72_36_23_36_72", {{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}}, -23.0, NAN},
                      EbuCase{"I_Minus26_20_26", {{-26, 20}, {-20, 20.1}, {-26, 20}}, -23.0, NAN},
                      EbuCase{"LRA_Minus20_30", {{-20, 20}, {-30, 20}}, NAN, 10.0},
                      EbuCase{"LRA_Minus20_15", {{-20, 20}, {-15, 20}}, NAN, 5.0},
                      EbuCase{"LRA_Minus40_20", {{-40, 20}, {-20, 20}}, NAN, 20.0},
                      EbuCase{"LRA_Minus50_35_20_35_50", {{-50, 20}, {-35, 20}, {-20, 20}, {-35, 20}, {-50, 20}}, NAN, 15.0}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- the combined meter pass ------------------------------------------------------

struct Layout {
  std::uint32_t rate_hz;
  std::uint16_t channels;
  double seconds;
};

// Channel maps that differ, lengths ending in a short step, and rates whose
// 100 ms step differs from the meter's block (11,025 and 16,005 Hz).
class CombinedPass : public ::testing::TestWithParam<Layout> {};
TEST_P(CombinedPass, EqualsSeparateMeters) {
  const auto [rate, channels, seconds] = GetParam();
  const AudioData a = distinct_channels(rate, channels, seconds);
  const Result<LoudnessValues> v = measure_loudness(a, {true, true, true, true});
  ASSERT_TRUE(v.ok());
  EXPECT_NEAR(v->integrated_lufs, value_of(calculate_integrated_loudness(a)), 1e-9);
  EXPECT_NEAR(v->short_term_lufs, value_of(calculate_short_term_loudness(a)), 1e-9);
  EXPECT_NEAR(v->momentary_lufs, value_of(calculate_momentary_loudness(a)), 1e-9);
  EXPECT_NEAR(v->range_lu, value_of(calculate_loudness_range(a)), 1e-9);
  EXPECT_GT(v->range_lu, 1.0);  // the signal really varies
  // A subset picks the same numbers; unrequested values keep their floors.
  const Result<LoudnessValues> part = measure_loudness(a, {.integrated = true, .range = true});
  ASSERT_TRUE(part.ok());
  EXPECT_NEAR(part->integrated_lufs, v->integrated_lufs, 1e-9);
  EXPECT_NEAR(part->range_lu, v->range_lu, 1e-9);
  EXPECT_EQ(part->momentary_lufs, -70.0);
}
INSTANTIATE_TEST_SUITE_P(Layouts, CombinedPass,
                         ::testing::Values(Layout{48000, 2, 35.0}, Layout{44100, 6, 20.0}, Layout{48000, 7, 12.345},
                                           Layout{11025, 2, 8.0}, Layout{16005, 1, 7.0}));

// 7 channels divide neither the 4,800-sample chunks nor the 100 ms steps of
// 44.1 kHz; no whole frame may be lost, and a trailing half frame is ignored.
// Channel 0 is the left channel, so the file measures like its mono channel.
TEST(Loudness, ChunksOfWholeFramesLoseNothing) {
  const AudioData mono = distinct_channels(44100, 1, 12.0);
  std::vector<double> seven(mono.samples.size() * 7, 0.0);
  for (std::size_t i = 0; i < mono.samples.size(); ++i) seven[i * 7] = mono.samples[i];
  seven.push_back(0.9);
  const AudioData a = make_audio(44100, 7, std::move(seven));
  using Fn = Result<double> (*)(const AudioData&);
  for (Fn fn : {Fn{calculate_integrated_loudness}, Fn{calculate_short_term_loudness}, Fn{calculate_momentary_loudness},
                Fn{calculate_loudness_range}}) {
    EXPECT_NEAR(value_of(fn(a)), value_of(fn(mono)), 1e-9);
  }
}

// ---- true peak: Catmull-Rom interpolation at 1/4, 1/2 and 3/4 ------------------------

struct PeakCase {
  const char* name;
  std::uint16_t channels;
  std::vector<double> samples;
  double expected_dbfs;
};
class TruePeak : public ::testing::TestWithParam<PeakCase> {};
TEST_P(TruePeak, CatmullRomExamples) {
  const PeakCase& c = GetParam();
  EXPECT_NEAR(value_of(calculate_true_peak(make_audio(48000, c.channels, c.samples))), c.expected_dbfs, 1e-12);
}
const double kDb = 20.0;
INSTANTIATE_TEST_SUITE_P(
    Cases, TruePeak,
    ::testing::Values(
        PeakCase{"Overshoot", 1, {0.0, 1.0, 1.0, 0.0}, kDb * std::log10(1.125)},
        // Silence beyond both ends: 0.5625 at t = 0.5, above the samples.
        PeakCase{"TwoFrames", 1, {0.5, 0.5}, kDb * std::log10(0.5625)},
        PeakCase{"Alternating", 1, {1.0, -1.0, 1.0, -1.0}, 0.0},
        PeakCase{"SingleStereoFrame", 2, {0.25, -0.5}, kDb * std::log10(0.5)},
        // One frame and a half: all three samples count.
        PeakCase{"OneAndAHalfFrames", 2, {0.1, 0.2, -0.8}, kDb * std::log10(0.8)},
        // Two frames and a half: the fifth sample is ignored; channel 1 is
        // 0.25, 0.25 -> 0.28125 at t = 0.5.
        PeakCase{"TwoAndAHalfFrames", 2, {0.0, 0.25, 0.0, 0.25, 0.9}, kDb * std::log10(0.28125)},
        PeakCase{"Silence", 2, std::vector<double>(100, 0.0), -96.0}, PeakCase{"Empty", 2, {}, -96.0},
        PeakCase{"ZeroChannels", 0, {0.5, 0.5}, -96.0},
        PeakCase{"AboveFullScale", 1, {2.0, 2.0, 2.0}, kDb * std::log10(2.140625)},
        PeakCase{"NaNIgnored", 1, {0.5, NAN, 0.5, 0.0, 0.0}, kDb * std::log10(0.5)}),
    [](const auto& info) { return std::string(info.param.name); });

// Each channel is one task; the maximum does not depend on the workers.
TEST(TruePeak, SameResultWithOneThreadAndMany) {
  const AudioData a = distinct_channels(48000, 8, 3.0);
  const double many = value_of(calculate_true_peak(a));
  double serial = 0.0;
  for (std::size_t c = 0; c < 8; ++c) serial = std::max(serial, channel_true_peak(a.samples.data() + c, a.samples.size() / 8, 8));
  EXPECT_EQ(many, 20.0 * std::log10(serial));
  tbb::global_control one(tbb::global_control::max_allowed_parallelism, 1);
  EXPECT_EQ(value_of(calculate_true_peak(a)), many);
}

// ---- RMS windows ----------------------------------------------------------------------

struct WindowCase {
  std::uint32_t rate_hz;
  std::uint16_t channels;
  std::size_t window_frames, windows, last_frames;  // in one second; last: 0 if none
};
class RmsWindows : public ::testing::TestWithParam<WindowCase> {};
// One second of silence with one full-scale sample in a window: the loudest
// window's level reveals its length.
TEST_P(RmsWindows, CountAndLengthsOfOneSecond) {
  const auto [rate, channels, w, count, last] = GetParam();
  EXPECT_EQ(rms_window_frames(rate), w);
  ASSERT_EQ(count * w + last, rate);
  auto level_with_spike_at = [&](std::size_t frame) {
    std::vector<double> s(std::size_t{rate} * channels, 0.0);
    s[frame * channels] = 1.0;
    return calculate_rms_max(make_audio(rate, channels, s));
  };
  const auto expected = [&](std::size_t frames) { return 10.0 * std::log10(1.0 / static_cast<double>(frames * channels)); };
  EXPECT_NEAR(level_with_spike_at(0), expected(w), 1e-9);
  EXPECT_NEAR(level_with_spike_at(count * w - 1), expected(w), 1e-9);
  if (last != 0) {
    EXPECT_NEAR(level_with_spike_at(rate - 1), expected(last), 1e-9);
  }
}
INSTANTIATE_TEST_SUITE_P(Rates, RmsWindows,
                         ::testing::Values(WindowCase{48000, 2, 2400, 20, 0}, WindowCase{44100, 1, 2205, 20, 0},
                                           WindowCase{22050, 1, 1102, 20, 10}, WindowCase{8000, 3, 400, 20, 0},
                                           WindowCase{19, 1, 1, 19, 0}));

// ---- the analyzer -------------------------------------------------------------------------

const MetricList kAll = {M::integrated_loudness, M::short_term_loudness, M::momentary_loudness, M::loudness_range,
                         M::true_peak,           M::rms_max,             M::rms_average};

AnalysisResults analyze_ok(const AudioData& a, const MetricList& m) {
  Result<AnalysisResults> r = AudioAnalyzer::analyze(a, m);
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? r.value() : AnalysisResults{};
}

// One meter pass with true peak and RMS on the pool, against every
// measure's own function, and a subset with a file field mixed in.
class Analyzer : public ::testing::TestWithParam<Layout> {};
TEST_P(Analyzer, SameAsEachFunction) {
  const auto [rate, channels, seconds] = GetParam();
  AudioData a = distinct_channels(rate, channels, seconds);
  a.samples.push_back(0.99);  // a trailing incomplete frame
  const AnalysisResults r = analyze_ok(a, kAll);
  EXPECT_NEAR(*r.integrated_loudness, value_of(calculate_integrated_loudness(a)), 1e-9);
  EXPECT_NEAR(*r.short_term_loudness, value_of(calculate_short_term_loudness(a)), 1e-9);
  EXPECT_NEAR(*r.momentary_loudness, value_of(calculate_momentary_loudness(a)), 1e-9);
  EXPECT_NEAR(*r.loudness_range, value_of(calculate_loudness_range(a)), 1e-9);
  EXPECT_EQ(*r.true_peak, value_of(calculate_true_peak(a)));
  EXPECT_EQ(*r.rms_max, calculate_rms_max(a));
  EXPECT_EQ(*r.rms_average, calculate_rms_average(a));
  const AnalysisResults only = analyze_ok(a, {M::true_peak, M::file_name_ext, M::momentary_loudness});
  EXPECT_NEAR(*only.momentary_loudness, *r.momentary_loudness, 1e-9);
  EXPECT_EQ(only.true_peak, r.true_peak);
  EXPECT_FALSE(only.integrated_loudness || only.rms_max);
}
INSTANTIATE_TEST_SUITE_P(Layouts, Analyzer, ::testing::Values(Layout{48000, 2, 32.0}, Layout{22050, 7, 10.0}));

TEST(Analyzer, EmptyAndSilentAudioGiveEveryFloor) {
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

}  // namespace
}  // namespace sonorik::analysis
