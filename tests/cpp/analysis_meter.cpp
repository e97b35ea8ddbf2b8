// Every meter mode the library creates, at every low rate and at the top
// rate, fed past its first gating block. Run under valgrind's memcheck (make
// test-memcheck), this shows that no meter writes outside its buffer inside
// libebur128, which the sanitizers cannot see into.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "analysis/meter.h"

namespace sonorik {
namespace {

// The modes in use: every union of momentary, short-term, integrated and
// range (the combined loudness pass), and true peak alone.
std::vector<int> modes_in_use() {
  const int parts[] = {Meter::kModeM, Meter::kModeS, Meter::kModeI, Meter::kModeLra};
  std::vector<int> modes{Meter::kModeTruePeak};
  for (int set = 1; set < 16; ++set) {
    int mode = 0;
    for (int b = 0; b < 4; ++b) {
      if (set & (1 << b)) mode |= parts[b];
    }
    modes.push_back(mode);
  }
  return modes;
}

// Feeds 5 blocks of 100 ms of a full-scale square (every reading finite),
// `chunk` frames at a time, and reads what the mode offers.
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

// The top rate, one channel in every mode, and the widest layout in the
// modes whose buffer is the 400 ms one (3 s of 64 channels would be 4 GiB).
TEST(Meter, EveryModeAtTheTopRate) {
  for (int mode : modes_in_use()) {
    feed_and_read(1, Meter::kMaxRateHz, mode, 100000);
    if ((mode & Meter::kModeS) != Meter::kModeS) {
      feed_and_read(Meter::kMaxChannels, Meter::kMaxRateHz, mode, 40000);
    }
  }
}

// Where the buffer had to be lengthened, the readings are those of a meter
// whose buffer is that long by its own modes.
TEST(Meter, LengthenedBufferReadsAsTheShortTermMode) {
  for (unsigned long rate : {16ul, 17ul}) {
    Result<Meter> alone = Meter::create(1, rate, Meter::kModeM | Meter::kModeI);
    Result<Meter> with_s = Meter::create(1, rate, Meter::kModeM | Meter::kModeI | Meter::kModeS);
    ASSERT_TRUE(alone.ok() && with_s.ok());
    std::vector<double> x(200);
    for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.7 * static_cast<double>(i)) * static_cast<double>(1 + i % 5) / 5.0;
    ASSERT_TRUE(alone->add_frames(x.data(), x.size()) && with_s->add_frames(x.data(), x.size()));
    EXPECT_EQ(alone->momentary().value(), with_s->momentary().value()) << rate;
    EXPECT_EQ(alone->global().value(), with_s->global().value()) << rate;
  }
}

}  // namespace
}  // namespace sonorik
