// The true-peak filter reads what the meter reads, bit for bit, at every rate
// band, vector width and split of the input.
#include "analysis/true_peak_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <numbers>
#include <random>
#include <tuple>
#include <vector>

#include "analysis/meter.h"

namespace sonorik::analysis {
namespace {

// Kinds: 0-3 noise at 1, 1e-3, 3e-38 (near the smallest normal float, which the meter flushes) and
// 4, 4 a square, 5 an impulse, 6 a tone near Nyquist, 7 seven frames, 8 noise with NaN and -inf, 9
// a loud sample, then quiet noise with a burst whose overshoot between samples is the peak (where
// the filter leaves out outputs that cannot beat the peak so far).

std::vector<double> make_signal(int kind, unsigned long rate_hz, unsigned channels) {
  std::mt19937_64 gen(20240611ULL + channels * 977 + rate_hz);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const std::size_t frames = kind == 7 ? 7 : 3001;
  const double levels[] = {1.0, 1e-3, 3e-38, 4.0};
  std::vector<double> s(frames * channels, 0.0);
  for (std::size_t i = 0; i < frames; ++i) {
    for (unsigned c = 0; c < channels; ++c) {
      double& v = s[i * channels + c];
      if (kind < 4 || kind >= 7)
        v = (1.0 - 0.05 * c) * (kind < 4 ? levels[kind] : 1.0) * uniform(gen);
      if (kind == 4) v = ((i + c) / (3 + c)) % 2 == 0 ? 1.0 : -1.0;
      if (kind == 5) v = i == 100 + 37 * c ? 0.7 : 0.0;
      if (kind == 6)
        v = std::sin(std::numbers::pi * (0.98 - 0.01 * c) * static_cast<double>(i) + 0.3 * c);
      if (kind == 8 && i == 500 + c) v = std::numeric_limits<double>::quiet_NaN();
      if (kind == 8 && i == 1700 + c && c % 2 == 0) v = -HUGE_VAL;
      if (kind == 9)
        v = i == 10 ? 0.9 : i >= 1532 && i < 1536 ? (i < 1534 ? 0.75 : -0.75) : 0.05 * uniform(gen);
    }
  }
  return s;
}

using Case = std::tuple<unsigned long, unsigned, int>;
class SameAsMeter : public ::testing::TestWithParam<Case> {};

TEST_P(SameAsMeter, Readings) {
  const auto [rate, channels, kind] = GetParam();
  const std::vector<double> s = make_signal(kind, rate, channels);
  const std::size_t frames = s.size() / channels;
  Result<Meter> meter = Meter::create(channels, rate, Meter::kModeTruePeak);
  ASSERT_TRUE(meter.ok());
  for (unsigned c = 0; c < channels; ++c) ASSERT_TRUE(meter->set_channel(c, EBUR128_UNUSED));
  ASSERT_TRUE(meter->add_frames(s.data(), frames));
  // At once at every vector width, and in odd pieces at the widest.
  const std::vector<std::size_t> pieces[] = {
      {frames}, {frames}, {frames}, {1, 3, 11, 2, 1025, 5, 17, 1023, 7}};
  for (int run = 0; run < 4; ++run) {
    std::optional<TruePeakFilter> f =
        TruePeakFilter::create(channels, rate, 128u << std::min(run, 2));
    ASSERT_TRUE(f.has_value());
    for (std::size_t at = 0, p = 0; at < frames; ++p) {
      const std::size_t n = std::min(pieces[run][p % pieces[run].size()], frames - at);
      f->add_frames(s.data() + at * channels, n);
      at += n;
    }
    for (unsigned c = 0; c < channels; ++c)
      EXPECT_EQ(f->true_peak(c), meter->true_peak(c).value_or(NAN)) << run << " " << c;
  }
  // The last channel alone, read in place from the frames (as the engine
  // splits channels among its workers), at every width; the first part in a
  // buffer of its own that ends with a whole number of vectors.
  const std::size_t head = std::min<std::size_t>(frames, 2992);
  const std::vector<double> first(s.begin(),
                                  s.begin() + static_cast<std::ptrdiff_t>(head * channels));
  for (unsigned bits : {128u, 256u, 512u}) {
    std::optional<TruePeakFilter> f = TruePeakFilter::create(1, rate, bits);
    ASSERT_TRUE(f.has_value());
    f->add_frames(first.data() + channels - 1, head, channels);
    f->add_frames(s.data() + head * channels + channels - 1, frames - head, channels);
    EXPECT_EQ(f->true_peak(0), meter->true_peak(channels - 1).value_or(NAN)) << bits;
  }
  // After reset_peaks, the peak of what came since, as the meter gives its last call's.
  const std::size_t cut = frames / 2;
  Result<Meter> last = Meter::create(channels, rate, Meter::kModeTruePeak);
  ASSERT_TRUE(last.ok());
  std::optional<TruePeakFilter> f = TruePeakFilter::create(channels, rate);
  for (unsigned c = 0; c < channels; ++c) ASSERT_TRUE(last->set_channel(c, EBUR128_UNUSED));
  ASSERT_TRUE(last->add_frames(s.data(), cut) &&
              last->add_frames(s.data() + cut * channels, frames - cut));
  f->add_frames(s.data(), cut);
  f->reset_peaks();
  f->add_frames(s.data() + cut * channels, frames - cut);
  for (unsigned c = 0; c < channels; ++c)
    EXPECT_EQ(f->true_peak(c), last->previous_true_peak(c).value_or(NAN)) << c;
}
INSTANTIATE_TEST_SUITE_P(Readings, SameAsMeter,
                         ::testing::Combine(::testing::Values(16ul, 22050ul, 48000ul, 95999ul,
                                                              96000ul, 176400ul, 191999ul, 192000ul,
                                                              2822400ul),
                                            ::testing::Values(1u, 2u, 6u),
                                            ::testing::Range(0, 10)));

// The meter's refusals, and zero before any input.
TEST(TruePeakFilter, LimitsAndEmptyInput) {
  EXPECT_FALSE(TruePeakFilter::create(0, 48000) || TruePeakFilter::create(65, 48000) ||
               TruePeakFilter::create(2, 15) || TruePeakFilter::create(1, 2822401));
  std::optional<TruePeakFilter> f = TruePeakFilter::create(64, 48000);
  ASSERT_TRUE(f.has_value());
  f->add_frames(nullptr, 0);
  EXPECT_EQ(f->true_peak(63), 0.0);
}

}  // namespace
}  // namespace sonorik::analysis
