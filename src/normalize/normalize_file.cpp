#include "normalize/normalize_file.h"

#include <span>
#include <utility>

#include "audio/audio_data.h"
#include "audio/decoder.h"
#include "core/text.h"
#include "normalize/processor.h"

namespace sonorik::normalize {

std::string NormalizeFileError::message() const {
  switch (step) {
    case NormalizeFileStep::Load: return "Failed to load audio: " + error.message();
    case NormalizeFileStep::Normalize: return "Normalization failed: " + error.message();
    case NormalizeFileStep::Write: return "Failed to write audio: " + error.message();
  }
  return error.message();
}

std::optional<NormalizeFileError> normalize_file(const std::string& input_path,
                                                 const NormalizationTarget& target,
                                                 const std::optional<std::string>& output_path) {
  // AudioData::load_from_file_with_options(input_path, {}), step by step, so
  // that the sample count before looping is known. Its errors are the
  // loader's own, word for word.
  if (!AudioInfo::is_supported_format(input_path)) {
    return NormalizeFileError{NormalizeFileStep::Load,
                              Error("Unsupported audio format: " + quoted_path(input_path))};
  }
  Result<AudioData> decoded = decode_audio_file(input_path);
  if (!decoded) {
    return NormalizeFileError{NormalizeFileStep::Load,
                              Error("Failed to decode audio file: " + quoted_path(input_path),
                                    std::move(decoded).error())};
  }
  AudioData audio = std::move(decoded).value();
  // Looping repeats the audio from its start, so the file's own samples stay
  // the first `own_samples` of the record.
  const std::size_t own_samples = audio.samples.size();
  audio.ensure_minimum_duration(kMinimumDurationSeconds);

  Result<double> gain = normalization_gain_db(audio, target);
  if (!gain) return NormalizeFileError{NormalizeFileStep::Normalize, std::move(gain).error()};

  const std::span<double> own(audio.samples.data(), own_samples);
  apply_gain_db(own, *gain);
  Status written = write_normalized_samples(output_path.value_or(input_path), audio.info, own);
  if (!written) return NormalizeFileError{NormalizeFileStep::Write, std::move(written).error()};
  return std::nullopt;
}

}  // namespace sonorik::normalize
