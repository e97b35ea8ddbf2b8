// Decoding of one audio file into an AudioData (64-bit float samples).
#pragma once

#include <string>

#include "compat/audio_data.h"
#include "core/bytes.h"
#include "core/error.h"

namespace sonorik {

// Decodes a WAV file (extension "wav", any letter case) into interleaved
// 64-bit floats: 8-bit bytes b as ((b - 128 + 128.0) / 255.0) * 2.0 - 1.0,
// 16/24/32-bit integers divided by 2^15/2^23/2^31, 32-bit floats widened
// unchanged. The samples are converted straight from the mapped file.
//
// The result's total_samples is the data chunk's declared sample count over
// all channels; duration_seconds is (total_samples / channels, integer
// division) / sample_rate.
//
// Errors (outermost message, cause):
//   "AIFF decoding not yet implemented"            extension aif or aiff
//   "Unsupported file format: {ext}"               any other extension, "" for none
//   the operating system's error, unchanged        the file cannot be opened or mapped
//   "Failed to create WAV reader"                  malformed header; cause: the parser's error
//   "Unsupported sample format: {Int|Float}/{bits} bits"
//   "Failed to read {U8|I16|I24|I32|F32} samples"  the data chunk declares more samples
//                                                  than the file holds; cause says how many
// A failing decode returns before allocating the sample list.
Result<AudioData> decode_audio_file(const std::string& path);

// The WAV part of decode_audio_file over the bytes of a whole file: the same
// result and the same errors from "Failed to create WAV reader" on.
Result<AudioData> decode_wav_bytes(Bytes file);

}  // namespace sonorik
