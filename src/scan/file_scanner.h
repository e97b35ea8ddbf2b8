// Finds the audio files a path designates: the file itself, or every audio
// file below a directory at any depth, sorted component by component.
// Paths are byte strings (they need not be valid UTF-8); results are the
// given path joined with the names found below it, never made absolute.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace sonorik::utils {

// True when the path's extension, lower-cased, is "wav", "aif" or "aiff".
// Looks at the name only. ".wav" has no extension; "x.tar.aiff" is audio.
bool is_audio_file(std::string_view path);

// A regular file (links followed) with an audio extension: a list of just the
// path, unchanged. A directory (links followed): scan_directory_recursively.
// Errors: "Not a supported audio file: {quoted path}" for a regular file with
// another extension; "Path does not exist: {quoted path}" for a missing path,
// a dangling link, unreadable metadata, anything else (FIFO, device, socket)
// and a path containing a NUL byte; the scan's errors.
Result<std::vector<std::string>> find_audio_files(const std::string& path);

// Every audio file below `dir`, sorted by path_less. Hidden entries are
// scanned; a non-directory entry is kept by its name alone (a dangling link or
// a FIFO named x.wav is listed). Directory links are followed, except one that
// leads back to a directory on the current path (same device and inode),
// which is skipped, so link cycles terminate.
// Directories of more than kParallelEntries entries are classified and
// descended in parallel on the worker pool; the result is the same.
// Errors: the operating system's ("Permission denied (os error 13)") for a
// directory that cannot be opened or an entry that cannot be read anywhere
// below; the first failing subdirectory in listing order decides. No partial
// list is returned.
Result<std::vector<std::string>> scan_directory_recursively(const std::string& dir);

inline constexpr std::size_t kParallelEntries = 50;

// Component-wise order: components (separated by '/') compared as byte
// strings, a component that is a prefix of the other first; "dir/a/x.wav"
// sorts before "dir/a.wav".
bool path_less(std::string_view a, std::string_view b);

}  // namespace sonorik::utils
