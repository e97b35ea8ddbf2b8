// The door's in-memory input: the bytes of a file read from memory give what
// the same file gives when read by path, intact or cut short, and a rewind
// starts it over.
#include "audio/source.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sndfile.h>
#include <unistd.h>

#include <cmath>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "audio/sndfile_writer.h"
#include "support.h"

namespace sonorik {
namespace {

// Every frame of `source`, read in blocks of a prime number of frames.
std::vector<double> read_all_frames(AudioSource& source) {
  constexpr std::size_t kBlockFrames = 997;
  std::vector<double> out;
  std::vector<double> block(kBlockFrames * source.info.channels);
  for (;;) {
    Result<std::size_t> got = source.reader.read(block.data(), kBlockFrames);
    EXPECT_TRUE(got.ok()) << (got.ok() ? "" : got.error().message());
    if (!got.ok() || *got == 0) return out;
    out.insert(out.end(), block.begin(), block.begin() + *got * source.info.channels);
  }
}

// `frames` frames of a two-channel 44.1 kHz signal, written as `format` to `path`.
std::vector<double> write_signal(const std::string& path, int format, std::size_t frames) {
  constexpr unsigned kChannels = 2;
  std::vector<double> signal(frames * kChannels);
  for (std::size_t i = 0; i < signal.size(); ++i)
    signal[i] = 0.5 * std::sin(0.01 * static_cast<double>(i * (i % kChannels + 1)));
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  EXPECT_GE(fd, 0);
  Result<SndfileWriter> writer = SndfileWriter::open(fd, {format, 44100, kChannels, {}});
  EXPECT_TRUE(writer.ok() && writer->write_double(signal.data(), frames).ok() &&
              writer->close().ok());
  ::close(fd);
  return signal;
}

Result<AudioSource> open_in_memory(const std::string& bytes) {
  return open_audio(std::make_unique<MemoryFile>(
      Bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())));
}

class MemorySource : public ::testing::TestWithParam<int> {};

TEST_P(MemorySource, ReadsAsTheSameFileByPath) {
  testing::TempDir dir;
  const std::string path = dir.path("audio");
  const std::vector<double> signal = write_signal(path, GetParam(), 10007);
  const std::string bytes = testing::read_all(path);

  Result<AudioSource> by_path = open_audio(path);
  Result<AudioSource> in_memory = open_in_memory(bytes);
  ASSERT_TRUE(by_path.ok() && in_memory.ok());
  const SourceInfo& want = by_path->info;
  const SourceInfo& got = in_memory->info;
  EXPECT_EQ(got.format, want.format);
  EXPECT_EQ(std::tie(got.rate_hz, got.channels, got.frames, got.sf_format),
            std::tie(want.rate_hz, want.channels, want.frames, want.sf_format));
  EXPECT_EQ(in_memory->layout, by_path->layout);
  const std::vector<double> frames = read_all_frames(*by_path);
  EXPECT_EQ(frames.size(), signal.size());
  EXPECT_EQ(read_all_frames(*in_memory), frames);
  ASSERT_TRUE(in_memory->reader.rewind().ok());
  EXPECT_EQ(read_all_frames(*in_memory), frames);
}

// The error a pass over `source` ends with, or "" when it reads to its end.
std::string pass_error(AudioSource& source) {
  std::vector<double> block(997 * source.info.channels);
  for (;;) {
    Result<std::size_t> got = source.reader.read(block.data(), 997);
    if (!got.ok()) return got.error().message();
    if (*got == 0) return "";
  }
}

// A file cut short reads from memory as it does by path: the checks read the
// bytes behind a VirtualFile through its calls, and a second pass fails again.
TEST_P(MemorySource, CutShortFailsAsByPath) {
  testing::TempDir dir;
  write_signal(dir.path("audio"), GetParam(), 3 * 44100);
  const std::string whole = testing::read_all(dir.path("audio"));
  const std::string cut = whole.substr(0, whole.size() / 3);
  Result<AudioSource> by_path = open_audio(dir.write("cut", cut));
  Result<AudioSource> in_memory = open_in_memory(cut);
  ASSERT_TRUE(by_path.ok() && in_memory.ok());
  const std::string error = pass_error(*by_path);
  EXPECT_NE(error, "");
  EXPECT_EQ(pass_error(*in_memory), error);
  ASSERT_TRUE(in_memory->reader.rewind().ok());
  EXPECT_EQ(pass_error(*in_memory), error);
}

INSTANTIATE_TEST_SUITE_P(Formats, MemorySource,
                         ::testing::Values(SF_FORMAT_WAV | SF_FORMAT_PCM_24,
                                           SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                                           SF_FORMAT_OGG | SF_FORMAT_VORBIS));

}  // namespace
}  // namespace sonorik
