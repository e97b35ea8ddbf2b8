#include "analysis/true_peak_filter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <limits>
#include <numbers>
#include <random>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "analysis/meter.h"

namespace sonorik::analysis {
namespace {

constexpr std::size_t kFrames = 3001;  // a few chunks, not a multiple of any lane count

enum class Signal { Noise, QuietNoise, FaintNoise, TinyNoise, Loud, Square, Impulse, NearNyquist, Short, NonFinite };
constexpr const char* kSignalNames[] = {"Noise",  "QuietNoise", "FaintNoise",  "TinyNoise", "Loud",
                                        "Square", "Impulse",    "NearNyquist", "Short",     "NonFinite"};

// Interleaved test audio; each channel differs (level, phase, position).
std::vector<double> make_signal(Signal kind, unsigned long rate_hz, unsigned channels) {
  std::mt19937_64 gen(20240611ULL + channels * 977 + rate_hz);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const std::size_t frames = kind == Signal::Short ? 7 : kFrames;
  std::vector<double> s(frames * channels, 0.0);
  for (std::size_t i = 0; i < frames; ++i) {
    for (unsigned c = 0; c < channels; ++c) {
      const double scale = 1.0 - 0.05 * c;
      double v = 0.0;
      switch (kind) {
        case Signal::Noise:
        case Signal::Short: v = scale * uniform(gen); break;
        case Signal::QuietNoise: v = 0.25 * scale * uniform(gen); break;
        case Signal::FaintNoise: v = 1e-3 * scale * uniform(gen); break;
        // Around the smallest normal float: the meter flushes what falls below.
        case Signal::TinyNoise: v = 3e-38 * scale * uniform(gen); break;
        case Signal::Loud: v = 4.0 * scale * uniform(gen); break;
        case Signal::Square: v = ((i + c) / (3 + c)) % 2 == 0 ? 1.0 : -1.0; break;
        case Signal::Impulse: v = i == 100 + 37 * c ? 0.7 : 0.0; break;
        case Signal::NearNyquist:
          v = std::sin(std::numbers::pi * (0.98 - 0.01 * c) * static_cast<double>(i) + 0.3 * c);
          break;
        case Signal::NonFinite:
          v = scale * uniform(gen);
          if (i == 500 + c) v = std::numeric_limits<double>::quiet_NaN();
          if (i == 1700 + c && c % 2 == 0) v = -std::numeric_limits<double>::infinity();
          break;
      }
      s[i * channels + c] = v;
    }
  }
  return s;
}

std::vector<double> meter_peaks(const std::vector<double>& s, unsigned channels,
                                unsigned long rate_hz) {
  Result<Meter> meter = Meter::create(channels, rate_hz, Meter::kModeTruePeak);
  EXPECT_TRUE(meter.ok());
  std::vector<double> out;
  if (!meter) return out;
  for (unsigned c = 0; c < channels; ++c) EXPECT_TRUE(meter->set_channel(c, EBUR128_UNUSED));
  EXPECT_TRUE(meter->add_frames(s.data(), s.size() / channels));
  for (unsigned c = 0; c < channels; ++c) out.push_back(meter->true_peak(c).value_or(NAN));
  return out;
}

// Readings after feeding `s` in pieces of the given sizes, cycled.
std::vector<double> filter_peaks(const std::vector<double>& s, unsigned channels,
                                 unsigned long rate_hz, const std::vector<std::size_t>& pieces,
                                 unsigned vector_bits = 512) {
  std::optional<TruePeakFilter> f = TruePeakFilter::create(channels, rate_hz, vector_bits);
  EXPECT_TRUE(f.has_value());
  std::vector<double> out;
  if (!f) return out;
  const std::size_t frames = s.size() / channels;
  for (std::size_t at = 0, p = 0; at < frames; ++p) {
    const std::size_t n = std::min(pieces[p % pieces.size()], frames - at);
    f->add_frames(s.data() + at * channels, n);
    at += n;
  }
  for (unsigned c = 0; c < channels; ++c) out.push_back(f->true_peak(c));
  return out;
}

void expect_same(const std::vector<double>& meter, const std::vector<double>& ours) {
  ASSERT_EQ(meter.size(), ours.size());
  for (std::size_t c = 0; c < meter.size(); ++c) EXPECT_EQ(meter[c], ours[c]) << "channel " << c;
}

using Case = std::tuple<unsigned long, unsigned, Signal>;
class SameAsMeter : public ::testing::TestWithParam<Case> {};

// Bit-equal to the meter at every vector width, fed at once or in odd pieces.
TEST_P(SameAsMeter, Readings) {
  const auto [rate, channels, kind] = GetParam();
  const std::vector<double> s = make_signal(kind, rate, channels);
  const std::vector<double> meter = meter_peaks(s, channels, rate);
  for (unsigned bits : {128u, 256u, 512u}) {
    SCOPED_TRACE(bits);
    expect_same(meter, filter_peaks(s, channels, rate, {s.size()}, bits));
  }
  expect_same(meter, filter_peaks(s, channels, rate, {1, 3, 11, 2, 1025, 5, 17, 1023, 7}));
}

INSTANTIATE_TEST_SUITE_P(
    Readings, SameAsMeter,
    ::testing::Combine(::testing::Values(16ul, 8000ul, 22050ul, 44100ul, 48000ul, 88200ul, 95999ul, 96000ul, 176400ul,
                                         191999ul, 192000ul, 384000ul, 2822400ul),
                       ::testing::Values(1u, 2u, 3u, 6u),
                       ::testing::Values(Signal::Noise, Signal::QuietNoise, Signal::FaintNoise, Signal::TinyNoise,
                                         Signal::Loud, Signal::Square, Signal::Impulse, Signal::NearNyquist,
                                         Signal::Short, Signal::NonFinite)),
    [](const ::testing::TestParamInfo<Case>& info) {
      return std::to_string(std::get<0>(info.param)) + "Hz_" + std::to_string(std::get<1>(info.param)) + "ch_" +
             kSignalNames[static_cast<int>(std::get<2>(info.param))];
    });

// Oversampling by rate, the meter's refusals, and zero before any input.
TEST(TruePeakFilter, LimitsAndEmptyInput) {
  const std::pair<unsigned long, unsigned> factors[] = {{15, 0},      {16, 4},      {95999, 4},   {96000, 2},
                                                        {191999, 2},  {192000, 1},  {2822400, 1}, {2822401, 0}};
  for (const auto& [rate, factor] : factors) EXPECT_EQ(TruePeakFilter::oversampling(rate), factor) << rate;
  EXPECT_FALSE(TruePeakFilter::create(0, 48000).has_value());
  EXPECT_FALSE(TruePeakFilter::create(65, 48000).has_value());
  EXPECT_FALSE(TruePeakFilter::create(2, 15).has_value());
  EXPECT_TRUE(TruePeakFilter::create(64, 48000).has_value());
  std::optional<TruePeakFilter> f = TruePeakFilter::create(2, 48000);
  ASSERT_TRUE(f.has_value());
  f->add_frames(nullptr, 0);
  EXPECT_EQ(f->true_peak(0), 0.0);
  EXPECT_EQ(f->true_peak(1), 0.0);
}

}  // namespace
}  // namespace sonorik::analysis
