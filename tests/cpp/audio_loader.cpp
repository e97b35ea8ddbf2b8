#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "audio/audio_data.h"
#include "audio/buffer_pool.h"
#include "audio/decoder.h"
#include "audio_test_wav.h"

namespace sonorik {
namespace {

using testing::ByteVec;
using testing::TempDir;
using testing::WavSpec;

// A ramp of distinct 16-bit values, so that looped copies can be traced.
ByteVec ramp16(std::size_t samples) {
  std::vector<std::int16_t> v;
  for (std::size_t i = 0; i < samples; ++i) v.push_back(static_cast<std::int16_t>(i % 30000 - 15000));
  return testing::pcm16(v);
}

std::string write_wav(const TempDir& dir, const std::string& name, std::uint16_t channels,
                      std::uint32_t rate, std::size_t samples) {
  WavSpec s;
  s.channels = channels;
  s.sample_rate = rate;
  return dir.write(name, testing::make_wav(s, ramp16(samples)));
}

// Every test starts with an empty, working pool (it is process-wide).
class Loader : public ::testing::Test {
 protected:
  void SetUp() override {
    detail::buffer_pool_set_broken(false);
    detail::buffer_pool_clear();
  }
  void TearDown() override { SetUp(); }
  TempDir dir_;
};

struct SupportedCase {
  const char* path;
  bool supported;
};
class Supported : public ::testing::TestWithParam<SupportedCase> {};
TEST_P(Supported, ByLowerCasedExtension) {
  EXPECT_EQ(AudioInfo::is_supported_format(GetParam().path), GetParam().supported);
}
INSTANTIATE_TEST_SUITE_P(
    Paths, Supported,
    ::testing::Values(SupportedCase{"a.wav", true}, SupportedCase{"A.WAV", true},
                      SupportedCase{"d/a.Wav", true}, SupportedCase{"a.aif", true},
                      SupportedCase{"a.AIFF", true}, SupportedCase{"a.mp3", false},
                      SupportedCase{"noext", false}, SupportedCase{".wav", false},
                      SupportedCase{"d.wav/x", false}, SupportedCase{"a.w\xff", false}));

TEST(SampleFormatName, AllNames) {
  EXPECT_EQ(sample_format_name(SampleFormat::U8), "U8");
  EXPECT_EQ(sample_format_name(SampleFormat::I16), "I16");
  EXPECT_EQ(sample_format_name(SampleFormat::I24), "I24");
  EXPECT_EQ(sample_format_name(SampleFormat::I32), "I32");
  EXPECT_EQ(sample_format_name(SampleFormat::F32), "F32");
  EXPECT_EQ(sample_format_name(SampleFormat::F64), "F64");
}

struct LoadErrorCase {
  const char* name;
  std::string file;  // created as a valid short WAV unless `create` is false
  bool create;
  std::string message_prefix;  // followed by the quoted path
  std::string cause;           // "" for none
};
class LoadError : public ::testing::TestWithParam<LoadErrorCase> {};
TEST_P(LoadError, WrapsWithQuotedPath) {
  const LoadErrorCase& c = GetParam();
  TempDir dir;
  const std::string path =
      c.create ? write_wav(dir, c.file, 1, 44100, 10) : dir.path(c.file);
  Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
  ASSERT_FALSE(audio.ok());
  EXPECT_EQ(audio.error().message(), c.message_prefix + "\"" + path + "\"");
  if (c.cause.empty()) {
    EXPECT_EQ(audio.error().cause(), nullptr);
  } else {
    ASSERT_NE(audio.error().cause(), nullptr);
    EXPECT_EQ(audio.error().cause()->message(), c.cause);
  }
}
INSTANTIATE_TEST_SUITE_P(
    Files, LoadError,
    ::testing::Values(
        LoadErrorCase{"Mp3", "a.mp3", true, "Unsupported audio format: ", ""},
        LoadErrorCase{"NoExtension", "wav", true, "Unsupported audio format: ", ""},
        LoadErrorCase{"Dotfile", ".wav", true, "Unsupported audio format: ", ""},
        LoadErrorCase{"Aiff", "a.aiff", true, "Failed to decode audio file: ",
                      "AIFF decoding not yet implemented"},
        LoadErrorCase{"Missing", "gone.wav", false, "Failed to decode audio file: ",
                      "No such file or directory (os error 2)"}),
    [](const ::testing::TestParamInfo<LoadErrorCase>& info) { return info.param.name; });

TEST_F(Loader, QuotedPathEscapesInMessages) {
  const std::string path = dir_.path("q\"x.mp3");
  Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
  ASSERT_FALSE(audio.ok());
  EXPECT_EQ(audio.error().message(), "Unsupported audio format: \"" + dir_.path("q\\\"x.mp3") + "\"");
}

TEST_F(Loader, DecodeErrorKeepsTheWholeChain) {
  TempDir dir;
  const std::string path = dir.write("bad.wav", ByteVec(40, 'z'));
  Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
  ASSERT_FALSE(audio.ok());
  EXPECT_EQ(audio.error().chain(), "Failed to decode audio file: \"" + path +
                                       "\": Failed to create WAV reader: Not a RIFF file "
                                       "(no \"RIFF\" tag)");
}

TEST_F(Loader, OneSecondStereoIsUnchanged) {
  const std::string path = write_wav(dir_, "one.wav", 2, 44100, 88200);
  Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
  ASSERT_TRUE(audio.ok()) << audio.error().chain();
  EXPECT_EQ(audio->samples.size(), 88200u);
  EXPECT_EQ(audio->info.total_samples, 88200u);
  EXPECT_EQ(audio->info.duration_seconds, 1.0);
  EXPECT_EQ(detail::buffer_pool_size(), 0u);
}

struct LoopCase {
  const char* name;
  std::uint16_t channels;
  std::uint32_t rate;
  std::size_t samples;
  std::size_t looped_samples;
  std::uint64_t total_samples;
};
class Looping : public Loader, public ::testing::WithParamInterface<LoopCase> {};
TEST_P(Looping, RepeatsFromTheStartToTheMinimum) {
  const LoopCase& c = GetParam();
  const std::string path = write_wav(dir_, "short.wav", c.channels, c.rate, c.samples);
  Result<AudioData> decoded = decode_audio_file(path);
  ASSERT_TRUE(decoded.ok());
  Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
  ASSERT_TRUE(audio.ok()) << audio.error().chain();
  ASSERT_EQ(audio->samples.size(), c.looped_samples);
  for (std::size_t i = 0; i < c.looped_samples; ++i) {
    ASSERT_EQ(audio->samples[i], decoded->samples[i % c.samples]) << "sample " << i;
  }
  EXPECT_EQ(audio->info.total_samples, c.total_samples);
  EXPECT_EQ(audio->info.duration_seconds, 0.1);
  EXPECT_EQ(audio->info.channels, c.channels);
  EXPECT_EQ(audio->info.sample_rate, c.rate);
}
INSTANTIATE_TEST_SUITE_P(
    Files, Looping,
    ::testing::Values(LoopCase{"MonoTwice", 1, 44100, 2205, 4410, 4410},
                      LoopCase{"StereoFourthCopyCut", 2, 48000, 2880, 9600, 4800},
                      LoopCase{"OneFrame", 2, 8000, 2, 1600, 800}),
    [](const ::testing::TestParamInfo<LoopCase>& info) { return info.param.name; });

TEST_F(Loader, EmptyDataIsNotLooped) {
  const std::string path = write_wav(dir_, "empty.wav", 2, 44100, 0);
  Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
  ASSERT_TRUE(audio.ok()) << audio.error().chain();
  EXPECT_TRUE(audio->samples.empty());
  EXPECT_EQ(audio->info.total_samples, 0u);
  EXPECT_EQ(audio->info.duration_seconds, 0.0);
  EXPECT_EQ(detail::buffer_pool_size(), 0u);
}

TEST_F(Loader, SecondLoadRecyclesItsPreLoopList) {
  const std::string path = write_wav(dir_, "short.wav", 1, 44100, 2205);
  ASSERT_TRUE(AudioData::load_from_file_with_options(path, {}).ok());
  EXPECT_EQ(detail::buffer_pool_size(), 1u);
  ASSERT_TRUE(AudioData::load_from_file_with_options(path, {}).ok());
  // The first list was too small for the looped output and was released;
  // the second load's pre-loop list took its place.
  EXPECT_EQ(detail::buffer_pool_size(), 1u);
  std::vector<double> kept = detail::buffer_pool_take(0);
  EXPECT_TRUE(kept.empty());
  EXPECT_EQ(kept.capacity(), 2205u);
}

TEST_F(Loader, LoopingReusesALargeEnoughPooledList) {
  std::vector<double> big;
  big.reserve(10000);
  const double* storage = big.data();
  ASSERT_TRUE(detail::buffer_pool_give(std::move(big)));
  const std::string path = write_wav(dir_, "short.wav", 1, 44100, 2205);
  Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
  ASSERT_TRUE(audio.ok());
  EXPECT_EQ(audio->samples.data(), storage);
  EXPECT_EQ(audio->samples.size(), 4410u);
}

TEST_F(Loader, PoolTakesFirstFittingListReleasingSmallerOnes) {
  for (std::size_t cap : {10u, 20u, 5000u, 30u}) {
    std::vector<double> v;
    v.reserve(cap);
    ASSERT_TRUE(detail::buffer_pool_give(std::move(v)));
  }
  EXPECT_EQ(detail::buffer_pool_take(100).capacity(), 5000u);
  EXPECT_EQ(detail::buffer_pool_size(), 1u);
  EXPECT_EQ(detail::buffer_pool_take(100).capacity(), 0u);  // 30 released, nothing fits
  EXPECT_EQ(detail::buffer_pool_size(), 0u);
}

TEST_F(Loader, PoolRefusesListsAboveTheCapacityLimit) {
  std::vector<double> v;
  v.reserve(detail::kBufferPoolMaxCapacitySamples + 1);
  EXPECT_FALSE(detail::buffer_pool_give(std::move(v)));
  EXPECT_EQ(detail::buffer_pool_size(), 0u);
}

TEST_F(Loader, FullPoolReleasesTheNextList) {
  // Looping 0.03 s of stereo 48 kHz to 100 s needs 9,600,000 samples: above
  // the pooled limit, so the pool is not searched, only offered the old list.
  auto short_record = [] {
    AudioData a;
    a.samples.assign(2880, 0.25);
    a.info.channels = 2;
    a.info.sample_rate = 48000;
    a.info.total_samples = 2880;
    a.info.duration_seconds = 0.03;
    return a;
  };
  for (std::size_t i = 0; i + 1 < detail::kBufferPoolMaxLists; ++i) {
    ASSERT_TRUE(detail::buffer_pool_give(std::vector<double>(1)));
  }
  AudioData first = short_record();
  first.ensure_minimum_duration(100.0);
  EXPECT_EQ(first.samples.size(), 9'600'000u);
  EXPECT_EQ(first.info.duration_seconds, 100.0);
  EXPECT_EQ(detail::buffer_pool_size(), 50u);

  AudioData second = short_record();
  second.ensure_minimum_duration(100.0);
  EXPECT_EQ(detail::buffer_pool_size(), 50u);
  EXPECT_FALSE(detail::buffer_pool_give(std::vector<double>(1)));
}

TEST_F(Loader, BrokenPoolIsBypassed) {
  detail::buffer_pool_set_broken(true);
  const std::string path = write_wav(dir_, "short.wav", 1, 44100, 2205);
  Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
  ASSERT_TRUE(audio.ok());
  EXPECT_EQ(audio->samples.size(), 4410u);
  EXPECT_EQ(detail::buffer_pool_size(), 0u);
  EXPECT_FALSE(detail::buffer_pool_give(std::vector<double>(1)));
}

// Hand-built records that no decoder produces must not be damaged or crash.
struct OddRecordCase {
  const char* name;
  std::uint16_t channels;
  std::uint32_t rate;
  double duration;
  double min_seconds;
};
class OddRecord : public Loader, public ::testing::WithParamInterface<OddRecordCase> {};
TEST_P(OddRecord, LeftUnchanged) {
  const OddRecordCase& c = GetParam();
  AudioData a;
  a.samples = {0.5, -0.5, 0.25};
  a.info.channels = c.channels;
  a.info.sample_rate = c.rate;
  a.info.total_samples = 3;
  a.info.duration_seconds = c.duration;
  a.ensure_minimum_duration(c.min_seconds);
  EXPECT_EQ(a.samples, (std::vector<double>{0.5, -0.5, 0.25}));
  EXPECT_EQ(a.info.total_samples, 3u);
}
INSTANTIATE_TEST_SUITE_P(
    Records, OddRecord,
    ::testing::Values(OddRecordCase{"NoChannels", 0, 44100, 0.0, 0.1},
                      OddRecordCase{"NoRate", 1, 0, 0.0, 0.1},
                      OddRecordCase{"NanMinimum", 1, 44100, 0.0, std::nan("")},
                      OddRecordCase{"NanDuration", 1, 44100, std::nan(""), 0.1},
                      OddRecordCase{"NegativeMinimum", 1, 44100, 0.0, -1.0},
                      OddRecordCase{"TargetNotLonger", 1, 10, 0.0, 0.1}),
    [](const ::testing::TestParamInfo<OddRecordCase>& info) { return info.param.name; });

TEST_F(Loader, ImpossibleTargetThrowsBadAlloc) {
  AudioData a;
  a.samples = {0.5};
  a.info.channels = 2;
  a.info.sample_rate = 44100;
  EXPECT_THROW(a.ensure_minimum_duration(1e300), std::bad_alloc);
  EXPECT_EQ(a.samples, std::vector<double>{0.5});
}

TEST_F(Loader, ConcurrentLoadsMatchASerialLoad) {
  const std::string path = write_wav(dir_, "short.wav", 2, 48000, 2880);
  Result<AudioData> serial = AudioData::load_from_file_with_options(path, {});
  ASSERT_TRUE(serial.ok());
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        Result<AudioData> a = AudioData::load_from_file_with_options(path, {});
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
