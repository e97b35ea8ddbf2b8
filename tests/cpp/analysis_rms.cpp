#include "analysis/rms.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "signals.h"

namespace sonorik::analysis {
namespace {

using test::make_audio;

TEST(Rms, EmptyAndSilentFloors) {
  EXPECT_EQ(calculate_rms_max(make_audio(48000, 2, {})), -150.0);
  EXPECT_EQ(calculate_rms_average(make_audio(48000, 2, {})), -96.0);
  const AudioData silence = make_audio(48000, 2, std::vector<double>(9600, 0.0));
  EXPECT_EQ(calculate_rms_max(silence), -150.0);
  EXPECT_EQ(calculate_rms_average(silence), -150.0);
  EXPECT_EQ(calculate_rms_max(make_audio(48000, 0, {0.5})), -150.0);
  // NaN windows count as silent.
  EXPECT_EQ(calculate_rms_max(make_audio(48000, 1, {NAN})), -150.0);
}

TEST(Rms, FullScaleSquareIsZeroDb) {
  std::vector<double> s(44100 * 2);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = (i / 7) % 2 ? 1.0 : -1.0;
  const AudioData a = make_audio(44100, 2, s);
  EXPECT_EQ(calculate_rms_max(a), 0.0);
  EXPECT_EQ(calculate_rms_average(a), 0.0);
}

struct WindowCase {
  std::uint32_t rate_hz;
  std::uint16_t channels;
  std::size_t window_frames;
  std::size_t windows;          // full windows in one second
  std::size_t last_frames;      // frames of the short last window, 0 if none
};
class Windows : public ::testing::TestWithParam<WindowCase> {};
// One second of quiet noise-free signal with one loud frame placed in each
// candidate window in turn: the loudest window's level reveals its length.
TEST_P(Windows, CountAndLengthsOfOneSecond) {
  const auto [rate, channels, w, count, last] = GetParam();
  EXPECT_EQ(rms_window_frames(rate), w);
  const std::size_t frames = rate;
  ASSERT_EQ(count * w + last, frames);
  // A single 1.0 sample in window j gives ms = 1 / (window samples).
  auto level_with_spike_at = [&](std::size_t frame) {
    std::vector<double> s(frames * channels, 0.0);
    s[frame * channels] = 1.0;
    return calculate_rms_max(make_audio(rate, channels, s));
  };
  const double full = 10.0 * std::log10(1.0 / static_cast<double>(w * channels));
  EXPECT_NEAR(level_with_spike_at(0), full, 1e-9);
  EXPECT_NEAR(level_with_spike_at(count * w - 1), full, 1e-9);
  if (last != 0) {
    EXPECT_NEAR(level_with_spike_at(frames - 1),
                10.0 * std::log10(1.0 / static_cast<double>(last * channels)), 1e-9);
  }
}
INSTANTIATE_TEST_SUITE_P(Rates, Windows,
                         ::testing::Values(WindowCase{48000, 2, 2400, 20, 0},
                                           WindowCase{44100, 1, 2205, 20, 0},
                                           WindowCase{22050, 1, 1102, 20, 10},
                                           WindowCase{8000, 3, 400, 20, 0},
                                           WindowCase{19, 1, 1, 19, 0}));

TEST(Rms, SilentStartThenMinus20) {
  const double amp = std::pow(10.0, -20.0 / 20.0) * std::sqrt(2.0);  // -20 dB RMS sine
  std::vector<double> s(48000, 0.0);
  for (std::size_t i = 2400; i < s.size(); ++i) {
    s[i] = amp * std::sin(2.0 * std::numbers::pi * 1000.0 * static_cast<double>(i) / 48000.0);
  }
  const AudioData a = make_audio(48000, 1, s);
  EXPECT_NEAR(calculate_rms_max(a), -20.0, 0.01);
  // The whole signal: 19 of 20 windows sound.
  EXPECT_NEAR(calculate_rms_average(a), -20.0 + 10.0 * std::log10(0.95), 0.01);
}

}  // namespace
}  // namespace sonorik::analysis
