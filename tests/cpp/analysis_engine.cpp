// The engine's parts run side by side on the pool, the loudness meter past
// the others' per-block barrier: over many blocks (and under TSan) its
// readings stay those of one libebur128 meter fed the same frames, whatever
// the cut of the frames pushed in, and its gating blocks pool as the
// library's do.
#include "analysis/engine.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

#include "analysis/gating.h"
#include "analysis/meter.h"

namespace sonorik::analysis {
namespace {

// Noise of `channels` channels, loud every third second.
std::vector<double> noise(unsigned channels, std::uint32_t rate, double seconds, unsigned seed) {
  std::vector<double> audio(static_cast<std::size_t>(rate * seconds) * channels);
  std::mt19937_64 gen(seed);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (std::size_t i = 0; i < audio.size(); ++i)
    audio[i] = ((i / (rate * channels)) % 3 == 0 ? 0.6 : 0.05) * uniform(gen);
  return audio;
}

// With every part, and with the loudness meter alone (nothing else then
// orders its work against the reader's).
class EngineRun : public ::testing::TestWithParam<bool> {};

TEST_P(EngineRun, ManyBlocksReadAsOneMeter) {
  const bool every_part = GetParam();
  constexpr unsigned kChannels = 2;
  constexpr std::uint32_t kRate = 48000;
  // 13.7 s: a dozen blocks and a short last one.
  const std::vector<double> audio = noise(kChannels, kRate, 13.7, 17);
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

// Every reading of a run as doubles (NaN for absent): the step readings and
// the RMS blocks (each callback on its own thread), then the result.
struct Readings {
  std::vector<double> steps, blocks, values;
  static void add(std::vector<double>& to, std::optional<double> v) {
    to.push_back(v.value_or(NAN));
  }
  void add(const std::vector<double>& v) { values.insert(values.end(), v.begin(), v.end()); }
  void add(const EngineResult& r) {
    values.push_back(static_cast<double>(r.frames));
    for (std::optional<double> v : {r.integrated_lufs, r.relative_gate_lufs, r.range_lu})
      add(values, v);
    for (std::optional<double> v : r.channel_integrated_lufs) add(values, v);
    add(r.range_block_lufs), add(r.true_peak), add(r.step_true_peak), add(r.sample_peak);
    add(r.gating_block_energies.value_or(std::vector<double>{}));
    add(steps), add(blocks);
  }
};

// Pushed in random cuts (0 frames, 1 frame, up to three blocks), every
// reading is the one of a run over a reader, to the bit; with KMeter (2
// channels) and with the library's meter and one meter per channel (10).
class EngineFeed : public ::testing::TestWithParam<unsigned> {};

TEST_P(EngineFeed, AnyCutReadsAsOneRun) {
  const unsigned channels = GetParam();
  constexpr std::uint32_t kRate = 48000;
  const std::vector<double> audio = noise(channels, kRate, 4.3, channels);
  const std::size_t frames = audio.size() / channels;
  const auto measure = [&](Readings& out, const auto& push) -> EngineResult {
    EngineConfig config;
    config.channels = channels;
    config.rate_hz = kRate;
    config.loudness_mode = Meter::kModeM | Meter::kModeS | Meter::kModeI | Meter::kModeLra;
    config.range_blocks = config.channel_loudness = config.channel_sums = true;
    config.step_true_peaks = true;
    config.on_step = [&](const StepReading& r) {
      out.steps.push_back(static_cast<double>(r.end_frame));
      Readings::add(out.steps, r.momentary_lufs), Readings::add(out.steps, r.short_term_lufs);
    };
    config.on_rms_block = [&](const RmsBlock& b) {
      out.blocks.push_back(b.sum);
      out.blocks.insert(out.blocks.end(), b.channel_sums.begin(), b.channel_sums.end());
    };
    Result<EngineResult> r = push(config);
    EXPECT_TRUE(r.ok());
    return r.ok() ? std::move(r).value() : EngineResult{};
  };
  Readings whole, cut;
  whole.add(measure(whole, [&](const EngineConfig& config) {
    std::size_t at = 0;
    return Engine::run(config, [&](double* out, std::size_t max) -> Result<std::size_t> {
      const std::size_t n = std::min(max, frames - at);
      std::copy_n(audio.data() + at * channels, n * channels, out);
      at += n;
      return n;
    });
  }));
  std::mt19937 gen(channels);
  const std::size_t block = Engine::block_frames(channels);
  cut.add(measure(cut, [&](const EngineConfig& config) {
    Engine engine(config);
    for (std::size_t at = 0; at < frames;) {
      const std::size_t pick = gen() % 4;
      const std::size_t n = std::min(frames - at, pick == 0   ? gen() % 2
                                                  : pick == 1 ? 1 + gen() % 64
                                                              : 1 + gen() % (3 * block));
      EXPECT_TRUE(engine.feed(audio.data() + at * channels, n).ok());
      at += n;
    }
    Result<EngineResult> r = engine.finish();
    EXPECT_FALSE(engine.feed(audio.data(), 1).ok());
    return r;
  }));
  ASSERT_EQ(whole.values.size(), cut.values.size());
  EXPECT_EQ(
      0, std::memcmp(whole.values.data(), cut.values.data(), whole.values.size() * sizeof(double)));
  EXPECT_EQ(whole.values[0], static_cast<double>(frames));
}
INSTANTIATE_TEST_SUITE_P(Channels, EngineFeed, ::testing::Values(2u, 10u));

// Two programmes' gating blocks, pooled, gate as the library's meters of
// both programmes do together.
TEST(EngineGatingBlocks, PoolAsTheLibraryPoolsMeters) {
  constexpr std::uint32_t kRate = 44100;
  struct Free {
    void operator()(ebur128_state* s) const { ebur128_destroy(&s); }
  };
  std::vector<double> pooled;
  std::unique_ptr<ebur128_state, Free> states[2];
  ebur128_state* raw[2];
  for (unsigned i = 0; i < 2; ++i) {
    std::vector<double> audio = noise(2, kRate, 5.0 + 3.0 * i, 40 + i);
    for (double& v : audio) v *= i == 0 ? 1.0 : 0.5;
    EngineConfig config;
    config.channels = 2;
    config.rate_hz = kRate;
    config.loudness_mode = Meter::kModeI;
    config.true_peak = config.rms = false;
    Engine engine(config);
    ASSERT_TRUE(engine.feed(audio.data(), audio.size() / 2).ok());
    Result<EngineResult> r = engine.finish();
    ASSERT_TRUE(r.ok() && r->gating_block_energies);
    pooled.insert(pooled.end(), r->gating_block_energies->begin(), r->gating_block_energies->end());
    states[i].reset(raw[i] = ebur128_init(2, kRate, EBUR128_MODE_I));
    ASSERT_NE(raw[i], nullptr);
    ASSERT_EQ(ebur128_add_frames_double(raw[i], audio.data(), audio.size() / 2), EBUR128_SUCCESS);
  }
  double library = 0.0;
  ASSERT_EQ(ebur128_loudness_global_multiple(raw, 2, &library), EBUR128_SUCCESS);
  EXPECT_EQ(gated_integrated_lufs(pooled), library);
}

}  // namespace
}  // namespace sonorik::analysis
