// The scanner: component-wise order, the link-cycle guard, parallel passes
// equal to sequential ones, and an unreadable subdirectory.
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

class Scanner : public ::testing::Test {
 protected:
  std::string at(const std::string& rel) const { return dir_.path(rel); }
  void touch(const std::string& rel) { dir_.write(rel, "x"); }
  void link(const std::string& target, const std::string& rel) {
    ASSERT_EQ(::symlink(target.c_str(), at(rel).c_str()), 0);
  }
  Paths found(const std::string& path) {
    Result<Paths> r = find_audio_files(path);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? r.value() : Paths{};
  }
  testing::TempDir dir_;
};

TEST(PathOrder, ComponentWiseNotWholeString) {
  EXPECT_TRUE(path_less("dir/a/x.wav", "dir/a.wav"));
  EXPECT_FALSE(path_less("dir/a.wav", "dir/a/x.wav"));
  EXPECT_TRUE(path_less("d/a", "d/a/b"));
  EXPECT_TRUE(path_less("d/B.wav", "d/a.wav"));         // bytes: upper case first
  EXPECT_TRUE(path_less("d/z.wav", "d/\xc3\xa9.wav"));  // bytes above 0x7f after ASCII
  EXPECT_FALSE(path_less("d/a.wav", "d/a.wav"));
  EXPECT_FALSE(path_less("d//a.wav", "d/a.wav"));  // repeated separators are one
}

TEST_F(Scanner, NestedSortedByComponents) {
  for (const char* rel : {"a.wav", "a/x.wav", "a/b/deep.AIFF", "a/readme.md", ".hidden/h.wav", ".wav", "B.aif",
                          "x.tar.aiff", "bad\xff.wav"}) {
    touch(rel);
  }
  EXPECT_EQ(found(dir_.root()), (Paths{at(".hidden/h.wav"), at("B.aif"), at("a/b/deep.AIFF"), at("a/x.wav"),
                                       at("a.wav"), at("bad\xff.wav"), at("x.tar.aiff")}));
  // A trailing separator is kept as given and not doubled.
  EXPECT_EQ(found(dir_.root() + "/").front(), dir_.root() + "/.hidden/h.wav");
}

TEST_F(Scanner, DirectoryLinksFollowedButCyclesCut) {
  touch("music/a.wav");
  touch("music/sub/b.wav");
  link("..", "music/sub/up");           // back to music: a cycle
  link(dir_.root(), "music/sub/top");   // back to the root: a cycle
  link(at("music/sub"), "music/self");  // a second way into sub: followed, not a cycle
  link("loop2", "loop1");               // a link loop: ELOOP, dangling by name
  link("loop1", "loop2");
  EXPECT_EQ(found(dir_.root()), (Paths{at("music/a.wav"), at("music/self/b.wav"), at("music/sub/b.wav")}));
  // From inside, the links lead once out to directories not yet on the path
  // and stop where they come back to it.
  EXPECT_EQ(found(at("music/sub")),
            (Paths{at("music/sub/b.wav"), at("music/sub/top/music/a.wav"), at("music/sub/up/a.wav")}));
}

// 50 entries are scanned on the calling thread, 51 on the pool; big
// subdirectories inside big directories nest on the pool.
class EntryCount : public Scanner, public ::testing::WithParamInterface<int> {};
TEST_P(EntryCount, SameResultSequentialAndParallel) {
  const int n = GetParam();
  Paths expected;
  for (int i = 0; i < n; ++i) {
    const std::string name = "e" + std::to_string(i);
    if (i % 5 == 0) {
      for (int j = 0; j < n; ++j) touch(name + "/f" + std::to_string(j) + (j % 2 ? ".wav" : ".txt"));
      for (int j = 1; j < n; j += 2) expected.push_back(at(name + "/f" + std::to_string(j) + ".wav"));
    } else {
      touch(name + (i % 3 ? ".wav" : ".dat"));
      if (i % 3) expected.push_back(at(name + ".wav"));
    }
  }
  std::stable_sort(expected.begin(), expected.end(), [](const std::string& a, const std::string& b) { return path_less(a, b); });
  EXPECT_EQ(found(dir_.root()), expected);
}
INSTANTIATE_TEST_SUITE_P(Sizes, EntryCount, ::testing::Values(50, 51, 120));

// Root reads every directory, so the scans run in a child that gives up its
// privileges first; a small and a large (parallel) directory.
TEST_F(Scanner, UnreadableSubdirectoryFailsTheWholeScan) {
  touch("ok/a.wav");
  touch("locked/b.wav");
  for (int i = 0; i < 60; ++i) touch("big/f" + std::to_string(i) + ".wav");
  touch("big/locked/c.wav");
  ASSERT_EQ(::chmod(at("locked").c_str(), 0), 0);
  ASSERT_EQ(::chmod(at("big/locked").c_str(), 0), 0);
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  const pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    ::close(fds[0]);
    if (::geteuid() == 0 && (::setgid(65534) != 0 || ::setuid(65534) != 0)) ::_exit(2);
    std::string msg;
    for (const std::string& p : {dir_.root(), at("big")}) {
      Result<Paths> r = scan_directory_recursively(p);
      msg += (r.ok() ? std::string("ok") : r.error().message()) + "|";
    }
    ::_exit(::write(fds[1], msg.data(), msg.size()) < 0 ? 3 : 0);
  }
  ::close(fds[1]);
  std::string got;
  char buf[256];
  for (ssize_t n; (n = ::read(fds[0], buf, sizeof buf)) > 0;) got.append(buf, static_cast<size_t>(n));
  ::close(fds[0]);
  int status = 0;
  ::waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(got, "Permission denied (os error 13)|Permission denied (os error 13)|");
}

}  // namespace
}  // namespace sonorik::utils
