// The pages of an Ogg file of one logical stream (Vorbis, Opus), walked
// from its bytes with every length checked: the audio pages compared between
// two files, and the output gain of an Opus file's ID header read and set.
#pragma once

#include <cstdint>
#include <optional>

#include "core/bytes.h"
#include "core/error.h"

namespace sonorik::tags {

// Whether `a` and `b` hold the same stream: the same ID header packet on
// their first pages (for Opus, its output gain aside: the caller compares
// it), and, from the first page after the header packets (Vorbis: three,
// Opus: two) on, the same pages byte for byte, their sequence numbers and
// checksums aside (they change when the comment header takes another number
// of pages); `b`'s pages then carry consecutive sequence numbers and valid
// checksums. False when either is not such a file.
bool same_ogg_audio(Bytes a, Bytes b, bool opus);

// The output gain of the Opus ID header on the first page of `f`, in 1/256
// dB; nothing when the first page is not a whole, single OpusHead packet.
std::optional<std::int16_t> opus_header_gain(Bytes f);

// Sets the output gain of the Opus ID header on the first page of the file
// open for reading and writing as `fd` to `gain` (1/256 dB), and that page's
// checksum to match. Errors: the first page cannot be read, is not a single
// OpusHead packet, or fails its checksum (then nothing is written).
Status set_opus_header_gain(int fd, std::int16_t gain);

}  // namespace sonorik::tags
