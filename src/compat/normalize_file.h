// One normalization of a file, as the normalize_* entry points run it: load,
// measure, scale, write. The gain is measured on the loaded record (audio
// shorter than 0.1 s looped up to it, as every measurement sees it), but only
// the file's own samples are written back, scaled: the output holds exactly
// as many frames as the input, in the same order.
//
// Memory: audio of 0.1 s or more is streamed from the mapped file through one
// block of 64 Ki samples, twice: once into the measurement, once scaled into
// the writer. Its memory does not grow with the file's length, and the file
// written is byte for byte the one a whole decoded copy would give. Shorter
// audio, which is looped, is decoded whole (at most 0.1 s of it).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "compat/normalizer.h"
#include "core/error.h"

namespace sonorik::normalize {

enum class NormalizeFileStep : std::uint8_t {
  Load,       // the entry point raises OSError
  Normalize,  // RuntimeError
  Write,      // OSError
};

struct NormalizeFileError {
  NormalizeFileStep step;
  Error error;  // the step's own error, without the step's prefix

  // "Failed to load audio: {}", "Normalization failed: {}" or
  // "Failed to write audio: {}" with the error's outermost message.
  std::string message() const;
};

// An interrupt (core/interrupt.h) at any point before the rename leaves the
// destination as it was; the error returned then is kInterrupted, in any step.
//
// Normalizes `input_path` on `target` and writes the result to `output_path`,
// or over `input_path` itself when `output_path` is absent. Nothing is
// written when loading or measuring fails, and a failed write leaves the
// destination as it was (see write_normalized_audio). Returns nothing on
// success. Errors by step:
//   Load:      the loader's errors, "Unsupported audio format: {quoted path}",
//              "Failed to decode audio file: {quoted path}" (caused by the
//              decoder's error, or by a change of the file while it is read)
//              and the rate error of check_sample_rate;
//   Normalize: the errors of normalization_gain_db, and "{quoted path}: rate
//              must be between 3364 and 2822400 Hz (got {rate})" for a rate
//              where K-weighting does not exist (checked before measuring);
//   Write:     the errors of write_normalized_samples.
[[nodiscard]] std::optional<NormalizeFileError> normalize_file(
    const std::string& input_path, const NormalizationTarget& target,
    const std::optional<std::string>& output_path);

}  // namespace sonorik::normalize
