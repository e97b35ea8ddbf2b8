// Samples that are not numbers: NaN and infinities cannot be measured (one
// NaN makes every sum it enters NaN, so a programme would read as silence),
// so the readers stop at the first one and say where it is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace sonorik {

struct SamplePosition {
  std::uint64_t frame = 0;  // from 0, counted from the start of the audio
  unsigned channel = 0;     // from 0
  double value = 0.0;       // NaN, inf or -inf
};

// The first non-finite sample of `frames` interleaved frames that start at
// frame `first_frame` of the audio, or nothing.
std::optional<SamplePosition> first_non_finite(const double* interleaved, std::size_t frames,
                                               unsigned channels, std::uint64_t first_frame);

// "the audio holds nan at frame 12345, channel 1 (counting from 0); only
// finite samples can be measured"
std::string non_finite_message(const SamplePosition& at);

// Whether a libsndfile major | subtype code stores floating-point samples,
// the only stored samples that can be NaN or infinite.
bool stores_floats(int sf_format);

}  // namespace sonorik
