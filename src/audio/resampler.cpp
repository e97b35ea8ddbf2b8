#include "audio/resampler.h"

#include <soxr.h>

#include <utility>

namespace sonorik {

void Resampler::SoxrDeleter::operator()(soxr* s) const noexcept { soxr_delete(s); }

Resampler::Resampler(Resampler&&) noexcept = default;
Resampler& Resampler::operator=(Resampler&&) noexcept = default;
Resampler::~Resampler() = default;

Result<Resampler> Resampler::create(unsigned channels, std::uint32_t from_hz, std::uint32_t to_hz,
                                    std::size_t block_frames) {
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT64_I, SOXR_FLOAT64_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_VHQ, 0);
  soxr_error_t error = nullptr;
  Resampler r;
  r.soxr_.reset(soxr_create(from_hz, to_hz, channels, &error, &io, &quality, nullptr));
  if (error != nullptr || !r.soxr_) {
    return Error(std::string("cannot resample from ") + std::to_string(from_hz) + " to " +
                 std::to_string(to_hz) + " Hz: " + (error != nullptr ? error : "no resampler"));
  }
  r.channels_ = channels;
  r.in_.resize(block_frames * channels);
  return r;
}

Result<std::size_t> Resampler::read(const Pull& pull, double* out, std::size_t max_frames) {
  for (;;) {
    if (in_at_ == in_len_ && !input_ended_) {
      Result<std::size_t> got = pull(in_.data(), in_.size() / channels_);
      if (!got) return got;
      in_at_ = 0;
      in_len_ = *got;
      input_ended_ = in_len_ == 0;
    }
    std::size_t used = 0;
    std::size_t made = 0;
    const double* in = input_ended_ ? nullptr : in_.data() + in_at_ * channels_;
    const soxr_error_t error =
        soxr_process(soxr_.get(), in, in_len_ - in_at_, &used, out, max_frames, &made);
    if (error != nullptr) return Error(std::string("resampling failed: ") + error);
    in_at_ += used;
    if (made > 0 || (input_ended_ && made == 0)) return made;
  }
}

}  // namespace sonorik
