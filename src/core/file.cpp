#include "core/file.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/text.h"

namespace sonorik {

Status check_path(const std::string& path) {
  if (path.find('\0') != std::string::npos) {
    return Error("file name contained an unexpected NUL byte");
  }
  return ok_status();
}

Status write_all(int fd, std::string_view text) {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) return os_error(EIO);
    text.remove_prefix(static_cast<std::size_t>(n));
  }
  return ok_status();
}

File& File::operator=(File&& other) noexcept {
  if (this != &other) {
    if (fd_ >= 0) ::close(fd_);
    fd_ = other.release();
  }
  return *this;
}

File::~File() {
  if (fd_ >= 0) ::close(fd_);
}

Status File::close() {
  const int fd = release();
  if (fd >= 0 && ::close(fd) != 0 && errno != EINTR) return os_error(errno);
  return ok_status();
}

Result<File> File::open_regular_for_reading(const std::string& path) {
  if (Status valid = check_path(path); !valid) return std::move(valid).error();
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return os_error(errno);
  File file(fd);
  struct stat st {};
  if (::fstat(fd, &st) != 0) return os_error(errno);
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(st.st_mode)) return os_error(ENODEV);
  // Back to blocking reads for a regular file (O_NONBLOCK only kept open()
  // from waiting on a FIFO).
  const int flags = ::fcntl(fd, F_GETFL);
  if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
  return file;
}

MappedFile::MappedFile(MappedFile&& other) noexcept
    : data_(other.data_),
      size_(other.size_),
      file_(std::move(other.file_)),
      guard_(std::move(other.guard_)),
      mtime_(other.mtime_) {
  other.data_ = nullptr;
  other.size_ = 0;
}

MappedFile& MappedFile::operator=(MappedFile&& other) noexcept {
  if (this != &other) {
    reset();
    data_ = other.data_;
    size_ = other.size_;
    file_ = std::move(other.file_);
    guard_ = std::move(other.guard_);
    mtime_ = other.mtime_;
    other.data_ = nullptr;
    other.size_ = 0;
  }
  return *this;
}

MappedFile::~MappedFile() { reset(); }

void MappedFile::reset() noexcept {
  guard_ = FaultGuard();  // released before the pages go
  if (data_ != nullptr && size_ > 0) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  data_ = nullptr;
  size_ = 0;
  file_ = File();
}

Status MappedFile::check_unchanged() const {
  if (guard_.damaged()) return Error(kChangedWhileRead);
  if (!file_.is_open()) return ok_status();
  struct stat st {};
  if (::fstat(file_.fd(), &st) != 0) return os_error(errno);
  if (static_cast<std::size_t>(st.st_size) != size_ || st.st_mtim.tv_sec != mtime_.tv_sec ||
      st.st_mtim.tv_nsec != mtime_.tv_nsec) {
    return Error(kChangedWhileRead);
  }
  return ok_status();
}

Result<MappedFile> MappedFile::open(const std::string& path) {
  Result<File> file = File::open_regular_for_reading(path);
  if (!file) return std::move(file).error();
  struct stat st {};
  if (::fstat(file->fd(), &st) != 0) return os_error(errno);
  MappedFile m;
  m.mtime_ = st.st_mtim;
  if (st.st_size <= 0) {
    m.file_ = std::move(*file);
    return m;
  }
  const auto size = static_cast<std::size_t>(st.st_size);
  void* p = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, file->fd(), 0);
  if (p == MAP_FAILED) return os_error(errno);
  FaultGuard guard(p, size);
  if (!guard.active()) {
    ::munmap(p, size);
    return Error(kTooManyMappings);
  }
  ::madvise(p, size, MADV_SEQUENTIAL);
  m.data_ = static_cast<const std::uint8_t*>(p);
  m.size_ = size;
  m.guard_ = std::move(guard);
  m.file_ = std::move(*file);
  return m;
}

}  // namespace sonorik
