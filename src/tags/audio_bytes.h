// The bytes a decoder turns into a file's audio, found without decoding:
// after a tag is rewritten, the same bytes there mean the same samples.
#pragma once

#include <string>

#include "tags/tag_set.h"

namespace sonorik::tags {

// Whether the files at `a` and `b` of `family` hold byte for byte the same
// audio stream: FLAC, the STREAMINFO block and everything after the
// metadata blocks; MP3, everything after the leading ID3v2 tags; WAV and
// AIFF, the format and sample data chunks; Ogg Vorbis and Opus, the ID
// header and the audio pages (same_ogg_audio: an Opus output gain is not
// compared). False when it cannot tell (other families, a file that cannot be
// mapped, walked or changed while read) or when they differ: the caller then
// compares decoded samples.
bool same_audio_bytes(const std::string& a, const std::string& b, Family family);

}  // namespace sonorik::tags
