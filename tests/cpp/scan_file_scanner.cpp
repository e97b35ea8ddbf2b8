// Scanner internals: the order of odd paths, and an unreadable subdirectory
// (in a child without root's privileges). Parallel scans: test_robustness.py.
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

// The byte order by components is checked from Python (test_batch.py).
TEST(PathOrder, PrefixesRepeatedSeparatorsAndDots) {
  EXPECT_TRUE(path_less("d/a", "d/a/b"));
  EXPECT_FALSE(path_less("d/a.wav", "d/a.wav"));
  EXPECT_FALSE(path_less("d//a.wav", "d/./a.wav"));  // repeated separators and "." are nothing
}

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
