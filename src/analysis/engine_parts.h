// The parts of the streaming engine (engine.h), each fed the engine's
// blocks in order by one task at a time: the loudness meter read every
// step, each channel's own meter, true-peak groups, RMS sums. Internal to
// the engine; the contract of what they measure is engine.h's.
//
// Every part reads the same whatever the cut of the frames it is fed, so
// that a flush (a part-filled block handed out) changes nothing. A part is
// copied (Engine::copy) only when it holds no libebur128 meter, whose state
// cannot be copied: copyable() says so.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <utility>
#include <vector>

#include "analysis/block_energies.h"
#include "analysis/engine.h"
#include "analysis/k_meter.h"
#include "analysis/meter.h"
#include "analysis/true_peak_filter.h"

namespace sonorik::analysis::parts {

// A part's libebur128 meter. Its state cannot be copied: a copy holds no
// meter, and parts are copied only when they hold none (copyable()).
class LibraryMeter {
 public:
  LibraryMeter() = default;
  explicit LibraryMeter(Meter meter) : meter_(std::move(meter)) {}
  LibraryMeter(const LibraryMeter&) noexcept {}
  LibraryMeter& operator=(const LibraryMeter&) noexcept {
    meter_.reset();
    return *this;
  }
  LibraryMeter(LibraryMeter&&) noexcept = default;
  LibraryMeter& operator=(LibraryMeter&&) noexcept = default;

  explicit operator bool() const noexcept { return meter_.has_value(); }
  Meter* operator->() noexcept { return &*meter_; }
  const Meter* operator->() const noexcept { return &*meter_; }

 private:
  std::optional<Meter> meter_;
};

// The loudness meter: KMeter where it reproduces the library's meter, else
// the library's meter itself.
class LoudnessMeter {
 public:
  explicit LoudnessMeter(KMeter fast) : fast_(std::move(fast)) {}
  explicit LoudnessMeter(Meter meter) : meter_(std::move(meter)) {}
  bool copyable() const noexcept { return !meter_; }

  bool add_frames(const double* p, std::size_t frames) {
    return fast_ ? fast_->add_frames(p, frames) : meter_->add_frames(p, frames);
  }
  std::optional<double> window(unsigned long ms) const {
    return fast_ ? fast_->window(ms) : meter_->window(ms);
  }
  std::optional<double> momentary() const {
    return fast_ ? fast_->momentary() : meter_->momentary();
  }
  std::optional<double> shortterm() const {
    return fast_ ? fast_->shortterm() : meter_->shortterm();
  }
  std::optional<double> global() const { return fast_ ? fast_->global() : meter_->global(); }
  std::optional<double> relative_threshold() const {
    return fast_ ? fast_->relative_threshold() : meter_->relative_threshold();
  }
  std::optional<double> range() const { return fast_ ? fast_->range() : meter_->range(); }
  // KMeter, when this is one (it also gives each channel's own integrated
  // loudness and the gating blocks).
  const KMeter* fast() const { return fast_ ? &*fast_ : nullptr; }
  KMeter* fast() { return fast_ ? &*fast_ : nullptr; }

 private:
  std::optional<KMeter> fast_;
  LibraryMeter meter_;
};

// The loudness meter, fed in steps of `step` frames and read after each.
class LoudnessPart {
 public:
  // nullopt when no meter can be built for `config` or its step is 0.
  static std::optional<LoudnessPart> create(const EngineConfig& config);

  void feed(const double* p, std::size_t frames);
  // Feeds each parts[i] counts[i] frames of blocks[i], as feed() would:
  // over the frames they all have, parts fed alike whose meters are
  // KMeters are filtered together (KMeter::add_frames_together).
  static void feed_together(std::span<LoudnessPart* const> parts,
                            std::span<const double* const> blocks,
                            std::span<const std::size_t> counts);
  // Ends the short last step, if any.
  void finish();
  // Readies the finish() of each part, whose programme has ended: where it
  // will read its meter at the short last step, the readings are taken for
  // all the parts at once (KMeter::read_together).
  static void prepare_finish(std::span<LoudnessPart* const> parts) noexcept;
  // The reading the step would give if it ended here, without ending it:
  // the last step's reading at a step's end (nothing before the first).
  StepReading now() const;
  // The readings at the end (after finish()) into `out`.
  void read_into(EngineResult& out) const;
  const LoudnessMeter& meter() const { return meter_; }
  bool copyable() const noexcept { return meter_.copyable(); }
  // Refers to `config` (a copy's own) from now on.
  void rebind(const EngineConfig& config) noexcept { config_ = &config; }

 private:
  LoudnessPart(LoudnessMeter meter, const EngineConfig& config, std::uint64_t step);
  void end_step(std::uint64_t frames);
  // The meter's own readings of the last 400 ms and 3 s.
  StepReading read_meter(std::uint64_t frames) const;

  LoudnessMeter meter_;
  const EngineConfig* config_;
  std::uint64_t step_;
  std::uint64_t left_;  // frames still missing from the current step
  std::uint64_t fed_ = 0;
  bool step_ok_ = true;
  bool composing_;
  BlockEnergies history_;
  StepReading last_;  // the last step's reading
  // Readings prepare_finish() took, while fed_ is still `fed`.
  struct Prepared {
    std::uint64_t fed;
    std::optional<double> momentary, shortterm;
  };
  std::optional<Prepared> prepared_;
};

// True-peak readings of channels [first, first + count), and with `step`
// set, the largest of them in every step of `step` frames.
class PeakGroup {
 public:
  // The groups for `config`, one per worker at most: empty when true peak
  // is not asked for or some group has no meter.
  static std::vector<PeakGroup> create_all(const EngineConfig& config, unsigned workers);

  void feed(const double* p, std::size_t frames, unsigned channels);
  void finish();
  // The per-channel peaks into out.true_peak and the per-step peaks folded
  // into out.step_true_peak (after finish()).
  void read_into(EngineResult& out) const;
  bool copyable() const noexcept { return !meter_; }

 private:
  double peak(unsigned c) const;
  void add(const double* in, std::size_t frames, unsigned stride);
  // Folds what was fed since the last call into the step's peak.
  void take_step_peak();
  void end_step();

  unsigned first_ = 0;
  unsigned count_ = 0;
  std::optional<TruePeakFilter> filter_;
  LibraryMeter meter_;
  std::vector<double> buffer_;
  std::uint64_t step_ = 0;  // 0: no per-step peaks
  std::uint64_t left_ = 0;  // frames still missing from the current step
  double step_peak_ = 0.0;
  std::vector<double> steps_;
  std::vector<double> before_step_;  // filter readings of the steps already taken
};

// One channel's own integrated loudness.
class ChannelMeter {
 public:
  // One meter per channel, unless the loudness part gives these readings
  // (`loudness` is KMeter) or they are not asked for: then none.
  static std::vector<ChannelMeter> create_all(const EngineConfig& config,
                                              const std::optional<LoudnessPart>& loudness);

  void feed(const double* p, std::size_t frames, unsigned channels);
  std::optional<double> global() const { return meter_ ? meter_->global() : std::nullopt; }
  bool copyable() const noexcept { return !meter_; }

 private:
  unsigned channel_ = 0;
  LibraryMeter meter_;
  std::vector<double> buffer_;
};

// Adds the squares of `groups` groups of W values to sums[0..W) and their
// magnitudes into peaks[0..W); nullptr where no kernel has that width.
using AddGroups = void(const double* p, std::size_t groups, double* sums, double* peaks) noexcept;

// Sums of squares over RMS blocks, and sample peaks.
class RmsPart {
 public:
  // nullopt when RMS is not asked for or its block is 0 frames.
  static std::optional<RmsPart> create(const EngineConfig& config);

  // Feeds `frames` frames; `block_end` when they end one of the engine's
  // own blocks (block_frames()), false where a flush cut them short.
  void feed(const double* p, std::size_t frames, bool block_end);
  // Whether feed_together() takes this part with others (one channel, its
  // sums kept).
  bool side_by_side() const noexcept;
  // Feeds each parts[i] counts[i] frames of blocks[i], ending one of the
  // engine's blocks, as feed() would: parts fed alike have each group of
  // frames added side by side (each part's sums in its own order, as alone),
  // where one part's additions each wait on the one before.
  static void feed_together(std::span<RmsPart* const> parts, std::span<const double* const> blocks,
                            std::span<const std::size_t> counts);
  // Ends the short last block, if any.
  void finish();
  std::vector<double>& peaks() { return peaks_; }
  void rebind(const EngineConfig& config) noexcept { config_ = &config; }

 private:
  RmsPart(const EngineConfig& config, std::uint64_t block);
  // Per-channel sums and peaks of n frames, in kLanes interleaved partial
  // sums per channel, so that no addition waits for the one before. The
  // frames of a piece (the frames between two ends of engine blocks or RMS
  // blocks) go in groups of kLanes from its start, frame f of the group to
  // lane f; the piece's last frames that fill no group go to lane 0, in
  // order, once the piece ends (end_piece()). Until then they wait in
  // pending_, so a flush does not change which lane a frame goes to.
  void add_channels(const double* p, std::size_t n);
  // add_channels() of `n` frames of p[i] to each of `parts` (side_by_side()
  // and fed alike).
  static void add_together(std::span<RmsPart* const> parts, const double* const* p, std::size_t n);
  // Takes the first of `n` frames into the waiting group until it is whole,
  // then adds it to the lanes; gives the frames taken.
  std::size_t fill_waiting(const double* p, std::size_t n);
  // The last frames of `n` that make no whole group wait in pending_.
  void keep_rest(const double* p, std::size_t n);
  // Adds `groups` groups of kLanes frames to the lanes.
  void add_groups(const double* p, std::size_t groups);
  void end_piece();
  void end_block();

  static constexpr std::size_t kLanes = 4;
  const EngineConfig* config_;
  std::uint64_t block_;
  std::uint64_t left_;  // frames still to be read
  std::uint64_t in_block_ = 0;
  double sum_ = 0.0;
  std::vector<double> channel_sums_;
  std::vector<double> peaks_;
  std::vector<double> lane_sums_;  // kLanes x channels, with channel_sums
  std::vector<double> lane_peaks_;
  std::vector<double> pending_;  // frames of the piece's group not yet filled
  std::size_t pending_frames_ = 0;
  AddGroups* add_groups_;
};

}  // namespace sonorik::analysis::parts
