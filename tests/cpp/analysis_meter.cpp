// Every meter mode the library creates at every low rate and at the top rate,
// past the first gating block; `make test-memcheck` runs it under valgrind,
// which sees inside libebur128 where the sanitizers cannot.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "analysis/meter.h"

namespace sonorik {
namespace {

// True peak alone, and every union of momentary, short-term, integrated and range.
std::vector<int> modes_in_use() {
  const int parts[] = {Meter::kModeM, Meter::kModeS, Meter::kModeI, Meter::kModeLra};
  std::vector<int> modes{Meter::kModeTruePeak};
  for (int set = 1; set < 16; ++set) {
    modes.push_back((set & 1 ? parts[0] : 0) | (set & 2 ? parts[1] : 0) | (set & 4 ? parts[2] : 0) |
                    (set & 8 ? parts[3] : 0));
  }
  return modes;
}

// Five 100 ms blocks of a square (every reading finite), `chunk` frames at a time.
void feed_and_read(unsigned channels, unsigned long rate_hz, int mode, std::size_t chunk) {
  const std::string where = "rate " + std::to_string(rate_hz) + " Hz, " + std::to_string(channels) +
                            " channels, mode " + std::to_string(mode);
  Result<Meter> meter = Meter::create(channels, rate_hz, mode);
  ASSERT_TRUE(meter.ok()) << where;
  const std::size_t block = (rate_hz + 5) / 10;
  std::vector<double> frames(chunk * channels);
  for (std::size_t i = 0; i < frames.size(); ++i) frames[i] = (i / channels) % 4 < 2 ? 0.5 : -0.5;
  for (std::size_t fed = 0; fed < 5 * block; fed += chunk) {
    ASSERT_TRUE(meter->add_frames(frames.data(), chunk)) << where;
  }
  if ((mode & Meter::kModeM) == Meter::kModeM) {
    EXPECT_TRUE(std::isfinite(meter->momentary().value())) << where;
  }
  if ((mode & Meter::kModeI) == Meter::kModeI) {
    EXPECT_TRUE(std::isfinite(meter->global().value())) << where;
  }
  if ((mode & Meter::kModeTruePeak) == Meter::kModeTruePeak) {
    EXPECT_GT(meter->true_peak(0).value(), 0.4) << where;
  }
}

TEST(Meter, EveryModeAtEveryLowRate) {
  for (int mode : modes_in_use()) {
    for (unsigned long rate = Meter::kMinRateHz; rate <= 400; ++rate) {
      feed_and_read(rate % 3 == 0 ? 2 : 1, rate, mode, rate % 2 == 0 ? 1 : 7);
    }
  }
}

// The widest layout only where the buffer is 400 ms (3 s of 64 channels: 4 GiB).
TEST(Meter, EveryModeAtTheTopRate) {
  for (int mode : modes_in_use()) {
    feed_and_read(1, Meter::kMaxRateHz, mode, 100000);
    if ((mode & Meter::kModeS) != Meter::kModeS) {
      feed_and_read(Meter::kMaxChannels, Meter::kMaxRateHz, mode, 40000);
    }
  }
}

// A buffer lengthened at the lowest rates reads as one long by its own modes.
TEST(Meter, LengthenedBufferReadsAsTheShortTermMode) {
  for (unsigned long rate : {16ul, 17ul}) {
    Result<Meter> alone = Meter::create(1, rate, Meter::kModeM | Meter::kModeI);
    Result<Meter> with_s = Meter::create(1, rate, Meter::kModeM | Meter::kModeI | Meter::kModeS);
    ASSERT_TRUE(alone.ok() && with_s.ok());
    std::vector<double> x(200);
    for (std::size_t i = 0; i < x.size(); ++i)
      x[i] = std::sin(0.7 * static_cast<double>(i)) * static_cast<double>(1 + i % 5) / 5.0;
    ASSERT_TRUE(alone->add_frames(x.data(), x.size()) && with_s->add_frames(x.data(), x.size()));
    EXPECT_EQ(alone->momentary().value(), with_s->momentary().value()) << rate;
    EXPECT_EQ(alone->global().value(), with_s->global().value()) << rate;
  }
}

}  // namespace
}  // namespace sonorik
