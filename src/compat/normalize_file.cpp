#include "compat/normalize_file.h"

#include <algorithm>
#include <span>
#include <utility>
#include <vector>

#include "analysis/measurable.h"
#include "compat/audio_data.h"
#include "compat/decoder.h"
#include "compat/processor.h"
#include "core/text.h"

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

namespace {

NormalizeFileError load_error(const std::string& path, Error cause) {
  return {NormalizeFileStep::Load,
          Error("Failed to decode audio file: " + quoted_path(path), std::move(cause))};
}

// The rates K-weighting is defined for: below 3364 Hz its shelf lies above
// half the rate and a gain from it would be nonsense. Error: "{quoted path}:
// rate must be between 3364 and 2822400 Hz (got {rate})".
Status check_normalizable_rate(const std::string& path, std::uint32_t rate_hz) {
  if (analysis::rate_measurable(rate_hz)) return ok_status();
  return Error(quoted_path(path) + ": " + analysis::rate_range_text() + " (got " +
               std::to_string(rate_hz) + ")");
}

// Audio shorter than 0.1 s, which the measurement sees looped: small enough
// to hold, so it is loaded whole. Looping repeats the audio from its start,
// so the file's own whole frames stay the first `own_samples` of the record.
// A trailing incomplete frame is neither written (it would leave a partial
// frame in the output) nor kept by looping, which cuts short audio to whole
// frames.
std::optional<NormalizeFileError> normalize_in_memory(const std::string& input_path,
                                                      const WavFileSamples& file,
                                                      const NormalizationTarget& target,
                                                      const std::string& output_path) {
  Result<AudioData> loaded = decode_wav_file(file);
  if (!loaded) return load_error(input_path, std::move(loaded).error());
  AudioData audio = std::move(loaded).value();
  const std::size_t channels = std::max<std::size_t>(audio.info.channels, 1);
  const std::size_t own_samples = audio.samples.size() / channels * channels;
  audio.ensure_minimum_duration(kMinimumDurationSeconds);

  Result<double> gain = normalization_gain_db(audio, target);
  if (!gain) return NormalizeFileError{NormalizeFileStep::Normalize, std::move(gain).error()};

  const std::span<double> own(audio.samples.data(), std::min(own_samples, audio.samples.size()));
  apply_gain_db(own, *gain);
  Status written = write_normalized_samples(output_path, audio.info, own);
  if (!written) return NormalizeFileError{NormalizeFileStep::Write, std::move(written).error()};
  return std::nullopt;
}

// Every other file, in two passes over the mapping through one block: the
// level measured, then the gain applied and written.
std::optional<NormalizeFileError> normalize_streaming(const std::string& input_path,
                                                      const WavFileSamples& file,
                                                      const NormalizationTarget& target,
                                                      const std::string& output_path) {
  const AudioInfo& info = file.info();
  const std::uint64_t total = file.sample_count();
  const std::size_t block =
      std::max<std::size_t>(1, kDecodeBlockSamples / info.channels) * info.channels;
  std::vector<double> buf(static_cast<std::size_t>(std::min<std::uint64_t>(block, total)));

  Result<LevelScan> scan = LevelScan::create(info, total, target.kind);
  if (!scan) return NormalizeFileError{NormalizeFileStep::Normalize, std::move(scan).error()};
  for (std::uint64_t at = 0; at < total; at += block) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block, total - at));
    if (Status s = file.read(at, n, buf.data()); !s) return load_error(input_path, s.error());
    if (Status s = scan->feed({buf.data(), n}); !s)
      return NormalizeFileError{NormalizeFileStep::Normalize, s.error()};
  }
  const double gain = gain_for_level_db(scan->finish(), target);

  const std::uint64_t own = total / info.channels * info.channels;
  Result<NormalizedWavOutput> out = NormalizedWavOutput::begin(output_path, info, own);
  if (!out) return NormalizeFileError{NormalizeFileStep::Write, std::move(out).error()};
  for (std::uint64_t at = 0; at < own; at += block) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(block, own - at));
    if (Status s = file.read(at, n, buf.data()); !s) return load_error(input_path, s.error());
    apply_gain_db({buf.data(), n}, gain);
    if (Status s = out->write({buf.data(), n}); !s)
      return NormalizeFileError{NormalizeFileStep::Write, s.error()};
  }
  if (Status s = file.check_unchanged(); !s) return load_error(input_path, s.error());
  if (Status s = out->commit(); !s) return NormalizeFileError{NormalizeFileStep::Write, s.error()};
  return std::nullopt;
}

}  // namespace

std::optional<NormalizeFileError> normalize_file(const std::string& input_path,
                                                 const NormalizationTarget& target,
                                                 const std::optional<std::string>& output_path) {
  Result<WavFileSamples> file = open_for_loading(input_path);
  if (!file) return NormalizeFileError{NormalizeFileStep::Load, std::move(file).error()};
  if (Status s = check_target(target); !s)
    return NormalizeFileError{NormalizeFileStep::Normalize, s.error()};
  if (Status s = check_normalizable_rate(input_path, file->info().sample_rate); !s)
    return NormalizeFileError{NormalizeFileStep::Normalize, s.error()};
  const std::string& destination = output_path.value_or(input_path);
  if (looped_sample_count(file->info(), file->sample_count(), kMinimumDurationSeconds))
    return normalize_in_memory(input_path, *file, target, destination);
  return normalize_streaming(input_path, *file, target, destination);
}

}  // namespace sonorik::normalize
