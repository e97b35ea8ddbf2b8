#include "scan/file_scanner.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "core/text.h"

namespace sonorik::utils {
namespace {

using Paths = std::vector<std::string>;

// A fresh directory below the system's temporary directory, removed afterwards.
class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (std::filesystem::temp_directory_path() / "scanner-XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    root_ = tmpl;
    ::chmod(root_.c_str(), 0755);
  }
  void TearDown() override {
    std::error_code ec;
    // Make everything removable again, then remove.
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
    }
    std::filesystem::remove_all(root_, ec);
  }
  std::string at(const std::string& rel) const { return root_ + "/" + rel; }
  void touch(const std::string& rel) {
    std::filesystem::create_directories(std::filesystem::path(at(rel)).parent_path());
    std::ofstream(at(rel)) << "x";
  }
  void mkdir(const std::string& rel) { std::filesystem::create_directories(at(rel)); }
  void link(const std::string& target, const std::string& rel) {
    ASSERT_EQ(::symlink(target.c_str(), at(rel).c_str()), 0);
  }
  Paths found(const std::string& path) {
    Result<Paths> r = find_audio_files(path);
    EXPECT_TRUE(r.ok()) << (r.ok() ? "" : r.error().message());
    return r.ok() ? r.value() : Paths{};
  }
  std::string error_of(const std::string& path) {
    Result<Paths> r = find_audio_files(path);
    EXPECT_FALSE(r.ok());
    return r.ok() ? "" : r.error().message();
  }
  std::string root_;
};

struct NameCase {
  const char* path;
  bool audio;
};
class AudioName : public ::testing::TestWithParam<NameCase> {};
TEST_P(AudioName, ExtensionDecides) { EXPECT_EQ(is_audio_file(GetParam().path), GetParam().audio); }
INSTANTIATE_TEST_SUITE_P(
    Names, AudioName,
    ::testing::Values(NameCase{"song.wav", true}, NameCase{"song.WAV", true},
                      NameCase{"d/x.Aif", true}, NameCase{"x.tar.aiff", true},
                      NameCase{"AIFF.AIFF", true}, NameCase{".wav", false},
                      NameCase{"d/.aif", false}, NameCase{"notes.txt", false},
                      NameCase{"wav", false}, NameCase{"a.wav.txt", false},
                      NameCase{"d.wav/noext", false}, NameCase{"a.w\xc3\xa4v", false},
                      NameCase{"a.wa\xff", false}, NameCase{"a.mp3", false}));

TEST(PathOrder, ComponentWiseNotWholeString) {
  EXPECT_TRUE(path_less("dir/a/x.wav", "dir/a.wav"));
  EXPECT_FALSE(path_less("dir/a.wav", "dir/a/x.wav"));
  EXPECT_TRUE(path_less("d/a", "d/a/b"));
  EXPECT_TRUE(path_less("d/B.wav", "d/a.wav"));  // bytes: upper case first
  EXPECT_TRUE(path_less("d/z.wav", "d/\xc3\xa9.wav"));  // bytes above 0x7f after ASCII
  EXPECT_FALSE(path_less("d/a.wav", "d/a.wav"));
  EXPECT_FALSE(path_less("d//a.wav", "d/a.wav"));  // repeated separators are one
}

TEST_F(TempDir, SingleFileGivenDirectly) {
  touch("song.WAV");
  touch("notes.txt");
  EXPECT_EQ(found(at("song.WAV")), Paths{at("song.WAV")});
  EXPECT_EQ(error_of(at("notes.txt")), "Not a supported audio file: " + quoted_path(at("notes.txt")));
}

TEST_F(TempDir, NothingUsableIsPathDoesNotExist) {
  link(at("gone.wav"), "dangling.wav");
  ASSERT_EQ(::mkfifo(at("pipe.wav").c_str(), 0644), 0);
  for (const std::string& p : {at("missing"), at("dangling.wav"), at("pipe.wav")}) {
    EXPECT_EQ(error_of(p), "Path does not exist: " + quoted_path(p));
  }
  const std::string with_nul = root_ + std::string("\0/x.wav", 7);
  EXPECT_EQ(error_of(with_nul), "Path does not exist: " + quoted_path(with_nul));
}

TEST_F(TempDir, EmptyDirectory) {
  EXPECT_EQ(found(root_), Paths{});
  EXPECT_EQ(found(root_ + "/"), Paths{});
}

TEST_F(TempDir, NestedSortedByComponents) {
  touch("a.wav");
  touch("a/x.wav");
  touch("a/b/deep.AIFF");
  touch("a/readme.md");
  touch(".hidden/h.wav");
  touch(".wav");
  touch("B.aif");
  touch("x.tar.aiff");
  touch(std::string("bad\xff.wav"));
  EXPECT_EQ(found(root_), (Paths{at(".hidden/h.wav"), at("B.aif"), at("a/b/deep.AIFF"),
                                 at("a/x.wav"), at("a.wav"), at(std::string("bad\xff.wav")),
                                 at("x.tar.aiff")}));
  // A trailing separator is kept as given and not doubled.
  EXPECT_EQ(found(root_ + "/").front(), root_ + "/.hidden/h.wav");
}

TEST_F(TempDir, SpecialEntriesAreKeptByName) {
  ASSERT_EQ(::mkfifo(at("fifo.wav").c_str(), 0644), 0);
  link(at("nowhere"), "dangling.wav");
  link(at("nowhere"), "dangling");
  touch("real.wav");
  link(at("real.wav"), "alias.aif");
  const int s = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock = at("sock.wav");
  ASSERT_LT(sock.size(), sizeof addr.sun_path);
  std::copy(sock.begin(), sock.end(), addr.sun_path);
  ASSERT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ::close(s);
  EXPECT_EQ(found(root_), (Paths{at("alias.aif"), at("dangling.wav"), at("fifo.wav"),
                                 at("real.wav"), at("sock.wav")}));
}

TEST_F(TempDir, DirectoryLinksFollowedButCyclesCut) {
  touch("music/a.wav");
  touch("music/sub/b.wav");
  link("..", "music/sub/up");          // back to music: a cycle
  link(root_, "music/sub/top");        // back to the root: a cycle
  link(at("music/sub"), "music/self"); // a second way into sub: followed, not a cycle
  link("loop2", "loop1");              // a link loop: ELOOP, dangling by name
  link("loop1", "loop2");
  EXPECT_EQ(found(root_), (Paths{at("music/a.wav"), at("music/self/b.wav"), at("music/sub/b.wav")}));
  // From inside, the links lead once out to directories not yet on the path
  // and stop where they come back to it.
  EXPECT_EQ(found(at("music/sub")), (Paths{at("music/sub/b.wav"), at("music/sub/top/music/a.wav"),
                                           at("music/sub/up/a.wav")}));
}

// 50 entries are scanned on the calling thread, 51 on the pool; big
// subdirectories inside big directories nest on the pool.
class EntryCount : public TempDir, public ::testing::WithParamInterface<int> {};
TEST_P(EntryCount, SameResultSerialAndParallel) {
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
  std::stable_sort(expected.begin(), expected.end(),
                   [](const std::string& a, const std::string& b) { return path_less(a, b); });
  EXPECT_EQ(found(root_), expected);
}
INSTANTIATE_TEST_SUITE_P(Sizes, EntryCount, ::testing::Values(50, 51, 120));

// Root reads every directory, so the unreadable case runs in a child that
// gives up its privileges first.
TEST_F(TempDir, UnreadableSubdirectoryFailsTheWholeScan) {
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
    for (const std::string& p : {root_, at("big")}) {
      Result<Paths> r = scan_directory_recursively(p);
      msg += r.ok() ? std::string("ok") : r.error().message();
      msg += "|";
    }
    if (::write(fds[1], msg.data(), msg.size()) < 0) ::_exit(3);
    ::_exit(0);
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

TEST_F(TempDir, MissingDirectoryIsAnOsError) {
  Result<Paths> r = scan_directory_recursively(at("missing"));
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "No such file or directory (os error 2)");
}

}  // namespace
}  // namespace sonorik::utils
