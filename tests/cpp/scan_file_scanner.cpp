// Scanner internals: the order of odd paths, and an unreadable subdirectory
// (in a child without root's privileges). Parallel scans: test_robustness.py.
#include "scan/file_scanner.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

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
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {  // exit status: 0, or the first scan that did not fail as it should
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(9);
    int i = 0;
    for (const std::string& p : {dir.root(), dir.path("big")}) {
      Result<Paths> r = scan_directory_recursively(p, extension_test({"wav"}));
      ++i;
      if (r.ok() || r.error().message() != "Permission denied (os error 13)") ::_exit(i);
    }
    ::_exit(0);
  }
  int status = 0;
  ::waitpid(pid, &status, 0);
  for (const char* locked : {"locked", "big/locked"}) ::chmod(dir.path(locked).c_str(), 0755);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

}  // namespace
}  // namespace sonorik::utils
