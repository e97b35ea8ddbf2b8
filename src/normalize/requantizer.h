// Scaling samples by a gain into what an output stores: integer codes
// (rounded, with TPDF dither of +-1 step of the last bit when asked, clamped
// so that they never wrap), or floats.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/sndfile_writer.h"

namespace sonorik::normalize {

// TPDF dither: the sum of two uniform values, in (-1, 1) steps.
class Dither {
 public:
  double next() noexcept;

 private:
  std::uint64_t state_ = 0x9E3779B97F4A7C15ULL;
};

class Requantizer {
 public:
  // Room for blocks of up to `block_frames` frames of `channels` channels.
  Requantizer(double gain, SampleCoding coding, bool dither, unsigned channels,
              std::size_t block_frames);

  // Replaces `n` samples with the values stored; integer codes go to codes().
  void run(double* x, std::size_t n) noexcept;
  const std::int32_t* codes() const noexcept { return codes_.data(); }

 private:
  double gain_;
  SampleCoding coding_;
  bool dither_;
  double scale_ = 1.0;
  int shift_ = 0;
  std::vector<std::int32_t> codes_;
  Dither noise_;
};

}  // namespace sonorik::normalize
