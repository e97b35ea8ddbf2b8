// The channel mask a FLAC file declares in its WAVEFORMATEXTENSIBLE_CHANNEL_MASK
// comment (read and written with TagLib), for layouts other than FLAC's own
// order for the channel count.
#pragma once

#include <cstdint>
#include <string>

#include "audio/integrity.h"
#include "core/error.h"

namespace sonorik {

// The mask of the FLAC file at `path`, or 0 when it has none or cannot be read.
std::uint32_t read_flac_channel_mask(const std::string& path);
// The same for a FLAC file read through `input` (bytes, a file-like object).
std::uint32_t read_flac_channel_mask(ByteReader& input);

// Adds the comment with `mask` ("0x003F") to the FLAC file at `path`. Error:
// "cannot write the channel mask into the FLAC file".
Status write_flac_channel_mask(const std::string& path, std::uint32_t mask);

}  // namespace sonorik
