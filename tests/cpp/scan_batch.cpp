#include "scan/batch.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "analysis/analyzer.h"
#include "core/text.h"

namespace sonorik {
namespace {

void put(std::string& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A 16-bit PCM WAV file of a 440 Hz sine at half scale in every channel.
void write_wav(const std::string& path, std::uint32_t rate, std::uint16_t channels,
               std::size_t frames) {
  std::string data;
  for (std::size_t i = 0; i < frames; ++i) {
    const double v = 0.5 * std::sin(2.0 * 3.141592653589793 * 440.0 * static_cast<double>(i) / rate);
    for (std::uint16_t c = 0; c < channels; ++c) {
      put(data, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(v * 32767))), 2);
    }
  }
  std::string f = "RIFF";
  put(f, static_cast<std::uint32_t>(36 + data.size()), 4);
  f += "WAVEfmt ";
  put(f, 16, 4);
  put(f, 1, 2);
  put(f, channels, 2);
  put(f, rate, 4);
  put(f, rate * channels * 2u, 4);
  put(f, channels * 2u, 2);
  put(f, 16, 2);
  f += "data";
  put(f, static_cast<std::uint32_t>(data.size()), 4);
  std::ofstream(path, std::ios::binary) << f << data;
}

// Everything written to fd 2 while `run` runs.
template <class F>
std::string capture_stderr(F&& run) {
  std::fflush(stderr);
  char name[] = "/tmp/batch-stderr-XXXXXX";
  const int fd = ::mkstemp(name);
  const int saved = ::dup(2);
  ::dup2(fd, 2);
  run();
  ::dup2(saved, 2);
  ::close(saved);
  std::string out;
  ::lseek(fd, 0, SEEK_SET);
  char buf[512];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
  ::close(fd);
  ::unlink(name);
  return out;
}

class Batch : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "batch-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    good_ = dir_ + "/good.wav";
    write_wav(good_, 48000, 2, 48000);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  std::string dir_;
  std::string good_;
};

TEST_F(Batch, EmptyListWritesNothing) {
  std::vector<BatchEntry> out;
  EXPECT_EQ(capture_stderr([&] { out = batch_analyze({}, MeasureFlags::all()); }), "");
  EXPECT_TRUE(out.empty());
}

TEST_F(Batch, FailuresAreWarningsAndLeftOut) {
  const std::string missing = dir_ + "/missing.wav";
  const std::string mp3 = dir_ + "/x.mp3";
  const std::string slow = dir_ + "/slow.wav";  // 8 Hz: the meter refuses it
  write_wav(slow, 8, 1, 16);
  std::vector<BatchEntry> out;
  const std::string err = capture_stderr(
      [&] { out = batch_analyze({missing, good_, mp3, slow}, MeasureFlags::all()); });
  EXPECT_EQ(err, "Warning: Failed to load " + missing + ": Failed to decode audio file: " +
                     quoted_path(missing) + "\n" + "Warning: Failed to load " + mp3 +
                     ": Unsupported audio format: " + quoted_path(mp3) + "\n" +
                     "Warning: Analysis failed for " + slow + ": NoMem\n");
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].path, good_);
}

TEST_F(Batch, EntriesMatchLoaderAndAnalyzerInInputOrder) {
  const std::string shorter = dir_ + "/short.wav";
  write_wav(shorter, 44100, 1, 2205);  // 0.05 s: looped to 0.1 s by the loader
  std::vector<BatchEntry> out;
  EXPECT_EQ(capture_stderr([&] { out = batch_analyze({shorter, good_, shorter}, MeasureFlags::all()); }),
            "");
  ASSERT_EQ(out.size(), 3u);
  EXPECT_EQ(out[0].path, shorter);
  EXPECT_EQ(out[1].path, good_);
  EXPECT_EQ(out[2].path, shorter);
  for (const BatchEntry& e : out) {
    Result<AudioData> a = AudioData::load_from_file_with_options(e.path, {});
    ASSERT_TRUE(a.ok());
    EXPECT_EQ(e.info.sample_rate, a->info.sample_rate);
    EXPECT_EQ(e.info.channels, a->info.channels);
    EXPECT_EQ(e.info.total_samples, a->info.total_samples);
    EXPECT_EQ(e.info.duration_seconds, a->info.duration_seconds);
    Result<AnalysisResults> r =
        analysis::AudioAnalyzer::analyze(a.value(), metrics_from_flags(MeasureFlags::all()));
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(e.results.integrated_loudness, r->integrated_loudness);
    EXPECT_EQ(e.results.short_term_loudness, r->short_term_loudness);
    EXPECT_EQ(e.results.momentary_loudness, r->momentary_loudness);
    EXPECT_EQ(e.results.loudness_range, r->loudness_range);
    EXPECT_EQ(e.results.true_peak, r->true_peak);
    EXPECT_EQ(e.results.rms_max, r->rms_max);
    EXPECT_EQ(e.results.rms_average, r->rms_average);
  }
  EXPECT_EQ(out[0].info.total_samples, 4410u);  // frames after looping
  EXPECT_NEAR(*out[1].results.true_peak, 20.0 * std::log10(0.5), 0.01);
}

TEST_F(Batch, FlagsSelectTheMeasures) {
  std::vector<BatchEntry> none = batch_analyze({good_}, MeasureFlags{});
  ASSERT_EQ(none.size(), 1u);
  const AnalysisResults& n = none[0].results;
  EXPECT_FALSE(n.integrated_loudness || n.short_term_loudness || n.momentary_loudness ||
               n.loudness_range || n.true_peak || n.rms_max || n.rms_average);
  MeasureFlags some;
  some.loudness_range = true;
  some.rms_average = true;
  std::vector<BatchEntry> two = batch_analyze({good_}, some);
  ASSERT_EQ(two.size(), 1u);
  EXPECT_TRUE(two[0].results.loudness_range && two[0].results.rms_average);
  EXPECT_FALSE(two[0].results.integrated_loudness || two[0].results.true_peak ||
               two[0].results.rms_max);
}

}  // namespace
}  // namespace sonorik
