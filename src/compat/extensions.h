// The audio file extensions of the sonorik module, written once: the loader,
// the decoder, the file scanner and the analysis entry all ask here. Header
// only, so that the scanner (which the module is built on) can use it too.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/text.h"

namespace sonorik {

enum class AudioExtension : std::uint8_t {
  Other,  // not an audio file to the sonorik module
  Wav,    // "wav": decoded, and read by the mapped fast path
  Aiff,   // "aif" or "aiff": accepted as audio, but not decoded
};

// The kind of an extension already lower-cased (as lower_extension gives it).
constexpr AudioExtension classify_extension(std::string_view lower_ext) noexcept {
  if (lower_ext == "wav") return AudioExtension::Wav;
  if (lower_ext == "aif" || lower_ext == "aiff") return AudioExtension::Aiff;
  return AudioExtension::Other;
}

// The kind of a path's extension, in any letter case ("A.WAV" is Wav).
inline AudioExtension audio_extension_of(std::string_view path) {
  return classify_extension(lower_extension(path));
}

}  // namespace sonorik
