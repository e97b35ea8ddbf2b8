// The loader's looping of short audio, its use of the buffer pool, and
// threads loading at once (also run under ThreadSanitizer by `make test-tsan`).
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "audio/audio_data.h"
#include "audio/buffer_pool.h"
#include "audio/decoder.h"
#include "support.h"

namespace sonorik {
namespace {

// Every test starts with an empty, working pool (it is process-wide).
class Loader : public ::testing::Test {
 protected:
  void SetUp() override {
    detail::buffer_pool_set_broken(false);
    detail::buffer_pool_clear();
  }
  void TearDown() override { SetUp(); }

  // A ramp of distinct 16-bit codes, so that looped copies can be traced.
  std::string write_ramp(std::uint16_t channels, std::uint32_t rate, std::size_t samples) {
    std::vector<std::int64_t> codes;
    for (std::size_t i = 0; i < samples; ++i) codes.push_back(static_cast<std::int64_t>(i % 30000) - 15000);
    return dir_.write("ramp.wav", testing::riff(testing::chunk("fmt ", testing::fmt(1, channels, rate, 16)) +
                                                testing::chunk("data", testing::ints(codes, 2))));
  }
  static Result<AudioData> load(const std::string& path) { return AudioData::load_from_file_with_options(path, {}); }

  testing::TempDir dir_;
};

struct LoopCase {
  const char* name;
  std::uint16_t channels;
  std::uint32_t rate;
  std::size_t samples, looped_samples, total_samples;
};
class Looping : public Loader, public ::testing::WithParamInterface<LoopCase> {};

TEST_P(Looping, RepeatsFromTheStartToTheMinimum) {
  const LoopCase& c = GetParam();
  const std::string path = write_ramp(c.channels, c.rate, c.samples);
  Result<AudioData> decoded = decode_audio_file(path);
  Result<AudioData> audio = load(path);
  ASSERT_TRUE(decoded.ok() && audio.ok());
  ASSERT_EQ(audio->samples.size(), c.looped_samples);
  for (std::size_t i = 0; i < c.looped_samples; ++i) {
    ASSERT_EQ(audio->samples[i], decoded->samples[i % c.samples]) << i;
  }
  EXPECT_EQ(audio->info.total_samples, c.total_samples);
  EXPECT_EQ(audio->info.duration_seconds, 0.1);
}
// Stereo: the fourth copy is cut at 0.1 s; one frame: 800 copies.
INSTANTIATE_TEST_SUITE_P(Files, Looping,
                         ::testing::Values(LoopCase{"StereoFourthCopyCut", 2, 48000, 2880, 9600, 4800},
                                           LoopCase{"OneFrame", 2, 8000, 2, 1600, 800}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Loader, LoopingReusesAPooledListAndPoolsItsPreLoopList) {
  const std::string path = write_ramp(1, 44100, 2205);
  ASSERT_TRUE(load(path).ok());
  EXPECT_EQ(detail::buffer_pool_size(), 1u);  // the 2,205-sample list
  ASSERT_TRUE(load(path).ok());
  // Too small for the looped output, it was released; the second load's
  // pre-loop list took its place.
  EXPECT_EQ(detail::buffer_pool_size(), 1u);
  EXPECT_EQ(detail::buffer_pool_take(0).capacity(), 2205u);

  std::vector<double> big;
  big.reserve(10000);
  const double* storage = big.data();
  ASSERT_TRUE(detail::buffer_pool_give(std::move(big)));
  Result<AudioData> audio = load(path);
  ASSERT_TRUE(audio.ok());
  EXPECT_EQ(audio->samples.data(), storage);
  EXPECT_EQ(audio->samples.size(), 4410u);
}

TEST_F(Loader, BrokenPoolIsBypassed) {
  detail::buffer_pool_set_broken(true);
  Result<AudioData> audio = load(write_ramp(1, 44100, 2205));
  ASSERT_TRUE(audio.ok());
  EXPECT_EQ(audio->samples.size(), 4410u);
  EXPECT_EQ(detail::buffer_pool_size(), 0u);
}

TEST_F(Loader, ConcurrentLoadsMatchASerialLoad) {
  const std::string path = write_ramp(2, 48000, 2880);
  Result<AudioData> serial = load(path);
  ASSERT_TRUE(serial.ok());
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        Result<AudioData> a = load(path);
        if (!a.ok() || a->samples != serial->samples) ++mismatches[t];
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int m : mismatches) EXPECT_EQ(m, 0);
  EXPECT_LE(detail::buffer_pool_size(), detail::kBufferPoolMaxLists);
}

}  // namespace
}  // namespace sonorik
