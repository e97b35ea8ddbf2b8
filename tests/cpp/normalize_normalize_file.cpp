#include "normalize/normalize_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "audio/audio_data.h"
#include "audio/decoder.h"
#include "audio/wav_writer.h"
#include "core/file.h"

namespace sonorik::normalize {
namespace {

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/sonorik-normalize-file-XXXXXX";
    path_ = ::mkdtemp(templ);
  }
  ~TempDir() {
    ::chmod(path_.c_str(), 0700);
    std::system(("rm -rf '" + path_ + "'").c_str());
  }
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    DIR* d = ::opendir(path_.c_str());
    while (dirent* e = ::readdir(d)) {
      const std::string n = e->d_name;
      if (n != "." && n != "..") names.insert(n);
    }
    ::closedir(d);
    return names;
  }

 private:
  std::string path_;
};

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes a WAV file of integer codes (or, for a float spec, of the samples).
void write_codes(const std::string& path, const WavSpec& spec, const std::vector<std::int32_t>& codes) {
  File f(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Result<WavWriter> w = WavWriter::create(f.fd(), spec);
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w->write_int_samples(codes).ok());
  ASSERT_TRUE(w->finalize().ok());
  ASSERT_TRUE(f.close().ok());
}
void write_samples(const std::string& path, const WavSpec& spec, const std::vector<double>& samples) {
  File f(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Result<WavWriter> w = WavWriter::create(f.fd(), spec);
  ASSERT_TRUE(w.ok());
  ASSERT_TRUE(w->write_samples(samples).ok());
  ASSERT_TRUE(w->finalize().ok());
  ASSERT_TRUE(f.close().ok());
}

// A chirp, so that sample order matters, at `amplitude`.
std::vector<double> chirp(std::size_t frames, std::uint16_t channels, std::uint32_t rate, double amplitude) {
  std::vector<double> s(frames * channels);
  for (std::size_t f = 0; f < frames; ++f) {
    const double t = static_cast<double>(f) / rate;
    const double v = amplitude * std::sin(2.0 * M_PI * (200.0 + 4000.0 * t) * t);
    for (std::size_t c = 0; c < channels; ++c) s[f * channels + c] = c % 2 ? -0.7 * v : v;
  }
  return s;
}

AudioData decoded(const std::string& path) {
  Result<AudioData> a = decode_audio_file(path);
  EXPECT_TRUE(a.ok()) << a.error().chain();
  return a.ok() ? std::move(a).value() : AudioData{};
}

double level(const std::string& path, NormalizationKind kind) {
  Result<AudioData> a = AudioData::load_from_file_with_options(path, {});
  EXPECT_TRUE(a.ok());
  Result<double> v = measure_level(*a, kind);
  EXPECT_TRUE(v.ok());
  return *v;
}

constexpr NormalizationKind kKinds[] = {NormalizationKind::TruePeak,          NormalizationKind::IntegratedLoudness,
                                        NormalizationKind::ShortTermLoudness, NormalizationKind::MomentaryLoudness,
                                        NormalizationKind::RmsMax,            NormalizationKind::RmsAverage};

class EachMeasure : public ::testing::TestWithParam<NormalizationKind> {};

TEST_P(EachMeasure, FileReachesTheTarget) {
  TempDir dir;
  const std::string in = dir.file("in.wav"), out = dir.file("out.wav");
  write_samples(in, {2, 48000, 32, WavEncoding::Float}, chirp(48000 * 4, 2, 48000, 0.05));
  const double target = -20.0;
  ASSERT_FALSE(normalize_file(in, {GetParam(), target, {}}, out));
  EXPECT_NEAR(level(out, GetParam()), target, 1e-4);
}

// A 0.05 s file is measured looped to 0.1 s, as every measurement sees it, but
// written back with its own 2205 frames in their own order.
TEST_P(EachMeasure, ShortFileKeepsItsLengthAndOrder) {
  TempDir dir;
  const std::string in = dir.file("short.wav"), out = dir.file("out.wav");
  const WavSpec spec{1, 44100, 16, WavEncoding::Int};
  write_samples(in, spec, chirp(2205, 1, 44100, 0.1));
  const AudioData original = decoded(in);
  ASSERT_EQ(original.samples.size(), 2205u);

  Result<AudioData> looped = AudioData::load_from_file_with_options(in, {});
  ASSERT_TRUE(looped.ok());
  ASSERT_EQ(looped->samples.size(), 4410u);
  const NormalizationTarget target{GetParam(), -12.0, {}};
  Result<double> gain = normalization_gain_db(*looped, target);
  ASSERT_TRUE(gain.ok());
  ASSERT_GT(std::fabs(*gain), 1.0);

  ASSERT_FALSE(normalize_file(in, target, out));
  const AudioData back = decoded(out);
  ASSERT_EQ(back.samples.size(), 2205u);
  EXPECT_EQ(back.info.duration_seconds, 0.05);
  const double factor = std::pow(10.0, *gain / 20.0);
  for (std::size_t i = 0; i < back.samples.size(); ++i) {
    const double x = std::clamp(original.samples[i] * factor, -1.0, 1.0);
    ASSERT_EQ(back.samples[i], std::round(x * 32767.0) / 32768.0) << i;
  }
}

INSTANTIATE_TEST_SUITE_P(Kinds, EachMeasure, ::testing::ValuesIn(kKinds));

struct FormatCase {
  WavSpec spec;
  SampleFormat format;
};
class KeepsFormat : public ::testing::TestWithParam<FormatCase> {};
TEST_P(KeepsFormat, ChannelsRateAndBitDepth) {
  const FormatCase c = GetParam();
  TempDir dir;
  const std::string in = dir.file("in.wav"), out = dir.file("out.wav");
  write_samples(in, c.spec, chirp(c.spec.sample_rate / 2, c.spec.channels, c.spec.sample_rate, 0.1));
  ASSERT_FALSE(normalize_file(in, {NormalizationKind::RmsAverage, -10.0, {}}, out));
  const AudioData a = decoded(in), b = decoded(out);
  EXPECT_EQ(b.info.channels, a.info.channels);
  EXPECT_EQ(b.info.sample_rate, a.info.sample_rate);
  EXPECT_EQ(b.info.bit_depth, a.info.bit_depth);
  EXPECT_EQ(b.info.sample_format, c.format);
  EXPECT_EQ(b.samples.size(), a.samples.size());
  // Quantisation of the output format is the only difference from the target.
  EXPECT_NEAR(level(out, NormalizationKind::RmsAverage), -10.0, c.spec.bits_per_sample == 8 ? 0.2 : 1e-3);
}
INSTANTIATE_TEST_SUITE_P(Formats, KeepsFormat,
                         ::testing::Values(FormatCase{{1, 8000, 8, WavEncoding::Int}, SampleFormat::U8},
                                           FormatCase{{2, 44100, 16, WavEncoding::Int}, SampleFormat::I16},
                                           FormatCase{{2, 48000, 24, WavEncoding::Int}, SampleFormat::I24},
                                           FormatCase{{1, 96000, 32, WavEncoding::Int}, SampleFormat::I32},
                                           FormatCase{{6, 48000, 32, WavEncoding::Float}, SampleFormat::F32}));

// Inside a range nothing is scaled, but the file is re-encoded: the writer's
// 16-bit scale is 32767 where the decoder divides by 32768.
TEST(NormalizeFile, UnchangedSixteenBitFileMovesOnlyAtTheScaleEdge) {
  TempDir dir;
  const std::string in = dir.file("edge.wav");
  std::vector<std::int32_t> codes = {32767, -32768, 0, 1000, -1000, 16384};
  for (int i = 0; i < 8000; ++i) codes.push_back((i * 37) % 2000 - 1000);
  write_codes(in, {1, 8000, 16, WavEncoding::Int}, codes);
  const auto entries = dir.entries();
  ASSERT_FALSE(normalize_file(in, {NormalizationKind::TruePeak, -100.0, 100.0}, std::nullopt));  // in place
  EXPECT_EQ(dir.entries(), entries);
  const AudioData back = decoded(in);
  ASSERT_EQ(back.samples.size(), codes.size());
  EXPECT_EQ(back.samples[0] * 32768.0, 32766.0);
  EXPECT_EQ(back.samples[1] * 32768.0, -32767.0);
  EXPECT_EQ(back.samples[2] * 32768.0, 0.0);
  EXPECT_EQ(back.samples[3] * 32768.0, 1000.0);
  EXPECT_EQ(back.samples[4] * 32768.0, -1000.0);
  EXPECT_EQ(back.samples[5] * 32768.0, 16384.0);
}

TEST(NormalizeFile, UnchangedEightBitFileRoundTripsExactly) {
  TempDir dir;
  const std::string in = dir.file("u8.wav");
  std::vector<std::int32_t> codes;
  for (int i = 0; i < 3000; ++i) codes.push_back(i % 256 - 128);
  write_codes(in, {2, 8000, 8, WavEncoding::Int}, codes);
  const std::string before = read_all(in);
  ASSERT_FALSE(normalize_file(in, {NormalizationKind::RmsMax, -100.0, 100.0}, std::nullopt));
  EXPECT_EQ(read_all(in), before);
}

TEST(NormalizeFile, RewritesTheInputWhenNoOutputPathIsGiven) {
  TempDir dir;
  const std::string in = dir.file("in.wav");
  write_samples(in, {2, 48000, 24, WavEncoding::Int}, chirp(48000, 2, 48000, 0.05));
  ASSERT_FALSE(normalize_file(in, {NormalizationKind::TruePeak, -1.0, {}}, std::nullopt));
  EXPECT_NEAR(level(in, NormalizationKind::TruePeak), -1.0, 1e-3);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"in.wav"});
}

// Load errors are the loader's own; nothing is written on a load or
// measurement failure.
TEST(NormalizeFile, LoadErrorsAreTheLoadersErrors) {
  TempDir dir;
  std::ofstream(dir.file("garbage.wav")) << "not a wave file at all, really not";
  std::ofstream(dir.file("x.aiff")) << "FORM";
  for (const std::string name : {"missing.wav", "garbage.wav", "x.aiff", "song.mp3", ".wav"}) {
    const std::string path = dir.file(name);
    const std::string out = dir.file("out.wav");
    std::optional<NormalizeFileError> e = normalize_file(path, {NormalizationKind::RmsMax, -20.0, {}}, out);
    ASSERT_TRUE(e) << name;
    Result<AudioData> loader = AudioData::load_from_file_with_options(path, {});
    ASSERT_FALSE(loader.ok());
    EXPECT_EQ(e->step, NormalizeFileStep::Load);
    EXPECT_EQ(e->error.chain(), loader.error().chain()) << name;
    EXPECT_EQ(e->message(), "Failed to load audio: " + loader.error().message());
    EXPECT_EQ(::access(out.c_str(), F_OK), -1);
  }
  std::optional<NormalizeFileError> e =
      normalize_file(dir.file("missing.wav"), {NormalizationKind::RmsMax, -20.0, {}}, std::nullopt);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->message(), "Failed to load audio: Failed to decode audio file: \"" + dir.file("missing.wav") + "\"");
}

TEST(NormalizeFile, NormalizationAndWriteErrors) {
  TempDir dir;
  const std::string slow = dir.file("slow.wav"), out = dir.file("out.wav");
  write_samples(slow, {1, 8, 16, WavEncoding::Int}, chirp(80, 1, 8, 0.1));  // below the meter's 16 Hz
  std::optional<NormalizeFileError> e =
      normalize_file(slow, {NormalizationKind::IntegratedLoudness, -23.0, {}}, out);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->step, NormalizeFileStep::Normalize);
  EXPECT_EQ(e->message(), "Normalization failed: NoMem");
  e = normalize_file(slow, {NormalizationKind::RmsMax, std::nan(""), {}}, out);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->message(), "Normalization failed: The target level must be a finite number (got nan).");
  EXPECT_EQ(::access(out.c_str(), F_OK), -1);

  e = normalize_file(slow, {NormalizationKind::RmsMax, -20.0, {}}, dir.file("nowhere/out.wav"));
  ASSERT_TRUE(e);
  EXPECT_EQ(e->step, NormalizeFileStep::Write);
  EXPECT_EQ(e->message(), "Failed to write audio: No such file or directory (os error 2)");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"slow.wav"});
}

TEST(NormalizeFile, FailedInPlaceWriteKeepsTheInput) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  TempDir dir;
  const std::string in = dir.file("in.wav");
  write_samples(in, {2, 44100, 16, WavEncoding::Int}, chirp(44100, 2, 44100, 0.1));
  const std::string before = read_all(in);
  ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
  std::optional<NormalizeFileError> e =
      normalize_file(in, {NormalizationKind::RmsAverage, -10.0, {}}, std::nullopt);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->message(), "Failed to write audio: Permission denied (os error 13)");
  EXPECT_EQ(read_all(in), before);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"in.wav"});
}

}  // namespace
}  // namespace sonorik::normalize
