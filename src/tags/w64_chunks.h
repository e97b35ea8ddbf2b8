// Chunks added to a finished Sony Wave64 file. Neither TagLib nor libsndfile
// writes a W64 chunk other than its own, so the bext and iXML chunks of a
// broadcast WAV are put in here. A W64 chunk is a 16-byte GUID (for a RIFF
// chunk name, the four characters followed by the fixed tail
// F3 AC D3 11 8C D1 00 C0 4F 8E DB 8A), a 64-bit little-endian size that
// counts its 24-byte header and its body, then zero bytes up to a multiple
// of 8. Readers take the audio to the end of the file, so the chunks go
// before the audio chunk: the audio is moved up to make room (the file is
// the normaliser's own temporary file), and the size in the header grows.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace sonorik::tags {

// (four-character RIFF name, body)
using W64Chunk = std::pair<std::string, std::string>;

// Puts `chunks` before the audio chunk of the W64 file at `path`. False when
// the file is not a W64 file whose declared size is its length with an audio
// chunk, or a read or write fails (the file is then in an unknown state and
// must be discarded).
bool insert_w64_chunks(const std::string& path, const std::vector<W64Chunk>& chunks);

}  // namespace sonorik::tags
