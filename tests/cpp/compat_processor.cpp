// A write failure at any point leaves the destination, its mode and its
// directory as they were.
#include "compat/processor.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <set>
#include <string>
#include <vector>

#include "support.h"

namespace sonorik::normalize {
namespace {

using testing::read_all;
using testing::TempDir;

mode_t mode_of(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mode & 07777;
}

struct FailurePoint {
  const char* name;
  long disk_bytes = LONG_MAX;  // the disk is full after this many bytes
  std::uint16_t bits = 16;
  const char* message = "No space left on device (os error 28)";
};
void PrintTo(const FailurePoint& c, std::ostream* os) { *os << c.name; }

class FailsWithoutLoss : public ::testing::TestWithParam<FailurePoint> {};

TEST_P(FailsWithoutLoss, DestinationAndDirectoryUnchanged) {
  const FailurePoint& c = GetParam();
  TempDir dir;
  const std::string keep = dir.write("keep.wav", "precious");
  ASSERT_EQ(::chmod(keep.c_str(), 0600), 0);
  const auto entries = dir.entries();
  const mode_t mode = mode_of(keep);
  long written = 0;
  WavWriteFunction disk = [&](int fd, const void* data, std::size_t size) -> long {
    if (written >= c.disk_bytes) {
      errno = ENOSPC;
      return -1;
    }
    const long n = ::write(
        fd, data, std::min<std::size_t>(size, static_cast<std::size_t>(c.disk_bytes - written)));
    if (n > 0) written += n;
    return n;
  };
  std::vector<double> samples(100000);  // 50,000 stereo frames: 200,000 data bytes, several buffers
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<double>(static_cast<int>(i % 2001) - 1000) / 1000.0;
  const AudioInfo info{44100, 2, c.bits, SampleFormat::I16, samples.size(), 50000.0 / 44100};
  Status s = write_normalized_samples(keep, info, samples, disk);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), c.message);
  EXPECT_EQ(read_all(keep), "precious");
  EXPECT_EQ(mode_of(keep), mode);
  EXPECT_EQ(dir.entries(), entries);
}

// The whole file is 200,044 bytes; the final header update rewrites 44 more.
INSTANTIATE_TEST_SUITE_P(
    Points, FailsWithoutLoss,
    ::testing::Values(FailurePoint{"UnsupportedFormat", LONG_MAX, 12,
                                   "The wave format of the file is not supported."},
                      FailurePoint{"DiskFullInHeader", 20}, FailurePoint{"DiskFullInData", 70000},
                      FailurePoint{"DiskFullOneByteShort", 200043},
                      FailurePoint{"DiskFullInHeaderUpdate", 200087}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sonorik::normalize
