// Loudness readings equal, bit for bit, to a libebur128 meter of the same
// channels, rate, mode and channel roles fed the same frames, in less time.
//
// The meter K-weights each channel with one fourth-order direct-form
// recursion, one sample at a time, keeps the squared outputs in a ring of
// whole 100 ms blocks (B = (rate + 5) / 10 frames; the ring holds the mode's
// longest window rounded up to whole blocks) and sums each window of it per
// channel in ring order, oldest frame first unless the window wraps around
// the ring's end, in which case the frames at the ring's start come first.
// This meter runs the same recursion on every channel at once (one vector
// lane per channel, the same operations in the same order on each lane) and
// keeps the window sums running while it filters: four overlapping 400 ms
// gating sums, and one sum since the ring last wrapped, which together with
// the ring give every window the meter sums, in its order. A window the
// meter sums from the ring's start and then on over older frames (the
// range's 3 s windows, each channel's early gating windows) is finished by
// the filter as it passes those older frames, not summed again.
//
// Readings are the meter's: momentary, short-term, any window up to the
// mode's, integrated loudness by the two-stage gate over the 400 ms blocks,
// its relative threshold, and the loudness range from 3 s blocks taken every
// second. Optionally also each channel's own integrated loudness, as a
// one-channel meter of that channel in mode I would read it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "analysis/k_filter.h"
#include "analysis/sample_buffer.h"

namespace sonorik::analysis {

class KMeter {
 public:
  // A meter for `channels` interleaved channels (at most 8) at `rate_hz`
  // with libebur128 `mode` (M, S, I and LRA flags; not histogram) and
  // channel roles `roles` (libebur128 values; missing ones keep the
  // library's default map, channel 0 left and 1 right for two channels).
  // `channel_loudness` adds each channel's own integrated loudness.
  // nullopt where the library meter would refuse these, where this meter
  // does not cover them, or when this meter disagrees with the installed
  // library on probe signals (checked once per process). It uses the widest
  // vectors (128, 256 or 512 bits) the processor runs, at most
  // `max_vector_bits`; every width gives the same readings.
  static std::optional<KMeter> create(unsigned channels, unsigned long rate_hz, int mode,
                                      std::span<const int> roles, bool channel_loudness,
                                      unsigned max_vector_bits = 512);

  // Feeds `frames` interleaved frames (frames, not samples). False when
  // memory ran out (readings are then incomplete).
  bool add_frames(const double* interleaved, std::size_t frames) noexcept;

  // Feeds each meters[i] `frames` frames of inputs[i] (its own channels,
  // interleaved): the same, bit for bit, as feeding each alone. Meters of
  // the same rate and mode that have been fed alike, with at most 8
  // channels in all, are filtered together, one vector lane per channel
  // across them: a channel's recursion waits on its own arithmetic, and
  // the other lanes of the same operations come at no cost. Any other set
  // is fed one meter at a time. False when memory ran out.
  static bool add_frames_together(std::span<KMeter* const> meters,
                                  std::span<const double* const> inputs,
                                  std::size_t frames) noexcept;
  // Whether `meters` (two or more) are filtered together by
  // add_frames_together.
  static bool in_step(std::span<KMeter* const> meters) noexcept;

  // The library's readings (possibly -inf), nullopt where it would fail.
  std::optional<double> momentary() const;
  std::optional<double> shortterm() const;
  std::optional<double> window(unsigned long window_ms) const;
  std::optional<double> global() const;
  std::optional<double> relative_threshold() const;
  // The energies of the 400 ms gating blocks that reached the absolute gate,
  // in the order they were taken (empty without mode I); see gating.h.
  const std::vector<double>& gating_blocks() const noexcept { return gating_blocks_; }
  std::optional<double> range() const;
  // The short-term loudness the meter reads at each instant where it takes
  // a block for the range (every second from 3 s on), in order (LUFS).
  std::vector<double> range_readings() const;
  // momentary() and shortterm() of each of `meters` into momentary[i] and
  // shortterm[i]: the same readings, the ring sums of one-channel meters
  // taken side by side (each a chain of additions that waits on its own
  // last result, in its order alone, so that the chains overlap).
  static void read_together(std::span<const KMeter* const> meters,
                            std::optional<double>* momentary,
                            std::optional<double>* shortterm) noexcept;
  // Channel `channel`'s own integrated loudness (needs channel_loudness).
  std::optional<double> channel_global(unsigned channel) const;

 private:
  KMeter() = default;
  static std::optional<KMeter> build(unsigned channels, unsigned long rate_hz, int mode,
                                     std::span<const int> roles, bool channel_loudness,
                                     unsigned max_vector_bits);
  static bool matches_meter();
  // The memory of meters filtered together (k_meter_together.cpp).
  struct Together;
  // Filters `n` frames of each meters[i]'s x[i], from ring frame `at`,
  // together. Throws std::bad_alloc.
  static void filter_together(std::span<KMeter* const> meters, const double* const* x,
                              std::size_t at, std::size_t n, Together& t);

  void start_block();
  void end_block();
  // Takes the 3 s window for the range at the end of a block: now, or once
  // the frames it still needs have passed through the filter.
  void take_range_window();
  // Takes each channel's gating block at the end of block t: now, or once
  // the frames it still needs have passed through the filter.
  void take_channel_block(std::uint64_t t);
  double channel_energy(double lane_sum) const;
  // The energy of every window taken for the range, those in waiting
  // completed from the ring.
  std::vector<double> range_energies() const;
  // The energy of the last `frames` frames as the meter sums it (per lane
  // into `lane_sums`), from the running sums where they give it.
  void window_sums(std::size_t frames, double* lane_sums) const;
  // The same, but for the ring frames [from, to) still to be added, frame
  // by frame, to lane_sums (none where from >= to).
  void plan_window(std::size_t frames, double* lane_sums, std::size_t& from,
                   std::size_t& to) const noexcept;
  // Loudness of `frames` frames of these sums (LUFS; -inf for no energy).
  double loudness_of_sums(const double* lane_sums, std::size_t frames) const;
  // Adds the squares of `blocks` whole blocks starting `first_block` blocks
  // back in time from the newest completed one, oldest first, to lane_sums.
  void add_blocks(std::uint64_t first_back, std::uint64_t blocks, double* lane_sums) const;
  void add_ring(std::size_t from_frame, std::size_t to_frame, double* lane_sums) const;
  // Makes the ring hold frames [0, to_frame), those past ring_written_
  // unset: a short programme never touches all of its memory. Throws
  // std::bad_alloc.
  void grow_ring(std::size_t to_frame);
  // The `n` frames from `from` for the filter to read as those 400 ms
  // behind: the ring's, or silence where they were never written. Throws
  // std::bad_alloc.
  const double* frames_behind(std::size_t from, std::size_t n);
  double weighted(const double* lane_sums, std::size_t frames) const;
  // Loudness of the last `frames` frames (LUFS; -inf for no energy).
  double window_loudness(std::size_t frames) const;

  detail::KFilterFunction* filter_ = nullptr;
  unsigned channels_ = 0;
  unsigned lanes_ = 0;       // the filter's: values a row of state_ and sums_ holds
  unsigned ring_lanes_ = 0;  // values a ring frame holds (lanes_, or 1 for one channel)
  int mode_ = 0;
  std::size_t block_frames_ = 0;         // B
  std::size_t ring_blocks_ = 0;          // the meter's ring, in blocks
  std::size_t channel_ring_blocks_ = 0;  // a one-channel mode-I meter's ring
  unsigned long rate_hz_ = 0;
  unsigned long window_ms_ = 0;
  bool channel_loudness_ = false;
  std::vector<int> roles_;
  double coefficients_[10] = {};
  std::vector<double> state_;
  SampleBuffer ring_;            // squares, ring_lanes_ per frame (grow_ring())
  std::vector<double> silence_;  // a block of zeros, when frames_behind() needs it
  // kAllSums x lanes_: four gating sums, since wrap, since channel wrap, two
  // old-value sums, three back sums
  std::vector<double> sums_;
  std::size_t position_ = 0;  // the meter's ring index, in frames
  // The ring's frames from here on have never been written: zeros, which
  // add nothing to a sum of squares (left out, exactly).
  std::size_t ring_written_ = 0;
  std::size_t needed_ = 0;    // frames until the next block ends
  std::size_t in_block_ = 0;  // frames of the current block written
  std::uint64_t blocks_ = 0;  // whole blocks completed
  std::uint64_t short_term_counter_ = 0;
  std::vector<double> gating_blocks_;
  static constexpr std::size_t kNone = ~std::size_t{0};
  std::vector<double> range_energies_;  // one per window taken for the range
  // The window in waiting whose sum the filter's old-value sum `slot` holds.
  std::size_t waiting_[detail::kOldSums] = {kNone, kNone};
  // Each channel's gating-block energy, lanes_ per block (ungated).
  std::vector<double> channel_energies_;
  struct ChannelWait {
    std::size_t entry = kNone;    // block in channel_energies_
    std::size_t blocks_left = 0;  // blocks still to be written before it is complete
  };
  ChannelWait channel_waiting_[detail::kBackSums];
};

}  // namespace sonorik::analysis
