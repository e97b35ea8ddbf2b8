#include "analysis/engine.h"

#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <utility>

#include "analysis/block_energies.h"
#include "analysis/k_meter.h"
#include "analysis/meter.h"
#include "analysis/simd.h"
#include "analysis/true_peak_filter.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
#endif

namespace sonorik::analysis {

namespace {

// Tells ThreadSanitizer what the worker pool's own synchronisation (not
// instrumented) guarantees: a task sees what its starter did before starting
// it, and the waiter sees what the task did. Tasks running side by side get
// no ordering from it. A task learns where its handoff is only by reading its
// own captures, so starts go through one address for the whole process (runs
// in other threads get an ordering they may not have; their tasks share no
// state).
class Handoff {
 public:
  void before_start() noexcept { release(&start); }
  static void at_start() noexcept { acquire(&start); }
  void at_end() noexcept { release(&end_); }
  void after_wait() noexcept { acquire(&end_); }

 private:
#if defined(__SANITIZE_THREAD__)
  static void acquire(void* p) noexcept { __tsan_acquire(p); }
  static void release(void* p) noexcept { __tsan_release(p); }
#else
  static void acquire(void*) noexcept {}
  static void release(void*) noexcept {}
#endif
  static inline char start = 0;
  char end_ = 0;
};

// Runs `f` on `group` with the handoff told, once the task holding it is
// built.
template <class F>
void run_told(tbb::task_group& group, Handoff& handoff, F&& f) {
  auto task = group.defer([&handoff, f = std::forward<F>(f)] {
    Handoff::at_start();
    f();
    handoff.at_end();
  });
  handoff.before_start();
  group.run(std::move(task));
}

// Every block of samples holds at most this many values (512 KiB).
constexpr std::size_t kBlockSamples = std::size_t{1} << 16;
constexpr std::uint64_t kShortTermSteps = 30;   // 3 s of 100 ms steps
constexpr std::uint64_t kRangeBlockEvery = 10;  // the library's range hop: 1 s

unsigned worker_count() {
  return static_cast<unsigned>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

// Channels [first, first + count) of `frames` interleaved frames into `out`.
void extract(const double* in, std::size_t frames, unsigned channels, unsigned first,
             unsigned count, std::vector<double>& out) {
  out.resize(frames * count);
  double* o = out.data();
  in += first;
  // Element by element: a library copy per frame costs more than the copy.
  for (std::size_t f = 0; f < frames; ++f, in += channels, o += count) {
    for (unsigned c = 0; c < count; ++c) o[c] = in[c];
  }
}

// The loudness meter: KMeter where it reproduces the library's meter, else
// the library's meter itself.
class LoudnessMeter {
 public:
  explicit LoudnessMeter(KMeter fast) : fast_(std::move(fast)) {}
  explicit LoudnessMeter(Meter meter) : meter_(std::move(meter)) {}

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
  std::optional<double> range() const { return fast_ ? fast_->range() : meter_->range(); }
  std::optional<double> relative_threshold() const {
    return fast_ ? fast_->relative_threshold() : meter_->relative_threshold();
  }
  // KMeter, when this is one (it also gives each channel's own integrated
  // loudness and the range's short-term readings).
  const KMeter* fast() const { return fast_ ? &*fast_ : nullptr; }

 private:
  std::optional<KMeter> fast_;
  std::optional<Meter> meter_;
};

// The loudness meter, fed in steps and read after each.
class LoudnessPart {
 public:
  LoudnessPart(LoudnessMeter meter, const EngineConfig& config, std::uint64_t step)
      : meter_(std::move(meter)),
        config_(config),
        step_(step),
        left_(step),
        composing_(config.step_readings && step == (config.rate_hz + 5) / 10) {}

  void feed(const double* p, std::size_t frames) {
    const unsigned channels = config_.channels;
    while (frames > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(frames, left_));
      step_ok_ = meter_.add_frames(p, n) && step_ok_;
      p += n * channels;
      frames -= n;
      left_ -= n;
      fed_ += n;
      if (left_ == 0) end_step(step_);
    }
  }

  // Ends the short last step, if any.
  void finish() {
    if (left_ != step_) end_step(step_ - left_);
  }

  LoudnessMeter& meter() { return meter_; }
  std::vector<double> range_blocks() {
    const KMeter* k = meter_.fast();
    return k && config_.range_blocks ? k->range_readings() : std::move(range_blocks_);
  }

 private:
  void end_step(std::uint64_t frames) {
    const bool ok = step_ok_;
    step_ok_ = true;
    left_ = step_;
    if (frames == step_) ++steps_;
    if (!ok) {
      composing_ = false;
      return;
    }
    if (!config_.step_readings) return;
    StepReading r;
    r.end_frame = fed_;
    r.frames = frames;
    if (composing_ && frames == step_) {
      if (const std::optional<double> block = meter_.window(100)) {
        history_.push(energy_of(*block));
        r.momentary_lufs = history_.momentary_lufs();
        r.short_term_lufs = history_.short_term_lufs();
      } else {
        composing_ = false;
      }
    }
    if (!composing_ || frames != step_) {
      r.momentary_lufs = meter_.momentary();
      r.short_term_lufs = meter_.shortterm();
    }
    // KMeter keeps these readings itself (see range_blocks()).
    if (config_.range_blocks && !meter_.fast() && frames == step_ && steps_ >= kShortTermSteps &&
        (steps_ - kShortTermSteps) % kRangeBlockEvery == 0) {
      if (const std::optional<double> s = meter_.shortterm()) range_blocks_.push_back(*s);
    }
    if (config_.on_step) config_.on_step(r);
  }

  LoudnessMeter meter_;
  const EngineConfig& config_;
  std::uint64_t step_;
  std::uint64_t left_;  // frames still missing from the current step
  std::uint64_t fed_ = 0;
  std::uint64_t steps_ = 0;  // whole steps fed
  bool step_ok_ = true;
  bool composing_;
  BlockEnergies history_;
  std::vector<double> range_blocks_;
};

// True-peak readings of channels [first, first + count), and with `step`
// set, the largest of them in every step of `step` frames.
struct PeakGroup {
  unsigned first = 0;
  unsigned count = 0;
  std::optional<TruePeakFilter> filter;
  std::optional<Meter> meter;
  std::vector<double> buffer;
  std::uint64_t step = 0;  // 0: no per-step peaks
  std::uint64_t left = 0;  // frames still missing from the current step
  double step_peak = 0.0;
  std::vector<double> steps;
  std::vector<double> before_step;  // filter readings of the steps already taken

  void feed(const double* p, std::size_t frames, unsigned channels) {
    // The filter reads its channels in place; the meter takes them gathered.
    const double* in = p + first;
    unsigned stride = channels;
    if (!filter) {
      in = p;
      if (count != channels) {
        extract(p, frames, channels, first, count, buffer);
        in = buffer.data();
      }
      stride = count;
    }
    if (step == 0) {
      add(in, frames, stride);
      return;
    }
    while (frames > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(frames, left));
      add(in, n, stride);
      take_step_peak();
      in += n * stride;
      frames -= n;
      left -= n;
      if (left == 0) end_step();
    }
  }
  void finish() {
    if (step != 0 && left != step) end_step();
  }
  double peak(unsigned c) const {
    if (filter) return std::max(filter->true_peak(c), before_step.empty() ? 0.0 : before_step[c]);
    return meter->true_peak(c).value_or(0.0);
  }

 private:
  void add(const double* in, std::size_t frames, unsigned stride) {
    if (filter) {
      filter->add_frames(in, frames, stride);
    } else {
      meter->add_frames(in, frames);
    }
  }
  // Folds what was fed since the last call into the step's peak.
  void take_step_peak() {
    before_step.resize(count, 0.0);
    for (unsigned c = 0; c < count; ++c) {
      const double v = filter ? filter->true_peak(c) : meter->previous_true_peak(c).value_or(0.0);
      step_peak = std::max(step_peak, v);
      before_step[c] = std::max(before_step[c], v);
    }
    if (filter) filter->reset_peaks();
  }
  void end_step() {
    steps.push_back(step_peak);
    step_peak = 0.0;
    left = step;
  }
};

// One channel's own integrated loudness.
struct ChannelMeter {
  unsigned channel = 0;
  std::optional<Meter> meter;
  std::vector<double> buffer;

  void feed(const double* p, std::size_t frames, unsigned channels) {
    if (!meter) return;
    extract(p, frames, channels, channel, 1, buffer);
    meter->add_frames(buffer.data(), frames);
  }
};

// Adds p[j]^2 to sums[j] and takes |p[j]| into peaks[j] (NaN passed over),
// for j in [0, W), over `groups` consecutive groups of W values: the partial
// sums and peaks held in registers.
template <std::size_t W>
[[gnu::always_inline]] inline void add_groups(const double* p, std::size_t groups, double* sums,
                                              double* peaks) noexcept {
  double s[W], m[W];
  std::memcpy(s, sums, sizeof s);
  std::memcpy(m, peaks, sizeof m);
  for (std::size_t g = 0; g < groups; ++g, p += W) {
    for (std::size_t j = 0; j < W; ++j) {
      s[j] += p[j] * p[j];
      const double a = std::fabs(p[j]);
      m[j] = a > m[j] ? a : m[j];
    }
  }
  std::memcpy(sums, s, sizeof s);
  std::memcpy(peaks, m, sizeof m);
}

using AddGroups = void(const double* p, std::size_t groups, double* sums, double* peaks) noexcept;

// add_groups for mono (W = 4) and stereo (W = 8) in the widest vectors this
// processor runs; nullptr for other widths.
AddGroups* widest_add_groups(std::size_t width) noexcept {
  struct Base {
    static void add4(const double* p, std::size_t g, double* s, double* m) noexcept {
      add_groups<4>(p, g, s, m);
    }
    static void add8(const double* p, std::size_t g, double* s, double* m) noexcept {
      add_groups<8>(p, g, s, m);
    }
  };
#if SONORIK_SIMD_WIDE
  struct Wide {
    [[gnu::target("avx512f")]] static void add4(const double* p, std::size_t g, double* s,
                                                double* m) noexcept {
      add_groups<4>(p, g, s, m);
    }
    [[gnu::target("avx512f")]] static void add8(const double* p, std::size_t g, double* s,
                                                double* m) noexcept {
      add_groups<8>(p, g, s, m);
    }
  };
  if (simd::widest_vector_bits() == 512)
    return width == 4 ? &Wide::add4 : width == 8 ? &Wide::add8 : nullptr;
#endif
  return width == 4 ? &Base::add4 : width == 8 ? &Base::add8 : nullptr;
}

// Sums of squares over RMS blocks, and sample peaks.
class RmsPart {
 public:
  RmsPart(const EngineConfig& config, std::uint64_t block)
      : config_(config),
        block_(block),
        left_(config.rms_frames),
        channel_sums_(config.channel_sums ? config.channels : 0, 0.0),
        peaks_(config.channel_sums ? config.channels : 0, 0.0) {}

  void feed(const double* p, std::size_t frames) {
    const unsigned channels = config_.channels;
    frames = static_cast<std::size_t>(std::min<std::uint64_t>(frames, left_));
    left_ -= frames;
    while (frames > 0) {
      const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(frames, block_ - in_block_));
      const std::size_t samples = n * channels;
      double sum = sum_;
      if (channel_sums_.empty()) {
        for (std::size_t i = 0; i < samples; ++i) sum += p[i] * p[i];
      } else {
        add_channels(p, n);
      }
      sum_ = sum;
      in_block_ += n;
      p += samples;
      frames -= n;
      if (in_block_ == block_) end_block();
    }
  }

  void finish() {
    if (in_block_ > 0) end_block();
  }

  std::vector<double>& peaks() { return peaks_; }

 private:
  // Per-channel sums and peaks of n frames, in kLanes interleaved partial
  // sums per channel (frame f of channel c goes to lane f % kLanes), so that
  // no addition waits for the one before.
  void add_channels(const double* p, std::size_t n) {
    const unsigned channels = config_.channels;
    const std::size_t width = kLanes * channels;
    if (lane_sums_.empty()) {
      lane_sums_.assign(width, 0.0);
      lane_peaks_.assign(width, 0.0);
    }
    double* sums = lane_sums_.data();
    double* peaks = lane_peaks_.data();
    std::size_t f = 0;
    if (add_groups_ != nullptr) {
      add_groups_(p, n / kLanes, sums, peaks);
      f = n / kLanes * kLanes;
      p += f * channels;
    }
    for (; f + kLanes <= n; f += kLanes, p += width) {
      for (std::size_t j = 0; j < width; ++j) {
        sums[j] += p[j] * p[j];
        const double m = std::fabs(p[j]);
        peaks[j] = m > peaks[j] ? m : peaks[j];
      }
    }
    for (; f < n; ++f, p += channels) {
      for (unsigned c = 0; c < channels; ++c) {
        sums[c] += p[c] * p[c];
        const double m = std::fabs(p[c]);
        peaks[c] = m > peaks[c] ? m : peaks[c];
      }
    }
  }

  void end_block() {
    if (!lane_sums_.empty()) {
      // Each channel's lanes, then the channels in order, make the sums.
      const unsigned channels = config_.channels;
      sum_ = 0.0;
      for (unsigned c = 0; c < channels; ++c) {
        double channel = 0.0;
        for (std::size_t l = 0; l < kLanes; ++l) {
          channel += lane_sums_[l * channels + c];
          peaks_[c] = std::max(peaks_[c], lane_peaks_[l * channels + c]);
        }
        channel_sums_[c] = channel;
        sum_ += channel;
      }
      std::fill(lane_sums_.begin(), lane_sums_.end(), 0.0);
    }
    if (config_.on_rms_block) {
      config_.on_rms_block({sum_, in_block_ * config_.channels, channel_sums_});
    }
    sum_ = 0.0;
    in_block_ = 0;
    std::fill(channel_sums_.begin(), channel_sums_.end(), 0.0);
  }

  const EngineConfig& config_;
  std::uint64_t block_;
  std::uint64_t left_;  // frames still to be read
  std::uint64_t in_block_ = 0;
  double sum_ = 0.0;
  static constexpr std::size_t kLanes = 4;
  std::vector<double> channel_sums_;
  std::vector<double> peaks_;
  std::vector<double> lane_sums_;  // kLanes x channels, with channel_sums
  AddGroups* add_groups_ = widest_add_groups(kLanes * config_.channels);
  std::vector<double> lane_peaks_;
};

}  // namespace

std::size_t Engine::block_frames(unsigned channels) noexcept {
  return std::max<std::size_t>(1, kBlockSamples / std::max(1u, channels));
}

Result<EngineResult> Engine::run(const EngineConfig& config, const Reader& read) {
  const unsigned channels = std::max(1u, config.channels);
  const std::uint32_t rate = config.rate_hz;

  std::optional<LoudnessPart> loudness;
  if (config.loudness) {
    const int mode = config.loudness_mode != 0 ? config.loudness_mode
                                               : Meter::kModeM | Meter::kModeS | Meter::kModeI;
    const std::uint64_t step = config.step_frames != 0
                                   ? config.step_frames
                                   : static_cast<std::uint64_t>(static_cast<double>(rate) * 0.1);
    if (std::optional<KMeter> fast =
            KMeter::create(channels, rate, mode, config.channel_roles, config.channel_loudness)) {
      if (step > 0) loudness.emplace(LoudnessMeter(std::move(*fast)), config, step);
    } else {
      Result<Meter> meter = Meter::create(channels, rate, mode);
      bool ok = meter.ok();
      for (unsigned c = 0; ok && c < config.channel_roles.size() && c < channels; ++c) {
        ok = meter->set_channel(c, config.channel_roles[c]);
      }
      if (ok && step > 0) loudness.emplace(LoudnessMeter(std::move(meter).value()), config, step);
    }
  }

  // Each channel's own meter, unless the loudness meter gives their readings.
  const bool channels_from_loudness = loudness && loudness->meter().fast() != nullptr;
  std::vector<ChannelMeter> channel_meters;
  if (config.channel_loudness && !channels_from_loudness) {
    channel_meters.resize(channels);
    for (unsigned c = 0; c < channels; ++c) {
      channel_meters[c].channel = c;
      if (Result<Meter> m = Meter::create(1, rate, Meter::kModeI))
        channel_meters[c].meter.emplace(std::move(m).value());
    }
  }

  std::vector<PeakGroup> groups;
  bool peaks_ok = config.true_peak;
  if (config.true_peak) {
    const unsigned n = std::min(channels, worker_count());
    groups.resize(n);
    for (unsigned g = 0; g < n; ++g) {
      PeakGroup& group = groups[g];
      group.first = channels * g / n;
      group.count = channels * (g + 1) / n - group.first;
      if (config.step_true_peaks) {
        group.step = config.step_frames != 0
                         ? config.step_frames
                         : static_cast<std::uint64_t>(static_cast<double>(rate) * 0.1);
        group.left = group.step;
      }
      group.filter = TruePeakFilter::create(group.count, rate);
      if (group.filter) continue;
      Result<Meter> meter = Meter::create(group.count, rate, Meter::kModeTruePeak);
      if (!meter) {
        peaks_ok = false;
        continue;
      }
      // Only the peaks are read: unused channels skip the loudness filter.
      for (unsigned c = 0; c < group.count; ++c) meter->set_channel(c, EBUR128_UNUSED);
      group.meter.emplace(std::move(meter).value());
    }
    if (!peaks_ok) groups.clear();
  }

  std::optional<RmsPart> rms;
  if (config.rms) {
    const std::uint64_t block = config.rms_block_frames != 0 ? config.rms_block_frames : rate / 10u;
    if (block > 0) rms.emplace(config, block);
  }

  const std::size_t block = block_frames(channels);
  // Two blocks. The loudness meter (the longest part, one recursion that
  // cannot be split) runs past the others' barrier: it may still be on one
  // block while the other parts take the next. It is waited for before the
  // reader refills its block.
  std::vector<double> buffers[2];
  for (std::vector<double>& b : buffers) b.resize(block * channels);
  EngineResult out;
  Handoff handoff, meter_handoff;  // the block's tasks; the meter's
  tbb::task_group meter_task;      // one loudness feed at a time, in order
  struct WaitForMeter {
    tbb::task_group& task;
    ~WaitForMeter() {
      try {
        task.wait();
      } catch (...) {  // an error already on its way out wins
      }
    }
  } wait_for_meter{meter_task};
  Result<std::size_t> got = read(buffers[0].data(), block);
  if (!got) return std::move(got).error();
  for (std::size_t k = 0; *got > 0; ++k) {
    const std::size_t frames = std::min(*got, block);
    out.frames += frames;
    const double* p = buffers[k % 2].data();
    Result<std::size_t> following = std::size_t{0};
    {
      // The calling thread takes the newest task and idle workers the
      // oldest; the reader runs here meanwhile.
      tbb::task_group tasks;
      for (std::size_t g = 0; g + 1 < groups.size(); ++g) {
        run_told(tasks, handoff, [&, g] { groups[g].feed(p, frames, channels); });
      }
      if (rms) run_told(tasks, handoff, [&] { rms->feed(p, frames); });
      for (ChannelMeter& m : channel_meters)
        run_told(tasks, handoff, [&] { m.feed(p, frames, channels); });
      if (!groups.empty())
        run_told(tasks, handoff, [&] { groups.back().feed(p, frames, channels); });
      try {
        if (loudness) {
          meter_task.wait();  // the previous block's, whose buffer the reader fills next
          meter_handoff.after_wait();
          run_told(meter_task, meter_handoff,
                   [&loudness, p, frames] { loudness->feed(p, frames); });
        }
        following = read(buffers[(k + 1) % 2].data(), block);
      } catch (...) {
        tasks.wait();
        throw;
      }
      tasks.wait();
      handoff.after_wait();
    }
    if (!following) return std::move(following).error();
    got = std::move(following);
  }
  meter_task.wait();
  meter_handoff.after_wait();

  if (loudness) {
    loudness->finish();
    out.loudness_measured = true;
    LoudnessMeter& meter = loudness->meter();
    out.integrated_lufs = meter.global();
    out.relative_gate_lufs = meter.relative_threshold();
    if ((config.loudness_mode & Meter::kModeLra) == Meter::kModeLra) out.range_lu = meter.range();
    out.range_block_lufs = std::move(loudness->range_blocks());
  }
  for (ChannelMeter& m : channel_meters) {
    out.channel_integrated_lufs.push_back(m.meter ? m.meter->global() : std::nullopt);
  }
  if (config.channel_loudness && channels_from_loudness) {
    for (unsigned c = 0; c < channels; ++c) {
      out.channel_integrated_lufs.push_back(loudness->meter().fast()->channel_global(c));
    }
  }
  if (!groups.empty()) {
    for (PeakGroup& g : groups) {
      g.finish();
      for (unsigned c = 0; c < g.count; ++c) out.true_peak.push_back(g.peak(c));
      out.step_true_peak.resize(std::max(out.step_true_peak.size(), g.steps.size()), 0.0);
      for (std::size_t i = 0; i < g.steps.size(); ++i) {
        out.step_true_peak[i] = std::max(out.step_true_peak[i], g.steps[i]);
      }
    }
  }
  if (rms) {
    rms->finish();
    out.sample_peak = std::move(rms->peaks());
  }
  return out;
}

}  // namespace sonorik::analysis
