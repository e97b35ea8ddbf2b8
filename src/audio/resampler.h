// Changing the sample rate of a stream in bounded blocks with libsoxr at its
// very-high quality: pulls blocks of interleaved doubles from a reader and
// gives blocks at the new rate, the filter's tail flushed at the end. Memory:
// one input block and the filter's state, whatever the length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/error.h"

struct soxr;  // libsoxr's resampler

namespace sonorik {

class Resampler {
 public:
  // Reads up to max_frames frames into out; 0 at the end.
  using Pull = std::function<Result<std::size_t>(double* out, std::size_t max_frames)>;

  Resampler(Resampler&&) noexcept;
  Resampler& operator=(Resampler&&) noexcept;
  ~Resampler();

  // Error: libsoxr's reason.
  static Result<Resampler> create(unsigned channels, std::uint32_t from_hz, std::uint32_t to_hz,
                                  std::size_t block_frames);

  // Up to `max_frames` frames at the new rate into `out`, pulling from
  // `pull` as needed; 0 once the input has ended and the filter is flushed.
  // Errors: the pull's, or libsoxr's.
  Result<std::size_t> read(const Pull& pull, double* out, std::size_t max_frames);

 private:
  struct SoxrDeleter {
    void operator()(soxr* s) const noexcept;
  };
  Resampler() = default;
  std::unique_ptr<soxr, SoxrDeleter> soxr_;
  unsigned channels_ = 0;
  std::vector<double> in_;
  std::size_t in_at_ = 0;   // frames of in_ already given to libsoxr
  std::size_t in_len_ = 0;  // frames in in_
  bool input_ended_ = false;
};

}  // namespace sonorik
