#include "audio/finite_check.h"

#include <sndfile.h>

#include <cmath>

namespace sonorik {

std::optional<SamplePosition> first_non_finite(const double* interleaved, std::size_t frames,
                                               unsigned channels, std::uint64_t first_frame) {
  const std::size_t n = frames * channels;
  // Whole-block test first: the sum of |x| * 0 is NaN exactly when some x is
  // not finite, and it runs without a branch per sample.
  double probe = 0.0;
  for (std::size_t i = 0; i < n; ++i) probe += interleaved[i] * 0.0;
  if (probe == 0.0) return std::nullopt;
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(interleaved[i])) {
      return SamplePosition{first_frame + i / channels, static_cast<unsigned>(i % channels),
                            interleaved[i]};
    }
  }
  return std::nullopt;
}

std::string non_finite_message(const SamplePosition& at) {
  const char* value = std::isnan(at.value) ? "nan" : at.value > 0 ? "inf" : "-inf";
  return std::string("the audio holds ") + value + " at frame " + std::to_string(at.frame) +
         ", channel " + std::to_string(at.channel) +
         " (counting from 0); only finite samples can be measured";
}

bool stores_floats(int sf_format) {
  const int subtype = sf_format & SF_FORMAT_SUBMASK;
  return subtype == SF_FORMAT_FLOAT || subtype == SF_FORMAT_DOUBLE;
}

}  // namespace sonorik
