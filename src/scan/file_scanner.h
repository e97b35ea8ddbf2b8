// Finds the audio files a path designates: the file itself, or every audio
// file below a directory at any depth, sorted component by component. Which
// names are audio files is the caller's test (each module has its own list of
// extensions). Paths are byte strings (they need not be valid UTF-8); results
// are the given path joined with the names found below it, never made
// absolute.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace sonorik::utils {

// Decides from a path's name alone whether it names an audio file. Scans call
// it from several worker threads at once.
using NameTest = std::function<bool(std::string_view path)>;

// True for a path whose extension, lower-cased (core/text.h lower_extension),
// is one of `extensions` (lower case, no dot). ".wav" has no extension;
// "x.tar.aiff" has "aiff".
NameTest extension_test(std::vector<std::string> extensions);

// A regular file (links followed) whose name passes `is_audio`: a list of just
// the path, unchanged. A directory (links followed): scan_directory_recursively.
// Errors: "Not a supported audio file: {quoted path}" for a regular file with
// another name; "Path does not exist: {quoted path}" for a missing path, a
// dangling link, unreadable metadata, anything else (FIFO, device, socket)
// and a path containing a NUL byte; the scan's errors.
Result<std::vector<std::string>> find_audio_files(const std::string& path,
                                                  const NameTest& is_audio);

// Every file below `dir` whose name passes `is_audio`, sorted by path_less.
// Hidden entries are scanned; a non-directory entry is kept by its name alone
// (a dangling link or a FIFO named x.wav is listed). Directory links are
// followed, except one that leads back to a directory on the current path
// (same device and inode), which is skipped, so link cycles terminate.
// Directories of more than kParallelEntries entries are classified and
// descended in parallel on the worker pool; the result is the same.
// Errors: the operating system's ("Permission denied (os error 13)", with its
// os_errno()) for a directory that cannot be opened or an entry that cannot be
// read anywhere below; the first failing subdirectory in listing order
// decides. No partial list is returned. "file name contained an unexpected
// NUL byte" for such a `dir`.
Result<std::vector<std::string>> scan_directory_recursively(const std::string& dir,
                                                            const NameTest& is_audio);

inline constexpr std::size_t kParallelEntries = 50;

// Component-wise order: components (separated by '/') compared as byte
// strings, a component that is a prefix of the other first; "dir/a/x.wav"
// sorts before "dir/a.wav".
bool path_less(std::string_view a, std::string_view b);

}  // namespace sonorik::utils
