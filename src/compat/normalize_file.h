// One normalization of a file, as the normalize_* entry points run it: load,
// measure, scale, write. The gain is measured on the loaded record (audio
// shorter than 0.1 s looped up to it, as every measurement sees it), but only
// the file's own samples are written back, scaled: the output holds exactly
// as many frames as the input, in the same order.
//
// Memory: one decoded copy of the audio, scaled in place (plus the looped
// copy of audio shorter than 0.1 s); the WAV data goes out through the
// writer's fixed buffer in one pass.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "core/error.h"
#include "compat/normalizer.h"

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

// Normalizes `input_path` on `target` and writes the result to `output_path`,
// or over `input_path` itself when `output_path` is absent. Nothing is
// written when loading or measuring fails, and a failed write leaves the
// destination as it was (see write_normalized_audio). Returns nothing on
// success. Errors by step:
//   Load:      the loader's errors, "Unsupported audio format: {quoted path}"
//              and "Failed to decode audio file: {quoted path}" (caused by the
//              decoder's error);
//   Normalize: the errors of normalization_gain_db;
//   Write:     the errors of write_normalized_samples.
[[nodiscard]] std::optional<NormalizeFileError> normalize_file(
    const std::string& input_path, const NormalizationTarget& target,
    const std::optional<std::string>& output_path);

}  // namespace sonorik::normalize
