#include "core/replace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <utility>

#include "core/text.h"

namespace sonorik {
namespace {

// The destination after following symbolic links, and what is there now.
struct Destination {
  std::string path;
  std::optional<struct stat> existing;  // absent when nothing is there yet
};

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

// Follows a chain of symbolic links to the path that will really be
// replaced. A dangling link resolves to the file it names, which is created.
Result<Destination> resolve_destination(const std::string& output_path) {
  std::string path = output_path;
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) return Destination{path, std::nullopt};
      return os_error(errno);
    }
    if (!S_ISLNK(st.st_mode)) {
      if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
      if (!S_ISREG(st.st_mode)) return os_error(ENODEV);
      return Destination{path, st};
    }
    std::string link(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), link.data(), link.size());
    if (n < 0) return os_error(errno);
    if (static_cast<std::size_t>(n) >= link.size()) return os_error(ENAMETOOLONG);
    link.resize(static_cast<std::size_t>(n));
    path = (!link.empty() && link[0] == '/') ? link : parent_of(path) + "/" + link;
  }
  return os_error(ELOOP);
}

std::string hex(unsigned long long v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%llx", v);
  return buf;
}

// Makes the rename durable; a failure here cannot undo the replacement, so
// it is not reported.
void sync_directory(const std::string& dir) {
  const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

}  // namespace

FileReplacement::FileReplacement(std::string temp_path, std::string target_path, File file)
    : temp_path_(std::move(temp_path)),
      target_path_(std::move(target_path)),
      file_(std::move(file)) {}

FileReplacement::FileReplacement(FileReplacement&& other) noexcept
    : temp_path_(std::move(other.temp_path_)),
      target_path_(std::move(other.target_path_)),
      file_(std::move(other.file_)),
      done_(other.done_) {
  other.done_ = true;
}

FileReplacement::~FileReplacement() {
  if (!done_) {
    file_ = File();
    ::unlink(temp_path_.c_str());
  }
}

Result<FileReplacement> FileReplacement::begin(const std::string& destination) {
  if (Status valid = check_path(destination); !valid) return std::move(valid).error();
  Result<Destination> dest = resolve_destination(destination);
  if (!dest) return std::move(dest).error();
  // A write-protected file stays protected, as it would against a plain
  // open for writing, even though the rename itself would be allowed.
  if (dest->existing && ::faccessat(AT_FDCWD, dest->path.c_str(), W_OK, AT_EACCESS) != 0)
    return os_error(errno);
  const std::string dir = parent_of(dest->path);

  // A uniquely named hidden file, created exclusively. A new destination
  // gets 0666 less the umask; an existing one's bits are copied below, so
  // the file starts private.
  static std::atomic<unsigned long long> counter{0};
  std::random_device random;
  const mode_t mode = dest->existing ? 0600 : 0666;
  for (int attempt = 0; attempt < 32; ++attempt) {
    std::string path = (dir == "/" ? std::string() : dir) + "/.sonorik-" +
                       hex(static_cast<unsigned long long>(::getpid())) + "-" +
                       hex(counter.fetch_add(1)) + "-" + hex(random()) + ".tmp";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
      if (errno == EEXIST) continue;
      return os_error(errno);
    }
    FileReplacement r(std::move(path), dest->path, File(fd));
    if (dest->existing) {
      // Owner and group where the system allows it (it may clear set-id
      // bits, so it comes before the mode).
      if (::fchown(fd, dest->existing->st_uid, dest->existing->st_gid) != 0) {
        (void)::fchown(fd, static_cast<uid_t>(-1), dest->existing->st_gid);
      }
      // The file was created 0600: if the file system cannot take the bits,
      // it stays at least as private as the old one.
      (void)::fchmod(fd, dest->existing->st_mode & 07777);
    }
    return r;
  }
  return os_error(EEXIST);
}

Status FileReplacement::commit() {
  if (done_) return Error("The file was already replaced.");
  if (::fsync(file_.fd()) != 0) return os_error(errno);
  if (Status s = file_.close(); !s) return s;
  if (::rename(temp_path_.c_str(), target_path_.c_str()) != 0) return os_error(errno);
  done_ = true;
  sync_directory(parent_of(target_path_));
  return ok_status();
}

}  // namespace sonorik
