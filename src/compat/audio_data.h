// Decoded audio: interleaved 64-bit float samples plus their description, and
// the one loading operation every non-fast-path caller uses.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "compat/sample_converter.h"
#include "core/error.h"
#include "core/metric.h"

namespace sonorik {

struct AudioInfo {
  std::uint32_t sample_rate = 0;  // frames per second
  std::uint16_t channels = 0;     // interleaved channels, >= 1 once decoded
  std::uint16_t bit_depth = 0;    // bits per sample as declared by the file
  SampleFormat sample_format = SampleFormat::I16;
  // As decoded: samples over all channels. After looping: frames.
  std::uint64_t total_samples = 0;
  double duration_seconds = 0.0;
};

struct AudioData {
  std::vector<double> samples;  // interleaved, nominally -1.0 .. 1.0
  AudioInfo info;

  // Loads one file: extension check (wav, aif or aiff in any letter case; see
  // extensions.h), decoding, then looping of audio shorter than the minimum
  // duration (0.1 s for an empty metric list).
  // Errors: "Unsupported audio format: {quoted path}";
  //         "Failed to decode audio file: {quoted path}" caused by the decoder's error.
  static Result<AudioData> load_from_file_with_options(const std::string& path,
                                                       const MetricList& metrics);

  // The same load without the looping: the file's own samples, with the
  // loader's errors. load_from_file_with_options is this plus
  // ensure_minimum_duration.
  static Result<AudioData> load_without_looping(const std::string& path);

  // The description load_from_file_with_options gives, read from the header
  // alone: no sample is converted and nothing sized by the header is
  // allocated. Errors: those of the loader, but none of reading the samples.
  static Result<AudioInfo> load_info(const std::string& path);

  // Loops the audio from its start until it lasts `min_seconds` (see the
  // buffer pool in buffer_pool.h). Empty audio is left as it is. Afterwards
  // total_samples counts frames. Throws std::bad_alloc when the looped list
  // cannot be allocated; the record is then unchanged.
  void ensure_minimum_duration(double min_seconds);
};

// The shortest audio the loader hands out, in seconds.
inline constexpr double kMinimumDurationSeconds = 0.1;

// The highest sample rate the loader reads, in Hz: no PCM file uses more
// (DSD64's rate), and the loudness meter measures up to it.
inline constexpr std::uint32_t kMaxSampleRateHz = 2822400;

// "{quoted path}: rate must be at most 2822400 Hz (got {rate})" for a rate
// above kMaxSampleRateHz, which every entry of the module refuses before
// allocating anything sized by the rate.
Status check_sample_rate(const std::string& path, std::uint32_t rate_hz);

// How many samples (all channels) ensure_minimum_duration(min_seconds) makes
// of audio described by `info` holding `samples` samples, or nothing when it
// leaves the audio as it is (long enough, empty, or a target of no frames).
std::optional<std::uint64_t> looped_sample_count(const AudioInfo& info, std::uint64_t samples,
                                                 double min_seconds);

// The description of that audio after ensure_minimum_duration(min_seconds).
AudioInfo looped_info(const AudioInfo& info, std::uint64_t samples, double min_seconds);

}  // namespace sonorik
