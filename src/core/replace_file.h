// Replacing a file without ever damaging what is there: the new content goes
// to a temporary file in the destination's directory, which is synced, given
// the destination's permission bits (and, where allowed, its owner and group)
// and renamed over the destination after the last byte. Until commit() the
// destination is untouched, and a replacement dropped without commit removes
// its temporary file. A destination that is a symbolic link is written
// through: the link stays and its final target is replaced. Replacing a file
// therefore needs write permission on its directory, and other hard links to
// the old file keep the old content.
#pragma once

#include <string>

#include "core/error.h"
#include "core/file.h"

namespace sonorik {

class FileReplacement {
 public:
  FileReplacement(FileReplacement&& other) noexcept;
  FileReplacement& operator=(FileReplacement&&) = delete;
  FileReplacement(const FileReplacement&) = delete;
  FileReplacement& operator=(const FileReplacement&) = delete;
  ~FileReplacement();

  // Resolves `destination` through its symbolic links and creates the
  // temporary file beside the final target. Errors (os_error texts): a
  // destination that exists and is a directory (EISDIR) or another
  // non-regular file (ENODEV); an existing destination we may not write to
  // (EACCES); a link chain that is too long (ELOOP); whatever the system
  // says when the temporary file cannot be created (a missing directory
  // ENOENT, a directory without write permission EACCES, a read-only file
  // system EROFS, ...); a NUL byte in the path.
  static Result<FileReplacement> begin(const std::string& destination);

  // The temporary file, open for reading and writing.
  int fd() const noexcept { return file_.fd(); }
  const std::string& temp_path() const noexcept { return temp_path_; }
  // The file that commit() replaces (the destination after its links).
  const std::string& target_path() const noexcept { return target_path_; }

  // Syncs and closes the temporary file and renames it over the target.
  // Errors: the system's, with the destination untouched.
  Status commit();

 private:
  FileReplacement(std::string temp_path, std::string target_path, File file);
  std::string temp_path_;
  std::string target_path_;
  File file_;
  bool done_ = false;  // renamed into place, or moved from
};

}  // namespace sonorik
