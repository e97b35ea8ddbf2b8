#include "analysis/loudness.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "signals.h"

namespace sonorik::analysis {
namespace {

using test::make_audio;
using test::Segment;
using test::sine;
using test::sine_sequence;

double value_of(const Result<double>& r) {
  EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
  return r.ok() ? r.value() : NAN;
}

// EBU Tech 3341: stereo 1 kHz sines at 48 kHz, integrated loudness.
struct LevelCase {
  const char* name;
  std::vector<Segment> segments;
  double expected;
};

AudioData stereo_sequence(const std::vector<Segment>& segments) {
  return sine_sequence(48000, 2, segments);
}

class Tech3341 : public ::testing::TestWithParam<LevelCase> {};
TEST_P(Tech3341, IntegratedLoudness) {
  const AudioData a = stereo_sequence(GetParam().segments);
  EXPECT_NEAR(value_of(calculate_integrated_loudness(a)), GetParam().expected, 0.1);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Tech3341,
    ::testing::Values(LevelCase{"Minus23", {{-23, 20}}, -23.0},
                      LevelCase{"Minus33", {{-33, 20}}, -33.0},
                      LevelCase{"Minus36_23_36", {{-36, 10}, {-23, 60}, {-36, 10}}, -23.0},
                      LevelCase{"Minus72_36_23_36_72",
                                {{-72, 10}, {-36, 10}, {-23, 60}, {-36, 10}, {-72, 10}},
                                -23.0},
                      LevelCase{"Minus26_20_26", {{-26, 20}, {-20, 20.1}, {-26, 20}}, -23.0}),
    [](const auto& info) { return std::string(info.param.name); });

// A steady sine reads the same on every window: momentary and short-term
// maxima equal the integrated value.
TEST(SteadySine, MomentaryAndShortTermMaximaMatchLevel) {
  for (double level : {-23.0, -33.0}) {
    const AudioData a = sine(48000, 2, level, 20.0);
    EXPECT_NEAR(value_of(calculate_momentary_loudness(a)), level, 0.1);
    EXPECT_NEAR(value_of(calculate_short_term_loudness(a)), level, 0.1);
  }
}

// EBU Tech 3342, cases 1 to 4: loudness range of level sequences.
class Tech3342 : public ::testing::TestWithParam<LevelCase> {};
TEST_P(Tech3342, LoudnessRange) {
  const AudioData a = stereo_sequence(GetParam().segments);
  EXPECT_NEAR(value_of(calculate_loudness_range(a)), GetParam().expected, 1.0);
}
INSTANTIATE_TEST_SUITE_P(
    Cases, Tech3342,
    ::testing::Values(LevelCase{"Minus20_30", {{-20, 20}, {-30, 20}}, 10.0},
                      LevelCase{"Minus20_15", {{-20, 20}, {-15, 20}}, 5.0},
                      LevelCase{"Minus40_20", {{-40, 20}, {-20, 20}}, 20.0},
                      LevelCase{"FiveSegments", {{-50, 20}, {-35, 20}, {-20, 20}, {-35, 20}, {-50, 20}}, 15.0}),
    [](const auto& info) { return std::string(info.param.name); });

using Measure = std::function<Result<double>(const AudioData&)>;
struct NamedMeasure {
  const char* name;
  Measure fn;
  double floor;
};
const NamedMeasure kMeasures[] = {
    {"integrated", calculate_integrated_loudness, -70.0},
    {"short_term", calculate_short_term_loudness, -70.0},
    {"momentary", calculate_momentary_loudness, -70.0},
    {"range", calculate_loudness_range, 0.0},
};

class EachMeasure : public ::testing::TestWithParam<NamedMeasure> {};

TEST_P(EachMeasure, EmptyAndSilentAudioGiveTheFloor) {
  for (std::uint16_t channels : {std::uint16_t{1}, std::uint16_t{2}, std::uint16_t{6}}) {
    EXPECT_EQ(value_of(GetParam().fn(make_audio(48000, channels, {}))), GetParam().floor);
    const std::vector<double> silence(48000 * 3 * channels, 0.0);
    EXPECT_EQ(value_of(GetParam().fn(make_audio(48000, channels, silence))), GetParam().floor);
    // Fewer samples than one frame.
    EXPECT_EQ(value_of(GetParam().fn(make_audio(48000, 6, {0.5, 0.5}))), GetParam().floor);
  }
}

TEST_P(EachMeasure, MeterRefusalIsNoMem) {
  for (const auto& [rate, channels] : std::vector<std::pair<std::uint32_t, std::uint16_t>>{
           {8, 1}, {8, 2}, {48000, 65}, {48000, 0}, {2822401, 2}}) {
    const Result<double> r = GetParam().fn(make_audio(rate, channels, std::vector<double>(256, 0.1)));
    ASSERT_FALSE(r.ok()) << rate << " Hz, " << channels << " channels";
    EXPECT_EQ(r.error().message(), "NoMem");
    EXPECT_EQ(r.error().cause(), nullptr);
  }
}

// 7 channels do not divide the 4,800-sample chunks or the 100 ms steps of
// 44.1 kHz x 7; no whole frame may be lost. Channel 0 is the left channel in
// the default map, so a 7-channel file with only channel 0 sounding measures
// like the mono file of that channel.
TEST_P(EachMeasure, ChunksOfWholeFramesLoseNothing) {
  for (double seconds : {3.0, 12.0, 40.0}) {
    const AudioData mono = test::distinct_channels(44100, 1, seconds);
    std::vector<double> seven(mono.samples.size() * 7, 0.0);
    for (std::size_t i = 0; i < mono.samples.size(); ++i) seven[i * 7] = mono.samples[i];
    const double expected = value_of(GetParam().fn(mono));
    EXPECT_NEAR(value_of(GetParam().fn(make_audio(44100, 7, seven))), expected, 1e-9) << seconds;
  }
}

TEST_P(EachMeasure, TrailingIncompleteFrameOnlyIsIgnored) {
  AudioData a = test::distinct_channels(48000, 2, 6.0);
  const double whole = value_of(GetParam().fn(a));
  a.samples.push_back(0.9);  // half a frame
  EXPECT_EQ(value_of(GetParam().fn(a)), whole);
}

INSTANTIATE_TEST_SUITE_P(Functions, EachMeasure, ::testing::ValuesIn(kMeasures),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ShortTerm, TwoSecondsReadAgainstSilenceBeforeTheStart) {
  const double full = value_of(calculate_short_term_loudness(sine(48000, 2, -23.0, 10.0)));
  const double two = value_of(calculate_short_term_loudness(sine(48000, 2, -23.0, 2.0)));
  EXPECT_TRUE(std::isfinite(two));
  EXPECT_LT(two, full - 1.0);  // 2 s of 3: about -1.8 LU
  EXPECT_GT(two, -70.0);
}

// The combined pass against four separate meters, over channel layouts whose
// maps differ, lengths that end in a short step, and rates whose 100 ms step
// differs from the meter's block (11,025 and 16,005 Hz).
struct Layout {
  std::uint32_t rate_hz;
  std::uint16_t channels;
  double seconds;
};
class CombinedPass : public ::testing::TestWithParam<Layout> {};
TEST_P(CombinedPass, EqualsSeparateMeters) {
  const auto [rate, channels, seconds] = GetParam();
  const AudioData a = test::distinct_channels(rate, channels, seconds);
  const LoudnessRequest all{true, true, true, true};
  const Result<LoudnessValues> v = measure_loudness(a, all);
  ASSERT_TRUE(v.ok());
  EXPECT_NEAR(v->integrated_lufs, value_of(calculate_integrated_loudness(a)), 1e-9);
  EXPECT_NEAR(v->short_term_lufs, value_of(calculate_short_term_loudness(a)), 1e-9);
  EXPECT_NEAR(v->momentary_lufs, value_of(calculate_momentary_loudness(a)), 1e-9);
  EXPECT_NEAR(v->range_lu, value_of(calculate_loudness_range(a)), 1e-9);
  EXPECT_GT(v->range_lu, 1.0);  // the signal really varies
  // Subsets pick the same numbers; unrequested values keep their floors.
  const Result<LoudnessValues> only_i = measure_loudness(a, {.integrated = true, .range = true});
  ASSERT_TRUE(only_i.ok());
  EXPECT_NEAR(only_i->integrated_lufs, v->integrated_lufs, 1e-9);
  EXPECT_NEAR(only_i->range_lu, v->range_lu, 1e-9);
  EXPECT_EQ(only_i->momentary_lufs, -70.0);
  EXPECT_EQ(only_i->short_term_lufs, -70.0);
}
INSTANTIATE_TEST_SUITE_P(Layouts, CombinedPass,
                         ::testing::Values(Layout{48000, 1, 25.0}, Layout{48000, 2, 35.0},
                                           Layout{44100, 6, 20.0}, Layout{48000, 7, 12.345},
                                           Layout{96000, 2, 4.05}, Layout{22050, 5, 9.99},
                                           Layout{11025, 2, 8.0}, Layout{16005, 1, 7.0}));

TEST(CombinedPass, EmptyRequestAndRefusedMeter) {
  const Result<LoudnessValues> none = measure_loudness(make_audio(8, 1, {0.5}), {});
  ASSERT_TRUE(none.ok());
  EXPECT_EQ(none->integrated_lufs, -70.0);
  EXPECT_EQ(none->range_lu, 0.0);
  const Result<LoudnessValues> refused = measure_loudness(make_audio(8, 1, {0.5}), {.momentary = true});
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), "NoMem");
}

TEST(StepFrames, TruncatedTenthOfTheRate) {
  EXPECT_EQ(loudness_step_frames(48000), 4800u);
  EXPECT_EQ(loudness_step_frames(44100), 4410u);
  EXPECT_EQ(loudness_step_frames(11025), 1102u);
  EXPECT_EQ(loudness_step_frames(16), 1u);
}

}  // namespace
}  // namespace sonorik::analysis
