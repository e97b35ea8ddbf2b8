// What measure(), info(), Meter.add_source() and measure_album() take as an
// audio source besides arrays, turned into the door's input (audio/source.h):
// - a path: str or os.PathLike;
// - an encoded file in memory: bytes, bytearray or a memoryview of bytes,
//   read in place (no copy) behind a MemoryFile, the buffer held until the
//   call returns;
// - a binary file-like object (io.BytesIO, an open file, an fsspec file):
//   a VirtualFile whose reads, seeks and tells call the object's methods,
//   each taking the interpreter lock only while it runs. The audio starts at
//   the object's position when the call begins. An object that cannot seek
//   (seekable() false) is read whole into memory first. An exception raised
//   by one of its methods ends the read and is raised again as the cause of
//   the call's OSError, never taken for the end of the audio;
// - a str with a URL scheme ("s3://", "gs://", "https://", ...): opened
//   through fsspec as a file-like object (the optional extra "urls").
// A memoryview or buffer of numbers (float32, int16, ...) is an array.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>
#include <optional>
#include <string>

#include "audio/source.h"
#include "core/error.h"
#include "python/meter/arguments.h"
#include "python/pyref.h"

namespace sonorik::meter {

namespace nb = nanobind;

enum class SourceKind { path, url, encoded, file_like, array };

// What `value` is as a source (the lock held).
SourceKind source_kind(nb::handle value);

// True for a source whose repr names it in errors: a path or a URL.
inline bool names_itself(nb::handle value) {
  const SourceKind k = source_kind(value);
  return k == SourceKind::path || k == SourceKind::url;
}

// A source other than an array, ready to be opened: made and destroyed with
// the interpreter lock held; open() runs without it.
class SourceArg {
 public:
  // Takes `value` (not an array). `name` is the argument's name in the
  // TypeError for a value of no known kind. Raises TypeError, ImportError
  // "measuring a URL needs fsspec: pip install "sonorik[urls]"" without
  // fsspec, and what fsspec, os.fspath or the file-like object raise.
  SourceArg(const nb::object& value, const char* name);
  ~SourceArg();
  SourceArg(const SourceArg&) = delete;
  SourceArg& operator=(const SourceArg&) = delete;

  // Opens the audio through the door (callable once per argument); `once`
  // for a caller that reads it once through (a path read by position,
  // open_audio_once).
  Result<AudioSource> open(bool once = false);

  // Raises the OSError for `error`, which open() or a read gave: a path's
  // errno subclass naming the path; else "{error}: {what the source is}",
  // with the file-like object's own exception as its cause (or that
  // exception itself when it is not an Exception, such as
  // KeyboardInterrupt).
  [[noreturn]] void raise_error(const Error& error);

  // How errors name the source: the path (str or bytes), the URL, or a
  // description ("bytes of 1234 bytes", "<_io.BytesIO object at ...>").
  std::string label() const;
  // The path as os.fspath gave it, or None.
  nb::object path_shown() const { return path_ ? path_->shown : nb::none(); }
  // The path, or null for another kind of source.
  const PathArg* path() const { return path_ ? &*path_ : nullptr; }
  // How messages show the source: the path's or URL's repr, else label().
  std::string shown() const;

  struct Callbacks;  // the file-like object's calls (sources.cpp)

 private:
  void take_file_like(const nb::object& file);
  void take_buffer(const nb::object& value);

  std::optional<PathArg> path_;
  nb::object value_;   // the argument itself
  std::string url_;    // for a URL
  nb::object opened_;  // the fsspec file opened for a URL, closed at the end
  nb::object whole_;   // the bytes read from a stream that cannot seek
  Py_buffer view_{};   // the bytes read in place
  bool viewing_ = false;
  std::unique_ptr<Callbacks> calls_;
};

}  // namespace sonorik::meter
