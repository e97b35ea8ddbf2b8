#include "normalize/processor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <optional>
#include <random>
#include <utility>

#include "core/file.h"
#include "core/text.h"

namespace sonorik::normalize {
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

// A temporary file that is removed unless it was renamed into place.
class TempFile {
 public:
  TempFile(std::string path, File file) : path_(std::move(path)), file_(std::move(file)) {}
  TempFile(TempFile&& other) noexcept
      : path_(std::move(other.path_)), file_(std::move(other.file_)), keep_(other.keep_) {
    other.keep_ = true;
  }
  TempFile& operator=(TempFile&&) = delete;
  ~TempFile() {
    if (!keep_) {
      file_ = File();
      ::unlink(path_.c_str());
    }
  }

  const std::string& path() const noexcept { return path_; }
  File& file() noexcept { return file_; }
  void keep() noexcept { keep_ = true; }

 private:
  std::string path_;
  File file_;
  bool keep_ = false;
};

std::string hex(unsigned long long v) {
  char buf[17];
  std::snprintf(buf, sizeof buf, "%llx", v);
  return buf;
}

// Creates a new, uniquely named hidden file in `dir`, exclusively. A new
// destination gets 0666 less the umask; an existing one's bits are copied
// later, so the file starts private.
Result<TempFile> create_temp(const std::string& dir, bool destination_exists) {
  static std::atomic<unsigned long long> counter{0};
  std::random_device random;
  const mode_t mode = destination_exists ? 0600 : 0666;
  for (int attempt = 0; attempt < 32; ++attempt) {
    const std::string path = (dir == "/" ? std::string() : dir) + "/.sonorik-" +
                             hex(static_cast<unsigned long long>(::getpid())) + "-" +
                             hex(counter.fetch_add(1)) + "-" + hex(random()) + ".tmp";
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd >= 0) return TempFile(path, File(fd));
    if (errno != EEXIST) return os_error(errno);
  }
  return os_error(EEXIST);
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

WavFormat wav_format_for(const AudioInfo& info) {
  const bool is_float = info.sample_format == SampleFormat::F32 || info.sample_format == SampleFormat::F64;
  return WavFormat{info.channels, info.sample_rate, info.bit_depth,
                 is_float ? WavEncoding::Float : WavEncoding::Int};
}

Status write_normalized_audio(const std::string& output_path, const AudioData& audio) {
  return write_normalized_samples(output_path, audio.info, audio.samples, {});
}

Status write_normalized_samples(const std::string& output_path, const AudioInfo& info,
                                std::span<const double> samples) {
  return write_normalized_samples(output_path, info, samples, {});
}

Status write_normalized_samples(const std::string& output_path, const AudioInfo& info,
                                std::span<const double> samples, const WavWriteFunction& write) {
  if (Status valid = check_path(output_path); !valid) return valid;
  const WavFormat format = wav_format_for(info);
  if (Status s = WavWriter::check_format(format); !s) return s;
  if (Status s = WavWriter::check_size(format, samples.size()); !s) return s;

  Result<Destination> dest = resolve_destination(output_path);
  if (!dest) return std::move(dest).error();
  // A write-protected file stays protected, as it would against a plain
  // open for writing, even though the rename itself would be allowed.
  if (dest->existing && ::faccessat(AT_FDCWD, dest->path.c_str(), W_OK, AT_EACCESS) != 0)
    return os_error(errno);
  const std::string dir = parent_of(dest->path);

  Result<TempFile> temp = create_temp(dir, dest->existing.has_value());
  if (!temp) return std::move(temp).error();
  const int fd = temp->file().fd();

  if (dest->existing) {
    // Owner and group where the system allows it (it may clear set-id bits,
    // so it comes before the mode).
    if (::fchown(fd, dest->existing->st_uid, dest->existing->st_gid) != 0) {
      (void)::fchown(fd, static_cast<uid_t>(-1), dest->existing->st_gid);
    }
    // The file was created 0600: if the file system cannot take the bits, it
    // stays at least as private as the old one.
    (void)::fchmod(fd, dest->existing->st_mode & 07777);
  }

  Result<WavWriter> writer = WavWriter::create(fd, format, write);
  if (!writer) return std::move(writer).error();
  if (Status s = writer->write_samples(samples); !s) return s;
  if (Status s = writer->finalize(); !s) return s;
  if (::fsync(fd) != 0) return os_error(errno);
  if (Status s = temp->file().close(); !s) return s;

  if (::rename(temp->path().c_str(), dest->path.c_str()) != 0) return os_error(errno);
  temp->keep();
  sync_directory(dir);
  return ok_status();
}

}  // namespace sonorik::normalize
