#include "analysis/k_meter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "analysis/meter.h"

namespace sonorik::analysis {
namespace {

constexpr int kAll = Meter::kModeM | Meter::kModeS | Meter::kModeI | Meter::kModeLra;

// Programme-like material: noise whose level changes every 0.7 s (with a
// silent stretch and a stretch near the denormal range), each channel its own.
std::vector<double> programme(unsigned long rate_hz, unsigned channels, double seconds) {
  std::mt19937_64 gen(rate_hz * 131 + channels);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  const auto frames = static_cast<std::size_t>(static_cast<double>(rate_hz) * seconds);
  const double levels[] = {0.5, 0.02, 1.0, 0.0, 1e-158, 0.2, 0.001, 0.8};
  std::vector<double> s(frames * channels);
  for (std::size_t f = 0; f < frames; ++f) {
    const std::size_t segment = f * 10 / (static_cast<std::size_t>(rate_hz) * 7) % 8;
    for (unsigned c = 0; c < channels; ++c)
      s[f * channels + c] = levels[segment] * (1.0 - 0.07 * c) * uniform(gen);
  }
  return s;
}

bool same(std::optional<double> a, std::optional<double> b) {
  return a.has_value() == b.has_value() && (!a || std::memcmp(&*a, &*b, sizeof(double)) == 0);
}

// Every reading of ours equals the library meter's, bit for bit, at the end
// of each uneven piece (or of each 100 ms block, where the range takes its
// short-term readings).
void expect_meter_readings(unsigned long rate_hz, unsigned channels, int mode,
                           const std::vector<int>& roles, double seconds, unsigned bits,
                           bool whole_blocks = false) {
  const std::vector<double> s = programme(rate_hz, channels, seconds);
  const std::size_t frames = s.size() / channels;
  Result<Meter> meter = Meter::create(channels, rate_hz, mode);
  ASSERT_TRUE(meter.ok());
  for (std::size_t c = 0; c < roles.size(); ++c)
    ASSERT_TRUE(meter->set_channel(static_cast<unsigned>(c), roles[c]));
  std::vector<Meter> singles;
  for (unsigned c = 0; c < channels; ++c)
    singles.push_back(Meter::create(1, rate_hz, Meter::kModeI).value());
  std::optional<KMeter> ours = KMeter::create(channels, rate_hz, mode, roles, true, bits);
  ASSERT_TRUE(ours.has_value());
  std::vector<double> one;
  std::vector<std::optional<double>>
      taken;  // the meter's short-term readings where the range takes them
  std::size_t at = 0;
  for (std::size_t piece = 1; at < frames; piece = piece * 3 + 7) {
    const std::size_t n =
        std::min(frames - at, whole_blocks ? (rate_hz + 5) / 10 : piece % (rate_hz / 3 + 11));
    ASSERT_TRUE(meter->add_frames(s.data() + at * channels, n));
    ASSERT_TRUE(ours->add_frames(s.data() + at * channels, n));
    for (unsigned c = 0; c < channels; ++c) {
      one.resize(n);
      for (std::size_t f = 0; f < n; ++f) one[f] = s[(at + f) * channels + c];
      ASSERT_TRUE(singles[c].add_frames(one.data(), n));
    }
    at += n;
    const std::size_t block = (rate_hz + 5) / 10;
    if (whole_blocks && at >= 30 * block && (at / block - 30) % 10 == 0)
      taken.push_back(meter->shortterm());
    ASSERT_TRUE(same(ours->momentary(), meter->momentary())) << at;
    ASSERT_TRUE(same(ours->shortterm(), meter->shortterm())) << at;
    ASSERT_TRUE(same(ours->window(100), meter->window(100))) << at;
  }
  EXPECT_TRUE(same(ours->global(), meter->global()));
  EXPECT_TRUE(same(ours->relative_threshold(), meter->relative_threshold()));
  EXPECT_TRUE(same(ours->range(), meter->range()));
  if (whole_blocks) {
    const std::vector<double> readings = ours->range_readings();
    ASSERT_EQ(readings.size(), taken.size());
    for (std::size_t i = 0; i < taken.size(); ++i) EXPECT_TRUE(same(readings[i], taken[i])) << i;
  }
  for (unsigned c = 0; c < channels; ++c)
    EXPECT_TRUE(same(ours->channel_global(c), singles[c].global())) << c;
}

class KMeterRates : public testing::TestWithParam<std::tuple<unsigned long, unsigned>> {};

TEST_P(KMeterRates, ReadsAsTheMeter) {
  const auto [rate, channels] = GetParam();
  // The narrowest and the widest vectors (the processor's widest, at most 512 bits).
  for (unsigned bits : {128u, 512u}) {
    SCOPED_TRACE(bits);
    expect_meter_readings(rate, channels, kAll, {}, 4.3, bits);
  }
}

INSTANTIATE_TEST_SUITE_P(RatesAndChannels, KMeterRates,
                         testing::Combine(testing::Values(16ul, 17ul, 3000ul, 8000ul, 22050ul,
                                                          44100ul, 44101ul, 44107ul, 48000ul,
                                                          88200ul, 96000ul, 192000ul),
                                          testing::Values(1u, 2u, 6u, 8u)),
                         [](const auto& info) {
                           return std::to_string(std::get<0>(info.param)) + "Hz_" +
                                  std::to_string(std::get<1>(info.param)) + "ch";
                         });

// The integrated-only mode (a 400 ms ring) and assigned roles, weights included.
TEST(KMeter, ModesAndRolesReadAsTheMeter) {
  expect_meter_readings(48000, 2, Meter::kModeI, {}, 4.3, 512);
  expect_meter_readings(
      44100, 5, Meter::kModeM | Meter::kModeS | Meter::kModeI,
      {EBUR128_LEFT, EBUR128_UNUSED, EBUR128_Mp060, EBUR128_Mm090, EBUR128_CENTER}, 4.3, 512);
  expect_meter_readings(22050, 1, kAll, {EBUR128_DUAL_MONO}, 4.3, 512);
  // Range windows completed as the ring wraps (6.3 s) and still waiting at the end (5.3 s).
  expect_meter_readings(44100, 2, kAll, {}, 6.3, 512, true);
  expect_meter_readings(48000, 6, kAll, {}, 5.3, 128, true);
}

// Loud noise, then digital silence: the filter's output decays through the
// smallest numbers, where its blocks are redone, while range windows in
// waiting are completed from the frames those blocks replace.
TEST(KMeter, LoudThenSilenceReadsAsTheMeter) {
  std::mt19937_64 gen(7);
  std::uniform_real_distribution<double> uniform(-0.5, 0.5);
  for (double loud_s : {3.3, 5.0, 6.5}) {
    for (unsigned bits : {128u, 512u}) {
      const unsigned long rate = 16000;
      std::vector<double> s(rate * 12, 0.0);
      for (std::size_t i = 0; i < static_cast<std::size_t>(loud_s * rate); ++i)
        s[i] = uniform(gen) * static_cast<double>(1 + i / rate % 2);
      Result<Meter> meter = Meter::create(1, rate, kAll);
      std::optional<KMeter> ours = KMeter::create(1, rate, kAll, {}, false, bits);
      ASSERT_TRUE(meter.ok() && ours.has_value());
      for (std::size_t at = 0; at < s.size(); at += 4096) {
        const std::size_t n = std::min<std::size_t>(4096, s.size() - at);
        ASSERT_TRUE(meter->add_frames(s.data() + at, n) && ours->add_frames(s.data() + at, n));
      }
      EXPECT_TRUE(same(ours->range(), meter->range())) << loud_s << " s, " << bits << " bits";
    }
  }
}

// Meters filtered together read as each fed alone: one-channel meters, some
// lanes left empty, and mixes of channel counts, past the ring's wrap,
// through silence and the denormal range, in uneven pieces.
TEST(KMeter, TogetherReadsAsAlone) {
  for (const std::vector<unsigned>& counts :
       {std::vector<unsigned>{1, 1, 1, 1, 1, 1, 1, 1}, {1, 1, 1, 1, 1}, {2, 2, 2, 2},
        {1, 2, 1, 3, 1}, {2, 1}}) {
    const unsigned long rate = 8000;
    std::vector<std::vector<double>> signals;
    std::vector<std::optional<KMeter>> together, alone;
    for (std::size_t i = 0; i < counts.size(); ++i) {
      signals.push_back(programme(rate + i, counts[i], 7.3));  // each its own noise
      together.push_back(KMeter::create(counts[i], rate, kAll, {}, true));
      alone.push_back(KMeter::create(counts[i], rate, kAll, {}, true));
    }
    std::vector<KMeter*> meters;
    for (std::optional<KMeter>& k : together) meters.push_back(&*k);
    ASSERT_TRUE(KMeter::in_step(meters));
    const std::size_t frames = signals[0].size() / counts[0];
    std::vector<const double*> inputs(counts.size());
    for (std::size_t at = 0, piece = 1; at < frames; piece = piece * 3 + 7) {
      const std::size_t n = std::min(frames - at, piece % (rate / 3 + 11));
      for (std::size_t i = 0; i < counts.size(); ++i) {
        inputs[i] = signals[i].data() + at * counts[i];
        ASSERT_TRUE(alone[i]->add_frames(inputs[i], n));
      }
      ASSERT_TRUE(KMeter::add_frames_together(meters, inputs, n));
      at += n;
      for (std::size_t i = 0; i < counts.size(); ++i) {
        ASSERT_TRUE(same(together[i]->momentary(), alone[i]->momentary())) << at;
        ASSERT_TRUE(same(together[i]->shortterm(), alone[i]->shortterm())) << at;
      }
    }
    for (std::size_t i = 0; i < counts.size(); ++i) {
      EXPECT_TRUE(same(together[i]->global(), alone[i]->global())) << i;
      EXPECT_TRUE(same(together[i]->range(), alone[i]->range())) << i;
      for (unsigned c = 0; c < counts[i]; ++c)
        EXPECT_TRUE(same(together[i]->channel_global(c), alone[i]->channel_global(c))) << i;
    }
  }
}

TEST(KMeter, DeclinesWhatItDoesNotCover) {
  EXPECT_FALSE(KMeter::create(9, 48000, kAll, {}, false).has_value());
  EXPECT_FALSE(KMeter::create(2, 15, kAll, {}, false).has_value());
  EXPECT_FALSE(KMeter::create(2, 48000, kAll | EBUR128_MODE_HISTOGRAM, {}, false).has_value());
}

}  // namespace
}  // namespace sonorik::analysis
