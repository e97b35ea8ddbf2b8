// The door's in-memory input: the bytes of a file read from memory give what
// the same file gives when read by path, and a rewind starts it over.
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

class MemorySource : public ::testing::TestWithParam<int> {};

TEST_P(MemorySource, ReadsAsTheSameFileByPath) {
  constexpr unsigned kChannels = 2;
  constexpr std::uint32_t kRate = 44100;
  std::vector<double> signal(10007 * kChannels);
  for (std::size_t i = 0; i < signal.size(); ++i)
    signal[i] = 0.5 * std::sin(0.01 * static_cast<double>(i * (i % kChannels + 1)));
  testing::TempDir dir;
  const std::string path = dir.path("audio");
  const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  {
    Result<SndfileWriter> writer = SndfileWriter::open(fd, {GetParam(), kRate, kChannels, {}});
    ASSERT_TRUE(writer.ok());
    ASSERT_TRUE(writer->write_double(signal.data(), signal.size() / kChannels).ok());
    ASSERT_TRUE(writer->close().ok());
  }
  ::close(fd);
  const std::string bytes = testing::read_all(path);

  Result<AudioSource> by_path = open_audio(path);
  Result<AudioSource> in_memory = open_audio(std::make_unique<MemoryFile>(
      Bytes(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size())));
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

INSTANTIATE_TEST_SUITE_P(Formats, MemorySource,
                         ::testing::Values(SF_FORMAT_WAV | SF_FORMAT_PCM_24,
                                           SF_FORMAT_FLAC | SF_FORMAT_PCM_16));

}  // namespace
}  // namespace sonorik
