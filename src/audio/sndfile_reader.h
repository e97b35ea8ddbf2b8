// The door's path input (audio/source.h) under the names src/python still
// uses; this header goes once src/python opens audio through the door.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "audio/source.h"
#include "core/error.h"

namespace sonorik {

using analysis::Speaker;
using SndfileInfo = SourceInfo;

class SndfileReader {
 public:
  // open_audio(path).
  static Result<SndfileReader> open(const std::string& path) {
    Result<AudioSource> source = open_audio(path);
    if (!source) return std::move(source).error();
    return SndfileReader(std::move(source).value());
  }

  const SourceInfo& info() const noexcept { return source_.info; }
  Result<std::size_t> read(double* out, std::size_t max_frames) {
    return source_.reader.read(out, max_frames);
  }
  static std::vector<std::string> extensions() { return audio_extensions(); }

 private:
  explicit SndfileReader(AudioSource source) : source_(std::move(source)) {}
  AudioSource source_;
};

}  // namespace sonorik
