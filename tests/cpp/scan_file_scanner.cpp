// Scanner internals: the component-wise order, parallel passes equal to
// sequential ones, and an unreadable subdirectory (in a child without root's
// privileges).
#include "scan/file_scanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "support.h"

namespace sonorik::utils {
namespace {

using Paths = std::vector<std::string>;

TEST(PathOrder, ComponentWiseNotWholeString) {
  EXPECT_TRUE(path_less("dir/a/x.wav", "dir/a.wav"));
  EXPECT_FALSE(path_less("dir/a.wav", "dir/a/x.wav"));
  EXPECT_TRUE(path_less("d/a", "d/a/b"));
  EXPECT_TRUE(path_less("d/B.wav", "d/a.wav"));         // bytes: upper case first
  EXPECT_TRUE(path_less("d/z.wav", "d/\xc3\xa9.wav"));  // bytes above 0x7f after ASCII
  EXPECT_FALSE(path_less("d/a.wav", "d/a.wav"));
  EXPECT_FALSE(path_less("d//a.wav", "d/./a.wav"));  // repeated separators and "." are nothing
}

// 50 entries are scanned on the calling thread, 51 on the pool; big
// subdirectories inside big directories nest on the pool.
class EntryCount : public ::testing::TestWithParam<int> {};
TEST_P(EntryCount, SameResultSequentialAndParallel) {
  const int n = GetParam();
  testing::TempDir dir;
  Paths expected;
  for (int i = 0; i < n; ++i) {
    const std::string name = dir.path("e" + std::to_string(i));
    if (i % 5 == 0) {
      for (int j = 0; j < n; ++j) dir.write("e" + std::to_string(i) + "/f" + std::to_string(j) + (j % 2 ? ".wav" : ".txt"), "x");
      for (int j = 1; j < n; j += 2) expected.push_back(name + "/f" + std::to_string(j) + ".wav");
    } else {
      dir.write("e" + std::to_string(i) + (i % 3 ? ".wav" : ".dat"), "x");
      if (i % 3) expected.push_back(name + ".wav");
    }
  }
  std::sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) { return path_less(a, b); });
  Result<Paths> found = find_audio_files(dir.root());
  ASSERT_TRUE(found.ok());
  EXPECT_EQ(found.value(), expected);
}
INSTANTIATE_TEST_SUITE_P(Sizes, EntryCount, ::testing::Values(50, 51, 120));

TEST(Scanner, UnreadableSubdirectoryFailsTheWholeScan) {
  testing::TempDir dir;
  for (int i = 0; i < 60; ++i) dir.write("big/f" + std::to_string(i) + ".wav", "x");
  for (const char* locked : {"locked", "big/locked"}) {
    dir.write(std::string(locked) + "/b.wav", "x");
    ASSERT_EQ(::chmod(dir.path(locked).c_str(), 0), 0);
  }
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    std::string msg;
    for (const std::string& p : {dir.root(), dir.path("big")}) {
      Result<Paths> r = scan_directory_recursively(p);
      msg += (r.ok() ? std::string("ok") : r.error().message()) + "|";
    }
    ::_exit(::write(fds[1], msg.data(), msg.size()) < 0 ? 3 : 0);
  }
  ::close(fds[1]);
  std::string got(256, '\0');
  got.resize(static_cast<std::size_t>(std::max<ssize_t>(0, ::read(fds[0], got.data(), got.size()))));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  for (const char* locked : {"locked", "big/locked"}) ::chmod(dir.path(locked).c_str(), 0755);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(got, "Permission denied (os error 13)|Permission denied (os error 13)|");
}

}  // namespace
}  // namespace sonorik::utils
