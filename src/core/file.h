// Owners of operating-system file resources: a file descriptor and a
// read-only memory mapping. Both close on every path; moves are noexcept and
// leave the source empty; destructors never throw.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include <ctime>

#include "core/bytes.h"
#include "core/error.h"
#include "core/fault_guard.h"

namespace sonorik {

// A path handed to the system must not hold a NUL byte: the system would read
// only the text before it and act on another file. Error: "file name
// contained an unexpected NUL byte".
Status check_path(const std::string& path);

// Writes all of `text` to `fd`, continuing after short writes and
// interruptions. A write that makes no progress is an I/O error.
Status write_all(int fd, std::string_view text);

class File {
 public:
  File() noexcept = default;
  explicit File(int fd) noexcept : fd_(fd) {}
  File(File&& other) noexcept : fd_(other.release()) {}
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  // Opens for reading. Never blocks on a FIFO or device: those (and every
  // other non-regular file) are refused, directories with EISDIR and the rest
  // with ENODEV, as a mapping of them would fail.
  static Result<File> open_regular_for_reading(const std::string& path);

  int fd() const noexcept { return fd_; }
  bool is_open() const noexcept { return fd_ >= 0; }
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes and reports a failed close (for files that were written).
  Status close();

 private:
  int fd_ = -1;
};

// The whole of a regular file mapped shared and read-only. An empty file has
// an empty span and no mapping. The mapping is guarded (core/fault_guard.h):
// if the file shrinks while it is read, the pages past its new end read as
// zeros instead of killing the process, and check_unchanged() says so. The
// descriptor stays open with the mapping so that the check can ask the file.
class MappedFile {
 public:
  MappedFile() noexcept = default;
  MappedFile(MappedFile&& other) noexcept;
  MappedFile& operator=(MappedFile&& other) noexcept;
  MappedFile(const MappedFile&) = delete;
  MappedFile& operator=(const MappedFile&) = delete;
  ~MappedFile();

  // Opens and maps. Errors are the operating system's, unchanged, and
  // kTooManyMappings when every fault-guard slot is taken.
  static Result<MappedFile> open(const std::string& path);

  Bytes bytes() const noexcept { return {data_, size_}; }
  std::size_t size() const noexcept { return size_; }

  // Error kChangedWhileRead when a read of the mapping faulted or the file's
  // size or modification time is no longer what it was when it was mapped.
  // Readers call it after each block they convert and at the end, so that
  // what they read is either the whole file as it was or an error.
  Status check_unchanged() const;

 private:
  void reset() noexcept;
  const std::uint8_t* data_ = nullptr;
  std::size_t size_ = 0;
  File file_;
  FaultGuard guard_;
  std::timespec mtime_{};
};

inline constexpr const char* kChangedWhileRead = "the file changed while being read";
inline constexpr const char* kTooManyMappings = "too many files are being read at once";

}  // namespace sonorik
