// The normalized WAV writer: stores audio as a WAV file with the input's
// channel count, sample rate and bit depth (integer PCM unless the audio came
// from a float file), replacing the destination only once the new file is
// complete.
//
// A write never damages what is already there: the file is written to a
// temporary file in the destination's directory, synced, given the
// destination's permission bits (and, where allowed, its owner and group),
// and renamed over the destination after the last byte. On any failure the
// temporary file is removed and the destination is left exactly as it was. A
// destination that is a symbolic link is written through: the link stays and
// its final target is replaced. As a consequence, replacing a file needs
// write permission on its directory, and other hard links to the old file
// keep the old content.
#pragma once

#include <cstdint>
#include <span>
#include <string>

#include "compat/audio_data.h"
#include "compat/wav_writer.h"
#include "core/error.h"
#include "core/replace_file.h"

namespace sonorik::normalize {

// The WAV format for audio described by `info`: its channels, sample
// rate and bit depth, float when the sample format is F32 or F64, integer
// otherwise (8-bit audio is written as unsigned 8-bit PCM).
WavFormat wav_format_for(const AudioInfo& info);

// A normalized WAV file being written block by block: the temporary file of
// the replacement, the writer over it. Nothing reaches the destination before
// commit(); dropped without commit, the temporary file is removed.
class NormalizedWavOutput {
 public:
  // Runs the checks of write_normalized_samples for `sample_count` samples
  // described by `info`, then creates the temporary file and its header.
  // Errors: those of write_normalized_samples.
  static Result<NormalizedWavOutput> begin(const std::string& output_path, const AudioInfo& info,
                                           std::uint64_t sample_count,
                                           const WavWriteFunction& write = {});

  // Converts and appends samples (see WavWriter::write_samples).
  Status write(std::span<const double> samples);

  // Finalizes the header, syncs, and renames the file over the destination,
  // unless the user interrupted meanwhile (kInterrupted, nothing replaced).
  Status commit();

 private:
  NormalizedWavOutput(FileReplacement temp, WavWriter writer)
      : temp_(std::move(temp)), writer_(std::move(writer)) {}
  FileReplacement temp_;
  WavWriter writer_;
};

// Writes all of `audio.samples` to `output_path` (see WavWriter::write_samples
// for the stored values). Errors (outermost message):
//   "The wave format of the file is not supported."   bits not 8/16/24/32,
//                                                      or float not 32 bits
//   "The audio is too large for a WAV file: ..."       over the RIFF limit
//   "{description} (os error N)"                       any system call; e.g. a
//       directory that does not exist gives "No such file or directory (os
//       error 2)" and a directory without write permission "Permission
//       denied (os error 13)", as does an existing destination we may not
//       write to. A destination that exists and is not a regular file is
//       refused with EISDIR for a directory, ENODEV otherwise.
// The format and size checks run before anything is created.
Status write_normalized_audio(const std::string& output_path, const AudioData& audio);

// The same for the first samples of a record only: `samples` are interleaved
// and described by `info`.
Status write_normalized_samples(const std::string& output_path, const AudioInfo& info,
                                std::span<const double> samples);

// The same with the function that performs each write(2) of the WAV data (an
// empty function means ::write). Tests inject failures through it.
Status write_normalized_samples(const std::string& output_path, const AudioInfo& info,
                                std::span<const double> samples, const WavWriteFunction& write);

}  // namespace sonorik::normalize
