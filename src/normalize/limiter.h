// A streaming look-ahead true-peak limiter: one gain for all channels, so
// that the stereo image does not move, lowered just enough to keep the true
// peak of its output at or under a threshold.
//
// Peaks are found on the oversampled signal by the meter's own true-peak
// reader (analysis/true_peak_filter.h), one reading per short chunk of
// frames (a millisecond, at least 12 frames and the reader's history, so
// longer than its delay); a chunk whose samples are too small for any peak
// over the threshold is not read. The gain each chunk needs (threshold /
// peak, at most 1) is taken over the chunk and its two neighbours, then, at
// the chunk rate:
//
//  - attack: the smallest need over the next kAttackMs, averaged over the
//    last kAttackMs: a ramp down that ends at the peak, and never above what
//    any frame needs (each value averaged is at most that frame's need);
//  - hold: the reduction reached is held for kHoldMs after the need eases;
//  - release: then it returns to none in kReleaseMs, linearly in dB; a new
//    need deeper than the ramp starts another hold.
//
// Between chunk values the gain is interpolated linearly frame by frame. The
// audio is delayed by the look-ahead inside, and every frame read comes out
// (the output has exactly the input's length). The reduction caused by one
// lone peak lasts at most kAttackMs + kHoldMs + kReleaseMs. Where nothing
// exceeds the threshold the gain is exactly 1.0 and the frames come out
// bit for bit as they went in.
//
// Memory: the look-ahead, one block and the reader's history; nothing grows
// with the length of the audio.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "analysis/true_peak_filter.h"
#include "core/error.h"

namespace sonorik::normalize {

// What the limiter did over the frames read through it.
struct LimiterStats {
  double max_reduction_db = 0.0;     // deepest gain reduction, dB (>= 0)
  std::uint64_t frames = 0;          // frames read
  std::uint64_t limited_frames = 0;  // frames with a gain below 1
  std::uint64_t events = 0;          // runs of limited frames
  double energy = 0.0;               // sum of squares of the output
  double limited_energy = 0.0;       // of the output frames that were limited
  // The part of `energy` that a little more gain before the limiter would not
  // raise: each frame's energy times the share of its gain reduction that
  // follows the gain (all of it at a peak, less and less along a release).
  double pinned_energy = 0.0;

  // Limited frames over frames, 0..1 (0.0 for no frames).
  double limited_share() const noexcept {
    return frames == 0 ? 0.0 : static_cast<double>(limited_frames) / static_cast<double>(frames);
  }
};

class PeakLimiter {
 public:
  static constexpr double kAttackMs = 5.0;  // also the look-ahead
  static constexpr double kHoldMs = 20.0;
  static constexpr double kReleaseMs = 150.0;

  // A limiter for `channels` interleaved channels at `rate_hz` keeping true
  // peaks at or under `threshold` (1.0 is full scale). Error when the
  // true-peak reader does not run at that rate or channel count, or the
  // threshold is not a positive number.
  // `energies`: whether stats() adds up the energies (they cost a little).
  static Result<PeakLimiter> create(unsigned channels, std::uint32_t rate_hz, double threshold,
                                    bool energies = false);

  // Where frames come from: fills up to `max` frames, 0 at the end.
  using Pull = std::function<Result<std::size_t>(double*, std::size_t)>;

  // Up to `max_frames` limited frames into `out` (0: the end); the errors are
  // the pull's. The same as fill() then take().
  Result<std::size_t> read(const Pull& pull, double* out, std::size_t max_frames);
  // Pulls and reads peaks until `max_frames` frames are ready to be taken or
  // the audio has ended; the errors are the pull's.
  Status fill(const Pull& pull, std::size_t max_frames);
  // Up to `max_frames` of the frames ready into `out` (0: the end).
  std::size_t take(double* out, std::size_t max_frames) noexcept;

  const LimiterStats& stats() const noexcept { return stats_; }
  std::size_t chunk_frames() const noexcept { return chunk_; }

 private:
  PeakLimiter(analysis::TruePeakFilter filter, unsigned channels, std::uint32_t rate_hz,
              double threshold, bool energies);
  void detect(std::size_t frames);  // the next chunk read, at the detection position
  void push_need(double need);      // one chunk's need, through the envelope stages
  struct Gain {
    double gain;    // 1.0: no reduction
    double pinned;  // the share of the output that the gain before does not raise
  };
  Gain hold_release(double box, double pinned);  // stage 3, in dB of reduction
  std::size_t ready_frames() const noexcept;
  void emit(double* out, std::size_t frames) noexcept;
  // `n` frames of one chunk from `offset` into it, the gain going from `g0`
  // at its start to `g1` at the next chunk's.
  void ramp(const double* x, double* y, std::size_t offset, std::size_t n, double g0,
            double g1) noexcept;

  analysis::TruePeakFilter filter_;
  unsigned channels_;
  double threshold_;
  bool energies_;
  double bound_ = 1.0;         // |true peak| <= this x the largest |input| it reaches
  double last_largest_ = 0.0;  // the largest |input| of the last chunk
  bool skipped_ = false;       // the reader did not read the last chunk
  double floor_ = 0.0;         // the reader's reading of no peak over the threshold
  std::size_t chunk_ = 0;      // frames per chunk
  std::size_t attack_ = 0;     // chunks
  std::size_t hold_ = 0;       // chunks
  std::size_t release_ = 0;    // chunks

  std::vector<double> buffer_;  // frames [out_, in_) from buffer_[(out_ - base_) * channels]
  std::uint64_t base_ = 0, out_ = 0, in_ = 0, detected_ = 0;
  bool ended_ = false;

  double need_prev2_ = 1.0, need_prev_ = 1.0;  // the last two chunks' needs
  std::uint64_t needs_ = 0;                    // chunks whose need was read
  std::deque<double> ahead_;                   // the last `attack_` dilated needs
  bool started_ = false;                       // the first look-ahead minimum was taken
  std::deque<double> box_;                     // the last `attack_` look-ahead minima
  double depth_db_ = 0.0, release_from_db_ = 0.0;
  std::size_t hold_left_ = 0, release_step_ = 0;
  bool releasing_ = false;
  double pinned_ = 0.0, release_pinned_ = 0.0;
  std::deque<Gain> gains_;         // from the chunk holding frame out_, one value per chunk
  std::uint64_t gains_chunk_ = 0;  // the chunk of gains_.front()
  bool limiting_ = false;
  LimiterStats stats_;
};

}  // namespace sonorik::normalize
