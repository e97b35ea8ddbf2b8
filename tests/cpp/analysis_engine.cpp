// The engine's parts run side by side on the pool, the loudness meter past
// the others' per-block barrier: over many blocks (and under TSan) its
// readings stay those of one libebur128 meter fed the same frames, whatever
// the cut of the frames pushed in and the flushes, copies read as the audio
// so far, and gating blocks pool as the library's do.
#include "analysis/engine.h"

#include <ebur128.h>
#include <gtest/gtest.h>
#include <signal.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <optional>
#include <random>
#include <vector>

#include "analysis/album.h"
#include "analysis/meter.h"
#include "analysis/standard_measurement.h"
#include "core/interrupt.h"

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

  const int mode = Meter::kModeM | Meter::kModeS | Meter::kModeI;
  EngineConfig config;
  config.channels = kChannels;
  config.rate_hz = kRate;
  config.loudness_mode = mode;
  config.step_frames = kRate / 10;
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
  std::vector<double> expected_short_term;
  for (std::size_t f = 0; f < frames; f += kRate / 10) {
    const std::size_t n = std::min<std::size_t>(kRate / 10, frames - f);
    ASSERT_TRUE(meter->add_frames(audio.data() + f * kChannels, n));
    expected_short_term.push_back(meter->shortterm().value_or(NAN));
  }
  ASSERT_EQ(short_term.size(), expected_short_term.size());
  // Step readings are composed from 100 ms block energies: equal to the last bits.
  for (std::size_t i = 30; i < short_term.size(); ++i)
    EXPECT_NEAR(short_term[i], expected_short_term[i], 1e-9) << i;
  EXPECT_EQ(got->integrated_lufs, meter->global());
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
    for (std::optional<double> v : {r.integrated_lufs, r.relative_gate_lufs}) add(values, v);
    for (std::optional<double> v : r.channel_integrated_lufs) add(values, v);
    add(r.true_peak), add(r.step_true_peak), add(r.sample_peak);
    add(r.gating_block_energies.value_or(std::vector<double>{}));
    add(steps), add(blocks);
  }
};

// Pushed in random cuts (0 frames, 1 frame, up to three blocks) with
// random flushes, every reading is the one of a run over a reader, to the
// bit; so is a copy taken part-way and finished, while the original goes on.
// With KMeter (2 channels) and with the library's meter and one meter per
// channel (10: no copy).
class EngineFeed : public ::testing::TestWithParam<unsigned> {};

TEST_P(EngineFeed, AnyCutAndFlushReadsAsOneRun) {
  const unsigned channels = GetParam();
  constexpr std::uint32_t kRate = 44100;  // steps and RMS blocks of an even length, not of 4
  const std::vector<double> audio = noise(channels, kRate, 4.3, channels);
  const std::size_t frames = audio.size() / channels;
  const auto configure = [&](Readings& out) {
    EngineConfig config;
    config.channels = channels;
    config.rate_hz = kRate;
    config.channel_loudness = config.channel_sums = config.step_true_peaks = true;
    config.on_step = [&out](const StepReading& r) {
      out.steps.push_back(static_cast<double>(r.end_frame));
      Readings::add(out.steps, r.momentary_lufs), Readings::add(out.steps, r.short_term_lufs);
    };
    config.on_rms_block = [&out](const RmsBlock& b) {
      out.blocks.push_back(b.sum);
      out.blocks.insert(out.blocks.end(), b.channel_sums.begin(), b.channel_sums.end());
    };
    return config;
  };
  const auto run = [&](std::size_t n) {  // the first n frames over a reader
    Readings out;
    std::size_t at = 0;
    Result<EngineResult> r = Engine::run(configure(out), [&](double* to, std::size_t max) {
      const std::size_t k = std::min(max, n - at);
      std::copy_n(audio.data() + at * channels, k * channels, to);
      at += k;
      return Result<std::size_t>(k);
    });
    EXPECT_TRUE(r.ok());
    out.add(r.ok() ? *r : EngineResult{});
    return out.values;
  };
  std::mt19937 gen(channels);
  const std::size_t block = Engine::block_frames(channels);
  std::size_t copy_at = frames / 3 + gen() % (frames / 3);  // then where it was taken, or 0
  Readings cut, copied;
  Engine engine(configure(cut));
  std::optional<Engine> copy;
  for (std::size_t at = 0; at < frames;) {
    const std::size_t pick = gen() % 5;
    if (pick == 4) {
      ASSERT_TRUE(engine.flush().ok());
    }
    const std::size_t n = std::min(frames - at, pick == 0   ? gen() % 2
                                                : pick == 1 ? 1 + gen() % 64
                                                            : 1 + gen() % (3 * block));
    ASSERT_TRUE(engine.feed(audio.data() + at * channels, n).ok());
    at += n;
    if (!copy && copy_at != 0 && at >= copy_at) {
      EXPECT_EQ(engine.frames_fed(), at);
      const EngineConfig to = configure(copied);
      Result<Engine> c = engine.copy(to.on_step, to.on_rms_block);
      ASSERT_EQ(c.ok(), channels <= 8);
      if (c.ok()) {
        copy.emplace(std::move(c).value());
        copy_at = at;
        copied.steps = cut.steps;  // the callbacks' readings so far
        copied.blocks = cut.blocks;
      } else {
        EXPECT_EQ(c.error().message(), kNoReadingsSoFar);
        copy_at = 0;
      }
    }
  }
  Result<EngineResult> r = engine.finish();
  ASSERT_TRUE(r.ok());
  cut.add(*r);
  EXPECT_FALSE(engine.feed(audio.data(), 1).ok());
  const std::vector<double> whole = run(frames);
  ASSERT_EQ(whole.size(), cut.values.size());
  EXPECT_EQ(0, std::memcmp(whole.data(), cut.values.data(), whole.size() * sizeof(double)));
  EXPECT_EQ(whole[0], static_cast<double>(frames));
  if (!copy) return;
  Result<EngineResult> c = copy->finish();
  ASSERT_TRUE(c.ok());
  copied.add(*c);
  const std::vector<double> prefix = run(copy_at);
  ASSERT_EQ(prefix.size(), copied.values.size());
  EXPECT_EQ(0, std::memcmp(prefix.data(), copied.values.data(), prefix.size() * sizeof(double)));
}
INSTANTIATE_TEST_SUITE_P(Channels, EngineFeed, ::testing::Values(2u, 10u));

// Programmes run together read as each run alone, to the bit: one-channel
// ones of many blocks and of none, two and ten channels, another rate, a
// header that promised fewer frames than came, and a reader that fails
// part-way (its error its own, the others unharmed).
TEST(EngineTogether, ReadsAsEachRunAlone) {
  struct Programme {
    unsigned channels;
    std::uint32_t rate;
    double seconds;
    std::uint64_t expected_frames;
    std::size_t fails_at;  // 0: never
  };
  const std::vector<Programme> programmes = {
      {1, 44100, 9.1, 0, 0},     {1, 44100, 2.3, 101430, 0}, {2, 44100, 5.0, 1000, 0},
      {10, 44100, 3.0, 0, 0},    {1, 44100, 0.0, 0, 0},      {1, 44100, 6.0, 0, 150000},
      {1, 48000, 4.0, 0, 0},     {1, 44100, 7.7, 0, 0},      {3, 44100, 3.1, 0, 0}};
  std::vector<std::vector<double>> audio;
  std::vector<Readings> together(programmes.size()), alone(programmes.size());
  std::vector<std::size_t> at(programmes.size(), 0);
  std::vector<Engine::Reader> readers;
  std::vector<Engine> engines;
  const auto configure = [&](const Programme& p, Readings& out) {
    EngineConfig config;
    config.channels = p.channels;
    config.rate_hz = p.rate;
    config.expected_frames = p.expected_frames;
    config.channel_loudness = config.channel_sums = config.step_true_peaks = true;
    config.on_step = [&out](const StepReading& r) {
      Readings::add(out.steps, r.momentary_lufs), Readings::add(out.steps, r.short_term_lufs);
    };
    config.on_rms_block = [&out](const RmsBlock& b) { out.blocks.push_back(b.sum); };
    return config;
  };
  const auto reader = [&](std::size_t i, std::size_t& from) {
    return [&, i](double* to, std::size_t max) -> Result<std::size_t> {
      const Programme& p = programmes[i];
      const std::size_t frames = audio[i].size() / p.channels;
      if (p.fails_at != 0 && from >= p.fails_at) return Error("damaged audio");
      const std::size_t k = std::min({max, frames - from, std::size_t{30011}});
      std::copy_n(audio[i].data() + from * p.channels, k * p.channels, to);
      from += k;
      return k;
    };
  };
  for (std::size_t i = 0; i < programmes.size(); ++i) {
    const Programme& p = programmes[i];
    audio.push_back(noise(p.channels, p.rate, p.seconds, static_cast<unsigned>(i + 3)));
  }
  for (std::size_t i = 0; i < programmes.size(); ++i) {
    readers.push_back(reader(i, at[i]));
    engines.emplace_back(configure(programmes[i], together[i]));
  }
  std::vector<Engine*> running;
  std::vector<const Engine::Reader*> reading;
  for (std::size_t i = 0; i < programmes.size(); ++i) {
    running.push_back(&engines[i]);
    reading.push_back(&readers[i]);
  }
  std::vector<Result<EngineResult>> got = Engine::run_together(running, reading);
  ASSERT_EQ(got.size(), programmes.size());
  for (std::size_t i = 0; i < programmes.size(); ++i) {
    std::size_t from = 0;
    Result<EngineResult> one = Engine::run(configure(programmes[i], alone[i]), reader(i, from));
    ASSERT_EQ(got[i].ok(), one.ok()) << i;
    if (!one.ok()) {
      EXPECT_EQ(got[i].error().message(), one.error().message());
      continue;
    }
    together[i].add(*got[i]);
    alone[i].add(*one);
    ASSERT_EQ(together[i].values.size(), alone[i].values.size()) << i;
    EXPECT_EQ(0, std::memcmp(together[i].values.data(), alone[i].values.data(),
                             alone[i].values.size() * sizeof(double)))
        << i;
  }
  EXPECT_FALSE(programmes[5].fails_at == 0 || got[5].ok());
}

// An interrupt stops a feed before the next block and a read before it starts.
TEST(EngineInterrupt, StopsFeedAndRead) {
  struct sigaction handler {};
  handler.sa_handler = [](int) {};
  sigemptyset(&handler.sa_mask);
  struct sigaction saved {};
  ASSERT_EQ(::sigaction(SIGINT, &handler, &saved), 0);
  {
    Engine engine(EngineConfig{});
    const std::vector<double> audio(3 * Engine::block_frames(1), 0.1);
    InterruptScope scope(true);
    ::raise(SIGINT);
    bool read = false;
    Result<std::size_t> got = engine.feed_from([&](double*, std::size_t) {
      read = true;
      return Result<std::size_t>(std::size_t{0});
    });
    EXPECT_FALSE(read);
    ASSERT_FALSE(got.ok());
    EXPECT_EQ(got.error().message(), kInterrupted);
    Status fed = engine.feed(audio.data(), audio.size());
    ASSERT_FALSE(fed.ok());
    EXPECT_EQ(fed.error().message(), kInterrupted);
    EXPECT_EQ(engine.frames_fed(), 0u);
  }
  ::sigaction(SIGINT, &saved, nullptr);
}

// Every value of a measurement, the lists album loudness pools included.
std::vector<double> flatten(const StandardMeasurement& m) {
  std::vector<double> v{static_cast<double>(m.frames),
                        m.integrated_lufs,
                        m.relative_gate_lufs,
                        m.true_peak_dbtp,
                        m.sample_peak_dbfs,
                        m.rms_average_dbfs,
                        static_cast<double>(m.range_readings)};
  for (std::optional<double> o :
       {m.momentary_max_lufs, m.short_term_max_lufs, m.loudness_range_lu, m.loudness_range_low_lufs,
        m.loudness_range_high_lufs, m.rms_max_dbfs})
    v.push_back(o.value_or(-1e300));
  for (const std::vector<double>* list :
       {&m.channel_integrated_lufs, &m.channel_true_peak_dbtp, &m.channel_sample_peak_dbfs,
        &m.channel_rms_average_dbfs, &m.series_time_s, &m.series_momentary_lufs,
        &m.series_short_term_lufs, &m.series_true_peak_dbtp, &m.range_energies}) {
    v.push_back(static_cast<double>(list->size()));
    v.insert(v.end(), list->begin(), list->end());
  }
  for (std::optional<double> o : m.channel_rms_max_dbfs) v.push_back(o.value_or(-1e300));
  if (m.gating_block_energies)
    v.insert(v.end(), m.gating_block_energies->begin(), m.gating_block_energies->end());
  return v;
}

bool same_bits(const std::vector<double>& a, const std::vector<double>& b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size() * sizeof(double)) == 0;
}

// Measured so far in random cuts and flushes, a session reads as the audio
// so far measured whole, twice on the way (before 3 s and after), and goes
// on to read as the whole; reset, it reads anew.
TEST(StandardSessionSoFar, ReadsAsTheAudioSoFar) {
  constexpr std::uint32_t kRate = 48000;
  const std::vector<double> audio = noise(2, kRate, 7.3, 5);
  const std::size_t frames = audio.size() / 2;
  const auto whole = [&](std::size_t n) {
    std::size_t at = 0;
    Result<StandardMeasurement> m =
        measure_standard(2, kRate, {}, true, [&](double* to, std::size_t max) {
          const std::size_t k = std::min(max, n - at);
          std::copy_n(audio.data() + at * 2, k * 2, to);
          at += k;
          return Result<std::size_t>(k);
        });
    EXPECT_TRUE(m.ok());
    return m.ok() ? flatten(*m) : std::vector<double>{};
  };
  Result<StandardSession> session = StandardSession::create(2, kRate, {}, true);
  ASSERT_TRUE(session.ok());
  std::mt19937 gen(3);
  for (int round = 0; round < 2; ++round) {
    std::size_t at = 0;
    for (std::size_t stop : {std::size_t{kRate * 21 / 10}, std::size_t{kRate * 11 / 2}, frames}) {
      for (std::size_t n = 0; at < stop; at += n) {
        n = std::min(stop - at, std::size_t{1} + gen() % 9000);
        ASSERT_TRUE(session->feed(audio.data() + at * 2, n).ok());
        ASSERT_TRUE(gen() % 7 != 0 || session->flush().ok());
      }
      if (stop == frames) break;
      Result<StandardMeasurement> so_far = session->measurement_so_far();
      Result<LiveReadings> now = session->now();
      ASSERT_TRUE(so_far.ok() && now.ok());
      EXPECT_TRUE(same_bits(flatten(*so_far), whole(at))) << at;
      EXPECT_EQ(now->frames, at);
      EXPECT_EQ(now->momentary_max_lufs, so_far->momentary_max_lufs);
      EXPECT_EQ(now->short_term_max_lufs, so_far->short_term_max_lufs);
      EXPECT_EQ(now->short_term_lufs.has_value(), at >= 3 * kRate);
    }
    Result<StandardMeasurement> m = session->finish();
    ASSERT_TRUE(m.ok());
    EXPECT_TRUE(same_bits(flatten(*m), whole(frames)));
    ASSERT_TRUE(session->reset().ok());
  }
  Result<StandardSession> wide = StandardSession::create(10, kRate, {}, false);
  ASSERT_TRUE(wide.ok());
  Result<StandardMeasurement> refused = wide->measurement_so_far();
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().message(), kNoReadingsSoFar);
}

// Two programmes (other rates and channel counts) pooled as an album gate
// as the library's meters of both do together; an album of one reads as
// its programme; a programme measured by the library's meter is refused.
TEST(Album, PoolsAsTheLibraryPoolsMeters) {
  struct Free {
    void operator()(ebur128_state* s) const { ebur128_destroy(&s); }
  };
  std::vector<StandardMeasurement> programmes;
  std::unique_ptr<ebur128_state, Free> states[2];
  ebur128_state* raw[2];
  for (unsigned i = 0; i < 2; ++i) {
    const unsigned channels = 2 - i;
    const std::uint32_t rate = i == 0 ? 44100 : 48000;
    std::vector<double> audio = noise(channels, rate, 5.0 + 3.0 * i, 40 + i);
    for (double& v : audio) v *= i == 0 ? 1.0 : 0.5;
    Result<StandardSession> session = StandardSession::create(channels, rate, {}, false);
    ASSERT_TRUE(session.ok() && session->feed(audio.data(), audio.size() / channels).ok());
    Result<StandardMeasurement> m = session->finish();
    ASSERT_TRUE(m.ok());
    programmes.push_back(std::move(m).value());
    states[i].reset(raw[i] = ebur128_init(channels, rate, EBUR128_MODE_I));
    ASSERT_NE(raw[i], nullptr);
    ASSERT_EQ(ebur128_add_frames_double(raw[i], audio.data(), audio.size() / channels),
              EBUR128_SUCCESS);
  }
  double library = 0.0;
  ASSERT_EQ(ebur128_loudness_global_multiple(raw, 2, &library), EBUR128_SUCCESS);
  const StandardMeasurement* both[] = {&programmes[0], &programmes[1]};
  Result<AlbumMeasurement> album = measure_album(both);
  ASSERT_TRUE(album.ok());
  EXPECT_NEAR(album->integrated_lufs, library, 1e-9);
  EXPECT_EQ(album->true_peak_dbtp,
            std::max(programmes[0].true_peak_dbtp, programmes[1].true_peak_dbtp));
  Result<AlbumMeasurement> one = measure_album({both, 1});
  ASSERT_TRUE(one.ok());
  for (auto [a, b] : {std::pair{one->integrated_lufs, programmes[0].integrated_lufs},
                      {one->relative_gate_lufs, programmes[0].relative_gate_lufs},
                      {*one->loudness_range_lu, *programmes[0].loudness_range_lu},
                      {*one->loudness_range_low_lufs, *programmes[0].loudness_range_low_lufs}})
    EXPECT_EQ(a, b);
  programmes[1].gating_block_energies.reset();  // as measured beyond 8 channels
  Result<AlbumMeasurement> refused = measure_album(both);
  ASSERT_FALSE(refused.ok());
  EXPECT_NE(refused.error().message().find("up to 8 channels"), std::string::npos);
}

}  // namespace
}  // namespace sonorik::analysis
