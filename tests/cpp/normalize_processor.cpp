#include "normalize/processor.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "audio/decoder.h"

namespace sonorik::normalize {
namespace {

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/sonorik-processor-XXXXXX";
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

void write_text(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

AudioData stereo16(std::size_t frames) {
  AudioData a;
  a.info = {44100, 2, 16, SampleFormat::I16, frames * 2, static_cast<double>(frames) / 44100.0};
  a.samples.resize(frames * 2);
  for (std::size_t i = 0; i < a.samples.size(); ++i)
    a.samples[i] = static_cast<double>(static_cast<int>(i % 2001) - 1000) / 1000.0;
  return a;
}

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

struct SpecCase {
  SampleFormat format;
  std::uint16_t bits;
  WavEncoding encoding;
};
class SpecFromInfo : public ::testing::TestWithParam<SpecCase> {};
TEST_P(SpecFromInfo, KeepsChannelsRateAndBits) {
  const SpecCase c = GetParam();
  const WavSpec spec = wav_spec_for({22050, 3, c.bits, c.format, 0, 0.0});
  EXPECT_EQ(spec.channels, 3);
  EXPECT_EQ(spec.sample_rate, 22050u);
  EXPECT_EQ(spec.bits_per_sample, c.bits);
  EXPECT_EQ(spec.kind, c.encoding);
}
INSTANTIATE_TEST_SUITE_P(Formats, SpecFromInfo,
                         ::testing::Values(SpecCase{SampleFormat::U8, 8, WavEncoding::Int},
                                           SpecCase{SampleFormat::I16, 16, WavEncoding::Int},
                                           SpecCase{SampleFormat::I24, 24, WavEncoding::Int},
                                           SpecCase{SampleFormat::I32, 32, WavEncoding::Int},
                                           SpecCase{SampleFormat::F32, 32, WavEncoding::Float},
                                           SpecCase{SampleFormat::F64, 64, WavEncoding::Float}));

TEST(WriteNormalizedAudio, WritesANewFileWithTheUmaskMode) {
  TempDir dir;
  const std::string out = dir.file("new.wav");
  ASSERT_TRUE(write_normalized_audio(out, stereo16(1000)).ok());
  Result<AudioData> back = decode_audio_file(out);
  ASSERT_TRUE(back.ok()) << back.error().chain();
  EXPECT_EQ(back->samples.size(), 2000u);
  EXPECT_EQ(back->samples[1], std::round(-999.0 / 1000.0 * 32767.0) / 32768.0);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  EXPECT_EQ(mode_of(out), 0666 & ~mask);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"new.wav"});
}

TEST(WriteNormalizedAudio, ReplacingKeepsThePermissionBits) {
  TempDir dir;
  const std::string out = dir.file("old.wav");
  write_text(out, "old content");
  ASSERT_EQ(::chmod(out.c_str(), 0640), 0);
  ASSERT_TRUE(write_normalized_audio(out, stereo16(10)).ok());
  EXPECT_EQ(mode_of(out), 0640u);
  EXPECT_EQ(read_all(out).substr(0, 4), "RIFF");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"old.wav"});
}

TEST(WriteNormalizedAudio, WritesThroughASymbolicLinkChain) {
  TempDir dir;
  ASSERT_EQ(::mkdir(dir.file("sub").c_str(), 0700), 0);
  const std::string target = dir.file("sub/target.wav");
  write_text(target, "old content");
  ASSERT_EQ(::chmod(target.c_str(), 0604), 0);
  // link.wav -> sub/hop.wav -> target.wav (relative links, resolved from
  // their own directories)
  ASSERT_EQ(::symlink("target.wav", dir.file("sub/hop.wav").c_str()), 0);
  ASSERT_EQ(::symlink("sub/hop.wav", dir.file("link.wav").c_str()), 0);

  ASSERT_TRUE(write_normalized_audio(dir.file("link.wav"), stereo16(10)).ok());
  struct stat st {};
  ASSERT_EQ(::lstat(dir.file("link.wav").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(::lstat(dir.file("sub/hop.wav").c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  EXPECT_EQ(read_all(target).substr(0, 4), "RIFF");
  EXPECT_EQ(mode_of(target), 0604u);
  EXPECT_EQ(dir.entries(), (std::set<std::string>{"link.wav", "sub"}));
}

TEST(WriteNormalizedAudio, DanglingLinkCreatesItsTarget) {
  TempDir dir;
  ASSERT_EQ(::symlink(dir.file("made.wav").c_str(), dir.file("link.wav").c_str()), 0);
  ASSERT_TRUE(write_normalized_audio(dir.file("link.wav"), stereo16(10)).ok());
  EXPECT_EQ(read_all(dir.file("made.wav")).substr(0, 4), "RIFF");
}

struct FailCase {
  const char* name;
  std::string (*output)(const TempDir&);
  AudioInfo info;
  const char* message;
};

class FailsWithoutTouchingAnything : public ::testing::TestWithParam<FailCase> {};

// Each failure leaves the existing "keep.wav" byte-identical and the
// directory as it was.
TEST_P(FailsWithoutTouchingAnything, ExactMessage) {
  const FailCase c = GetParam();
  TempDir dir;
  write_text(dir.file("keep.wav"), "precious");
  ASSERT_EQ(::mkdir(dir.file("adir").c_str(), 0700), 0);
  const auto before = dir.entries();
  AudioData audio = stereo16(100);
  audio.info.bit_depth = c.info.bit_depth;
  audio.info.sample_format = c.info.sample_format;
  Status s = write_normalized_audio(c.output(dir), audio);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), c.message);
  EXPECT_EQ(read_all(dir.file("keep.wav")), "precious");
  EXPECT_EQ(dir.entries(), before);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FailsWithoutTouchingAnything,
    ::testing::Values(
        FailCase{"MissingDirectory", [](const TempDir& d) { return d.file("nowhere/out.wav"); },
                 {0, 0, 16, SampleFormat::I16, 0, 0}, "No such file or directory (os error 2)"},
        FailCase{"DestinationIsADirectory", [](const TempDir& d) { return d.file("adir"); },
                 {0, 0, 16, SampleFormat::I16, 0, 0}, "Is a directory (os error 21)"},
        FailCase{"TwelveBits", [](const TempDir& d) { return d.file("keep.wav"); },
                 {0, 0, 12, SampleFormat::I16, 0, 0}, "The wave format of the file is not supported."},
        FailCase{"SixtyFourBitFloat", [](const TempDir& d) { return d.file("keep.wav"); },
                 {0, 0, 64, SampleFormat::F64, 0, 0}, "The wave format of the file is not supported."}),
    [](const auto& info) { return std::string(info.param.name); });

// A disk that fills up after `limit` bytes, at every stage of the file: in
// the first header, in the sample data, and in the final header update.
class ShortWrite : public ::testing::TestWithParam<long> {};
TEST_P(ShortWrite, LeavesTheDestinationByteIdentical) {
  TempDir dir;
  const std::string out = dir.file("keep.wav");
  write_text(out, "precious");
  ASSERT_EQ(::chmod(out.c_str(), 0600), 0);
  const long limit = GetParam();
  long written = 0;
  WavWriteFunction disk = [&](int fd, const void* data, std::size_t size) -> long {
    if (written >= limit) {
      errno = ENOSPC;
      return -1;
    }
    const long n = ::write(fd, data, std::min<std::size_t>(size, static_cast<std::size_t>(limit - written)));
    if (n > 0) written += n;
    return n;
  };
  const AudioData audio = stereo16(50000);  // 200,000 data bytes: several buffers
  Status s = write_normalized_samples(out, audio.info, audio.samples, disk);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "No space left on device (os error 28)");
  EXPECT_EQ(read_all(out), "precious");
  EXPECT_EQ(mode_of(out), 0600u);
  EXPECT_EQ(dir.entries(), std::set<std::string>{"keep.wav"});
}
// 200,044 bytes make the whole file; the header update needs 44 more.
INSTANTIATE_TEST_SUITE_P(Limits, ShortWrite, ::testing::Values(0L, 20L, 44L, 70000L, 200043L, 200044L, 200087L));

TEST(WriteNormalizedAudio, SucceedsAtExactlyTheBytesNeeded) {
  TempDir dir;
  long written = 0;
  WavWriteFunction disk = [&](int fd, const void* data, std::size_t size) -> long {
    if (written + static_cast<long>(size) > 200088) {
      errno = ENOSPC;
      return -1;
    }
    const long n = ::write(fd, data, size);
    written += n;
    return n;
  };
  const AudioData audio = stereo16(50000);
  ASSERT_TRUE(write_normalized_samples(dir.file("o.wav"), audio.info, audio.samples, disk).ok());
  EXPECT_EQ(read_all(dir.file("o.wav")).size(), 200044u);
}

TEST(WriteNormalizedAudio, ReadOnlyDirectoryKeepsTheFile) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  TempDir dir;
  const std::string out = dir.file("keep.wav");
  write_text(out, "precious");
  ASSERT_EQ(::chmod(dir.path().c_str(), 0500), 0);
  Status s = write_normalized_audio(out, stereo16(10));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "Permission denied (os error 13)");
  EXPECT_EQ(read_all(out), "precious");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"keep.wav"});
}

TEST(WriteNormalizedAudio, WriteProtectedFileStaysProtected) {
  if (::geteuid() == 0) GTEST_SKIP() << "permissions do not bind the superuser";
  TempDir dir;
  const std::string out = dir.file("keep.wav");
  write_text(out, "precious");
  ASSERT_EQ(::chmod(out.c_str(), 0444), 0);
  Status s = write_normalized_audio(out, stereo16(10));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "Permission denied (os error 13)");
  EXPECT_EQ(read_all(out), "precious");
  EXPECT_EQ(dir.entries(), std::set<std::string>{"keep.wav"});
}

TEST(WriteNormalizedAudio, WritesOnlyTheGivenSamples) {
  TempDir dir;
  const AudioData audio = stereo16(100);
  ASSERT_TRUE(
      write_normalized_samples(dir.file("p.wav"), audio.info, std::span(audio.samples).first(20)).ok());
  Result<AudioData> back = decode_audio_file(dir.file("p.wav"));
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(back->samples.size(), 20u);
}

}  // namespace
}  // namespace sonorik::normalize
