// What info() gives: a file's declared format, rate, channels, length and
// layout (FileInfo), and each of its audio streams (AudioStream). Files
// libsndfile reads hold one stream; containers read through PyAV (video.h)
// list theirs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/source.h"

namespace sonorik::meter {

// One audio stream of a file, as info() lists it.
struct AudioStream {
  unsigned index = 0;  // among the file's audio streams, from 0
  std::string codec;   // "aac", "ac3", "opus", ...; for a file libsndfile reads, its encoding
  std::uint32_t rate_hz = 0;
  unsigned channels = 0;
  std::vector<std::string> channel_map;
  std::optional<std::string> language;  // as the container tags it
  std::optional<double> duration_s;     // as the container declares it
  bool is_default = false;              // marked as the stream to play
};

// What Python sees as FileInfo.
struct FileInfo {
  SourceInfo info;
  std::vector<std::string> channel_map;
  std::vector<AudioStream> streams;
};

}  // namespace sonorik::meter
