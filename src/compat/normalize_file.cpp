#include "compat/normalize_file.h"

#include <algorithm>
#include <span>
#include <utility>

#include "compat/audio_data.h"
#include "compat/processor.h"

namespace sonorik::normalize {

std::string NormalizeFileError::message() const {
  switch (step) {
    case NormalizeFileStep::Load:
      return "Failed to load audio: " + error.message();
    case NormalizeFileStep::Normalize:
      return "Normalization failed: " + error.message();
    case NormalizeFileStep::Write:
      return "Failed to write audio: " + error.message();
  }
  return error.message();
}

std::optional<NormalizeFileError> normalize_file(const std::string& input_path,
                                                 const NormalizationTarget& target,
                                                 const std::optional<std::string>& output_path) {
  // The loader in two steps, so that the sample count before looping is known.
  Result<AudioData> loaded = AudioData::load_without_looping(input_path);
  if (!loaded) return NormalizeFileError{NormalizeFileStep::Load, std::move(loaded).error()};
  AudioData audio = std::move(loaded).value();
  // Looping repeats the audio from its start, so the file's own whole frames
  // stay the first `own_samples` of the record. A trailing incomplete frame
  // is neither written (it would leave a partial frame in the output) nor
  // kept by looping, which cuts short audio to whole frames.
  const std::size_t channels = std::max<std::size_t>(audio.info.channels, 1);
  const std::size_t own_samples = audio.samples.size() / channels * channels;
  audio.ensure_minimum_duration(kMinimumDurationSeconds);

  Result<double> gain = normalization_gain_db(audio, target);
  if (!gain) return NormalizeFileError{NormalizeFileStep::Normalize, std::move(gain).error()};

  const std::span<double> own(audio.samples.data(), std::min(own_samples, audio.samples.size()));
  apply_gain_db(own, *gain);
  Status written = write_normalized_samples(output_path.value_or(input_path), audio.info, own);
  if (!written) return NormalizeFileError{NormalizeFileStep::Write, std::move(written).error()};
  return std::nullopt;
}

}  // namespace sonorik::normalize
