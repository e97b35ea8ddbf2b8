// The engine's parts run side by side on the pool, the loudness meter past
// the others' per-block barrier: over many blocks (and under TSan) its
// readings stay those of one libebur128 meter fed the same frames.
#include "analysis/engine.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <vector>

#include "analysis/meter.h"

namespace sonorik::analysis {
namespace {

// With every part, and with the loudness meter alone (nothing else then
// orders its work against the reader's).
class EngineRun : public ::testing::TestWithParam<bool> {};

TEST_P(EngineRun, ManyBlocksReadAsOneMeter) {
  const bool every_part = GetParam();
  constexpr unsigned kChannels = 2;
  constexpr std::uint32_t kRate = 48000;
  // 13.7 s: a dozen blocks and a short last one.
  std::vector<double> audio(static_cast<std::size_t>(kRate * 13.7) * kChannels);
  std::mt19937_64 gen(17);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (std::size_t i = 0; i < audio.size(); ++i) {
    const double level =
        (i / (kRate * kChannels)) % 3 == 0 ? 0.6 : 0.05;  // loud every third second
    audio[i] = level * uniform(gen);
  }
  const std::size_t frames = audio.size() / kChannels;

  const int mode = Meter::kModeM | Meter::kModeS | Meter::kModeI | Meter::kModeLra;
  EngineConfig config;
  config.channels = kChannels;
  config.rate_hz = kRate;
  config.loudness_mode = mode;
  config.step_frames = kRate / 10;
  config.range_blocks = true;
  config.channel_sums = true;
  config.true_peak = config.rms = config.channel_loudness = every_part;
  std::vector<double> short_term;  // every step's short-term reading, in order
  config.on_step = [&](const StepReading& r) {
    short_term.push_back(r.short_term_lufs.value_or(NAN));
  };
  std::size_t at = 0;
  // Uneven reads, some shorter than a block.
  const Engine::Reader read = [&](double* out, std::size_t max_frames) -> Result<std::size_t> {
    const std::size_t n =
        std::min({max_frames, frames - at, (at / 7919) % 2 ? max_frames : std::size_t{20011}});
    std::memcpy(out, audio.data() + at * kChannels, n * kChannels * sizeof(double));
    at += n;
    return n;
  };
  Result<EngineResult> got = Engine::run(config, read);
  ASSERT_TRUE(got.ok());
  EXPECT_EQ(got->frames, frames);

  Result<Meter> meter = Meter::create(kChannels, kRate, mode | Meter::kModeTruePeak);
  ASSERT_TRUE(meter.ok());
  std::vector<double> expected_short_term, range_blocks;
  for (std::size_t f = 0; f < frames; f += kRate / 10) {
    const std::size_t n = std::min<std::size_t>(kRate / 10, frames - f);
    ASSERT_TRUE(meter->add_frames(audio.data() + f * kChannels, n));
    expected_short_term.push_back(meter->shortterm().value_or(NAN));
    const std::size_t steps = (f + n) / (kRate / 10);
    if (n == kRate / 10 && steps >= 30 && (steps - 30) % 10 == 0)
      range_blocks.push_back(*meter->shortterm());
  }
  ASSERT_EQ(short_term.size(), expected_short_term.size());
  // Step readings are composed from 100 ms block energies: equal to the last bits.
  for (std::size_t i = 30; i < short_term.size(); ++i)
    EXPECT_NEAR(short_term[i], expected_short_term[i], 1e-9) << i;
  EXPECT_EQ(got->integrated_lufs, meter->global());
  EXPECT_EQ(got->range_lu, meter->range());
  EXPECT_EQ(got->range_block_lufs, range_blocks);
  ASSERT_EQ(got->true_peak.size(), every_part ? kChannels : 0u);
  for (unsigned c = 0; c < got->true_peak.size(); ++c)
    EXPECT_EQ(got->true_peak[c], *meter->true_peak(c)) << c;
}
INSTANTIATE_TEST_SUITE_P(Parts, EngineRun, ::testing::Bool());

}  // namespace
}  // namespace sonorik::analysis
