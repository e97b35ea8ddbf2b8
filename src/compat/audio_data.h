// Decoded audio: interleaved 64-bit float samples plus their description, and
// the one loading operation every non-fast-path caller uses.
#pragma once

#include <cstdint>
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

  // Loops the audio from its start until it lasts `min_seconds` (see the
  // buffer pool in buffer_pool.h). Empty audio is left as it is. Afterwards
  // total_samples counts frames. Throws std::bad_alloc when the looped list
  // cannot be allocated; the record is then unchanged.
  void ensure_minimum_duration(double min_seconds);
};

// The shortest audio the loader hands out, in seconds.
inline constexpr double kMinimumDurationSeconds = 0.1;

}  // namespace sonorik
