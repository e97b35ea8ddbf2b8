// Decoding of one audio file into an AudioData (64-bit float samples), whole
// or block by block from the mapped file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "compat/audio_data.h"
#include "compat/sample_converter.h"
#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"

namespace sonorik {

// A WAV file's header as the decoder reads it, over the bytes of the whole
// file: the description decode_audio_file gives, and the samples converted
// on request. Holds no samples of its own; borrows the bytes.
class WavSamples {
 public:
  // The header checks of decode_wav_bytes, with its errors (from "Failed to
  // create WAV reader" to "Failed to read {} samples"); nothing is converted.
  static Result<WavSamples> parse(Bytes file);

  // As decode_audio_file fills it: total_samples is the declared sample
  // count over all channels, duration_seconds (total_samples / channels,
  // integer division) / sample_rate.
  const AudioInfo& info() const noexcept { return info_; }
  std::uint64_t sample_count() const noexcept { return info_.total_samples; }

  // Converts samples [first, first + count) into out[0..count) (the values of
  // decode_audio_file). Requires first + count <= sample_count().
  void convert(std::uint64_t first, std::size_t count, double* out) const noexcept;
  // Where the bytes of samples [first, first + count) lie in the file.
  Bytes sample_bytes(std::uint64_t first, std::size_t count) const noexcept;

 private:
  AudioInfo info_;
  SampleLayout layout_;
  const std::uint8_t* first_ = nullptr;
};

// A WAV file mapped and its header checked, read block by block: what
// streams a long file through a small buffer.
class WavFileSamples {
 public:
  // The errors of decode_audio_file up to and including the header checks.
  static Result<WavFileSamples> open(const std::string& path);

  const AudioInfo& info() const noexcept { return wav_.info(); }
  std::uint64_t sample_count() const noexcept { return wav_.sample_count(); }

  // Converts samples [first, first + count) into out[0..count), then lets the
  // system drop the pages read from the process's memory (they stay in the
  // page cache), so that streaming a file does not grow the process by the
  // file's size. Errors: kInterrupted (asked first, nothing read),
  // kChangedWhileRead (the file shrank or changed: what was read is not the
  // file). Requires first + count <= sample_count().
  Status read(std::uint64_t first, std::size_t count, double* out) const;

  // kChangedWhileRead when the file is no longer what was mapped.
  Status check_unchanged() const { return mapping_.check_unchanged(); }

 private:
  WavFileSamples(MappedFile mapping, WavSamples wav) : mapping_(std::move(mapping)), wav_(wav) {}
  MappedFile mapping_;
  WavSamples wav_;
};

// Samples per block when a file is read block by block.
inline constexpr std::size_t kDecodeBlockSamples = std::size_t{1} << 16;

// Decodes a WAV file (extension "wav", any letter case) into interleaved
// 64-bit floats: 8-bit bytes b as ((b - 128 + 128.0) / 255.0) * 2.0 - 1.0,
// 16/24/32-bit integers divided by 2^15/2^23/2^31, 32-bit floats widened
// unchanged. The samples are converted straight from the mapped file, block
// by block.
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
//   kChangedWhileRead                              the file changed under the read
//   kInterrupted                                   the user interrupted (core/interrupt.h)
// A failing header check returns before allocating the sample list.
Result<AudioData> decode_audio_file(const std::string& path);

// The loader's checks before any sample is read, on the file opened for
// reading block by block. Errors (outermost message):
//   "Unsupported audio format: {quoted path}"      not a wav, aif or aiff name
//   "Failed to decode audio file: {quoted path}"   caused by the errors of
//                                                  WavFileSamples::open
//   the check_sample_rate error                    a rate above 2822400 Hz
Result<WavFileSamples> open_for_loading(const std::string& path);

// The samples of a file opened with WavFileSamples::open, read block by
// block into one list: decode_audio_file after its header checks, with its
// errors kChangedWhileRead and kInterrupted.
Result<AudioData> decode_wav_file(const WavFileSamples& file);

// The WAV part of decode_audio_file over the bytes of a whole file: the same
// result and the same errors from "Failed to create WAV reader" on.
Result<AudioData> decode_wav_bytes(Bytes file);

}  // namespace sonorik
