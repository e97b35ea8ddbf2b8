// Built with -ffp-contract=off (CMakeLists.txt): the RMS sums of squares are
// the same in every processor variant.
#include "analysis/engine_parts.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "analysis/simd.h"

namespace sonorik::analysis::parts {

namespace {

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

unsigned channels_of(const EngineConfig& config) { return std::max(1u, config.channels); }

// Frames per loudness (and true-peak) step.
std::uint64_t step_of(const EngineConfig& config) {
  return config.step_frames != 0
             ? config.step_frames
             : static_cast<std::uint64_t>(static_cast<double>(config.rate_hz) * 0.1);
}

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

// add_groups<4> of `groups` groups from each p[k] into sums[k] and peaks[k],
// for k in [0, 8), the eight side by side: the same operations on each
// lane, one vector of four a part.
[[gnu::always_inline]] inline void add_groups_eight(const double* const* p, std::size_t groups,
                                                    double* const* sums,
                                                    double* const* peaks) noexcept {
  using D4 = double __attribute__((vector_size(32)));
  using U4 = std::uint64_t __attribute__((vector_size(32)));
  constexpr U4 kMagnitude = {~0ull >> 1, ~0ull >> 1, ~0ull >> 1, ~0ull >> 1};
  D4 s[8], m[8];
  for (unsigned k = 0; k < 8; ++k) {
    std::memcpy(&s[k], sums[k], sizeof(D4));
    std::memcpy(&m[k], peaks[k], sizeof(D4));
  }
  for (std::size_t g = 0; g < groups; ++g) {
    for (unsigned k = 0; k < 8; ++k) {
      D4 q;
      std::memcpy(&q, p[k] + 4 * g, sizeof q);
      s[k] += q * q;
      const D4 a = reinterpret_cast<D4>(reinterpret_cast<U4>(q) & kMagnitude);  // |q|
      m[k] = a > m[k] ? a : m[k];
    }
  }
  for (unsigned k = 0; k < 8; ++k) {
    std::memcpy(sums[k], &s[k], sizeof(D4));
    std::memcpy(peaks[k], &m[k], sizeof(D4));
  }
}

using AddGroupsEight = void(const double* const* p, std::size_t groups, double* const* sums,
                            double* const* peaks) noexcept;

AddGroupsEight* widest_add_groups_eight() noexcept {
  struct Base {
    static void add(const double* const* p, std::size_t g, double* const* s,
                    double* const* m) noexcept {
      add_groups_eight(p, g, s, m);
    }
  };
#if SONORIK_SIMD_WIDE
  struct Wide {
    [[gnu::target("avx512f")]] static void add(const double* const* p, std::size_t g,
                                               double* const* s, double* const* m) noexcept {
      add_groups_eight(p, g, s, m);
    }
  };
  if (simd::widest_vector_bits() == 512) return &Wide::add;
#endif
  return &Base::add;
}

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

}  // namespace

// ---- LoudnessPart -------------------------------------------------------------

std::optional<LoudnessPart> LoudnessPart::create(const EngineConfig& config) {
  const unsigned channels = channels_of(config);
  const std::uint32_t rate = config.rate_hz;
  const int mode = config.loudness_mode != 0 ? config.loudness_mode
                                             : Meter::kModeM | Meter::kModeS | Meter::kModeI;
  const std::uint64_t step = step_of(config);
  if (std::optional<KMeter> fast =
          KMeter::create(channels, rate, mode, config.channel_roles, config.channel_loudness)) {
    if (step == 0) return std::nullopt;
    return LoudnessPart(LoudnessMeter(std::move(*fast)), config, step);
  }
  Result<Meter> meter = Meter::create(channels, rate, mode);
  bool ok = meter.ok();
  for (unsigned c = 0; ok && c < config.channel_roles.size() && c < channels; ++c) {
    ok = meter->set_channel(c, config.channel_roles[c]);
  }
  if (!ok || step == 0) return std::nullopt;
  return LoudnessPart(LoudnessMeter(std::move(meter).value()), config, step);
}

LoudnessPart::LoudnessPart(LoudnessMeter meter, const EngineConfig& config, std::uint64_t step)
    : meter_(std::move(meter)),
      config_(&config),
      step_(step),
      left_(step),
      composing_(config.step_readings && step == (config.rate_hz + 5) / 10) {}

void LoudnessPart::feed(const double* p, std::size_t frames) {
  const unsigned channels = channels_of(*config_);
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

void LoudnessPart::feed_together(std::span<LoudnessPart* const> parts,
                                 std::span<const double* const> blocks,
                                 std::span<const std::size_t> counts) {
  std::vector<KMeter*> meters;
  for (LoudnessPart* part : parts) {
    if (part->left_ != parts.front()->left_ || !part->meter_.fast()) break;
    meters.push_back(part->meter_.fast());
  }
  if (meters.size() < 2 || meters.size() != parts.size() || !KMeter::in_step(meters)) {
    for (std::size_t i = 0; i < parts.size(); ++i) parts[i]->feed(blocks[i], counts[i]);
    return;
  }
  // Shortest first: all of them over the frames they all have, then those
  // longer over the frames they have beyond, and so on (those still going
  // are fed alike, so they stay in step).
  std::vector<std::size_t> order(parts.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return counts[a] < counts[b]; });
  std::size_t done = 0;
  for (std::size_t first = 0; first < order.size(); ++first) {
    const std::size_t until = counts[order[first]];
    std::vector<KMeter*> going;
    std::vector<const double*> inputs;
    for (std::size_t k = first; k < order.size(); ++k) {
      going.push_back(parts[order[k]]->meter_.fast());
      inputs.push_back(blocks[order[k]] + done * channels_of(*parts[order[k]]->config_));
    }
    while (done < until) {
      const auto n = static_cast<std::size_t>(
          std::min<std::uint64_t>(until - done, parts[order[first]]->left_));
      const bool ok = going.size() > 1 ? KMeter::add_frames_together(going, inputs, n)
                                       : going.front()->add_frames(inputs.front(), n);
      for (std::size_t k = first; k < order.size(); ++k) {
        LoudnessPart& part = *parts[order[k]];
        inputs[k - first] += n * channels_of(*part.config_);
        part.step_ok_ = ok && part.step_ok_;
        part.left_ -= n;
        part.fed_ += n;
        if (part.left_ == 0) part.end_step(part.step_);
      }
      done += n;
    }
  }
}

void LoudnessPart::finish() {
  if (left_ != step_) end_step(step_ - left_);
}

StepReading LoudnessPart::now() const {
  if (left_ == step_ && config_->step_readings) return last_;
  if (!step_ok_) return {fed_, step_ - left_, std::nullopt, std::nullopt};
  return read_meter(step_ - left_);
}

void LoudnessPart::prepare_finish(std::span<LoudnessPart* const> parts) noexcept {
  constexpr std::size_t kAtOnce = 16;
  const KMeter* meters[kAtOnce];
  LoudnessPart* of[kAtOnce];
  std::size_t n = 0;
  const auto take = [&] {
    std::optional<double> momentary[kAtOnce], shortterm[kAtOnce];
    KMeter::read_together({meters, n}, momentary, shortterm);
    for (std::size_t i = 0; i < n; ++i) of[i]->prepared_ = {of[i]->fed_, momentary[i], shortterm[i]};
    n = 0;
  };
  for (LoudnessPart* part : parts) {
    // finish() reads the meter only here (end_step()).
    if (part->left_ == part->step_ || !part->step_ok_ || !part->config_->step_readings ||
        !part->meter_.fast()) {
      continue;
    }
    meters[n] = part->meter_.fast();
    of[n++] = part;
    if (n == kAtOnce) take();
  }
  if (n > 0) take();
}

StepReading LoudnessPart::read_meter(std::uint64_t frames) const {
  if (prepared_ && prepared_->fed == fed_)
    return {fed_, frames, prepared_->momentary, prepared_->shortterm};
  return {fed_, frames, meter_.momentary(), meter_.shortterm()};
}

void LoudnessPart::end_step(std::uint64_t frames) {
  const bool ok = step_ok_;
  step_ok_ = true;
  left_ = step_;
  if (!ok) {
    composing_ = false;
    last_ = {fed_, frames, std::nullopt, std::nullopt};
    return;
  }
  if (!config_->step_readings) return;
  StepReading r;
  if (composing_ && frames == step_) {
    if (const std::optional<double> block = meter_.window(100)) {
      history_.push(energy_of(*block));
      r = {fed_, frames, history_.momentary_lufs(), history_.short_term_lufs()};
    } else {
      composing_ = false;
    }
  }
  if (!composing_ || frames != step_) r = read_meter(frames);
  last_ = r;
  if (config_->on_step) config_->on_step(r);
}

void LoudnessPart::read_into(EngineResult& out) const {
  out.loudness_measured = true;
  out.integrated_lufs = meter_.global();
  out.relative_gate_lufs = meter_.relative_threshold();
  if ((config_->loudness_mode & Meter::kModeLra) != 0) out.library_range_lu = meter_.range();
  const KMeter* k = meter_.fast();
  if (k && out.integrated_lufs) out.gating_block_energies = k->gating_blocks();
  if (k && config_->channel_loudness) {
    for (unsigned c = 0; c < channels_of(*config_); ++c) {
      out.channel_integrated_lufs.push_back(k->channel_global(c));
    }
  }
}

// ---- PeakGroup ------------------------------------------------------------------

std::vector<PeakGroup> PeakGroup::create_all(const EngineConfig& config, unsigned workers) {
  std::vector<PeakGroup> groups;
  if (!config.true_peak) return groups;
  const unsigned channels = channels_of(config);
  const unsigned n = std::min(channels, std::max(1u, workers));
  groups.resize(n);
  for (unsigned g = 0; g < n; ++g) {
    PeakGroup& group = groups[g];
    group.first_ = channels * g / n;
    group.count_ = channels * (g + 1) / n - group.first_;
    if (config.step_true_peaks) {
      group.step_ = step_of(config);
      group.left_ = group.step_;
    }
    group.filter_ = TruePeakFilter::create(group.count_, config.rate_hz);
    if (group.filter_) continue;
    Result<Meter> meter = Meter::create(group.count_, config.rate_hz, Meter::kModeTruePeak);
    if (!meter) return {};
    // Only the peaks are read: unused channels skip the loudness filter.
    for (unsigned c = 0; c < group.count_; ++c) meter->set_channel(c, EBUR128_UNUSED);
    group.meter_ = LibraryMeter(std::move(meter).value());
  }
  return groups;
}

void PeakGroup::feed(const double* p, std::size_t frames, unsigned channels) {
  // The filter reads its channels in place; the meter takes them gathered.
  const double* in = p + first_;
  unsigned stride = channels;
  if (!filter_) {
    in = p;
    if (count_ != channels) {
      extract(p, frames, channels, first_, count_, buffer_);
      in = buffer_.data();
    }
    stride = count_;
  }
  if (step_ == 0) {
    add(in, frames, stride);
    return;
  }
  while (frames > 0) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(frames, left_));
    add(in, n, stride);
    take_step_peak();
    in += n * stride;
    frames -= n;
    left_ -= n;
    if (left_ == 0) end_step();
  }
}

void PeakGroup::finish() {
  if (step_ != 0 && left_ != step_) end_step();
}

void PeakGroup::read_into(EngineResult& out) const {
  for (unsigned c = 0; c < count_; ++c) out.true_peak.push_back(peak(c));
  out.step_true_peak.resize(std::max(out.step_true_peak.size(), steps_.size()), 0.0);
  for (std::size_t i = 0; i < steps_.size(); ++i) {
    out.step_true_peak[i] = std::max(out.step_true_peak[i], steps_[i]);
  }
}

double PeakGroup::peak(unsigned c) const {
  if (filter_) return std::max(filter_->true_peak(c), before_step_.empty() ? 0.0 : before_step_[c]);
  return meter_->true_peak(c).value_or(0.0);
}

void PeakGroup::add(const double* in, std::size_t frames, unsigned stride) {
  if (filter_) {
    filter_->add_frames(in, frames, stride);
  } else {
    meter_->add_frames(in, frames);
  }
}

void PeakGroup::take_step_peak() {
  before_step_.resize(count_, 0.0);
  for (unsigned c = 0; c < count_; ++c) {
    const double v = filter_ ? filter_->true_peak(c) : meter_->previous_true_peak(c).value_or(0.0);
    step_peak_ = std::max(step_peak_, v);
    before_step_[c] = std::max(before_step_[c], v);
  }
  if (filter_) filter_->reset_peaks();
}

void PeakGroup::end_step() {
  steps_.push_back(step_peak_);
  step_peak_ = 0.0;
  left_ = step_;
}

// ---- ChannelMeter ---------------------------------------------------------------

std::vector<ChannelMeter> ChannelMeter::create_all(const EngineConfig& config,
                                                   const std::optional<LoudnessPart>& loudness) {
  std::vector<ChannelMeter> meters;
  if (!config.channel_loudness || (loudness && loudness->meter().fast() != nullptr)) return meters;
  const unsigned channels = channels_of(config);
  meters.resize(channels);
  for (unsigned c = 0; c < channels; ++c) {
    meters[c].channel_ = c;
    if (Result<Meter> m = Meter::create(1, config.rate_hz, Meter::kModeI))
      meters[c].meter_ = LibraryMeter(std::move(m).value());
  }
  return meters;
}

void ChannelMeter::feed(const double* p, std::size_t frames, unsigned channels) {
  if (!meter_) return;
  extract(p, frames, channels, channel_, 1, buffer_);
  meter_->add_frames(buffer_.data(), frames);
}

// ---- RmsPart --------------------------------------------------------------------

std::optional<RmsPart> RmsPart::create(const EngineConfig& config) {
  if (!config.rms) return std::nullopt;
  const std::uint64_t block =
      config.rms_block_frames != 0 ? config.rms_block_frames : config.rate_hz / 10u;
  if (block == 0) return std::nullopt;
  return RmsPart(config, block);
}

RmsPart::RmsPart(const EngineConfig& config, std::uint64_t block)
    : config_(&config),
      block_(block),
      left_(config.rms_frames),
      channel_sums_(config.channel_sums ? config.channels : 0, 0.0),
      peaks_(config.channel_sums ? config.channels : 0, 0.0),
      add_groups_(widest_add_groups(kLanes * config.channels)) {}

void RmsPart::feed(const double* p, std::size_t frames, bool block_end) {
  const unsigned channels = config_->channels;
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
  if (block_end || left_ == 0) end_piece();
}

bool RmsPart::side_by_side() const noexcept {
  return config_->channels == 1 && !channel_sums_.empty() && add_groups_ != nullptr;
}

void RmsPart::feed_together(std::span<RmsPart* const> parts, std::span<const double* const> blocks,
                            std::span<const std::size_t> counts) {
  const RmsPart& lead = *parts.front();
  bool alike = parts.size() > 1;
  for (const RmsPart* part : parts) {
    alike = alike && part->side_by_side() && part->block_ == lead.block_ &&
            part->in_block_ == lead.in_block_ && part->pending_frames_ == lead.pending_frames_;
  }
  if (!alike) {
    for (std::size_t i = 0; i < parts.size(); ++i) parts[i]->feed(blocks[i], counts[i], true);
    return;
  }
  // Shortest first, as the loudness meters: all over the frames they all
  // have, then those longer over the frames they have beyond.
  std::vector<std::size_t> frames(parts.size()), order(parts.size());
  for (std::size_t i = 0; i < parts.size(); ++i) {
    frames[i] = static_cast<std::size_t>(std::min<std::uint64_t>(counts[i], parts[i]->left_));
    parts[i]->left_ -= frames[i];
    order[i] = i;
  }
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return frames[a] < frames[b]; });
  std::size_t done = 0;
  for (std::size_t first = 0; first < order.size(); ++first) {
    std::vector<RmsPart*> going;
    std::vector<const double*> from;
    for (std::size_t k = first; k < order.size(); ++k) {
      going.push_back(parts[order[k]]);
      from.push_back(blocks[order[k]] + done);
    }
    while (done < frames[order[first]]) {
      const auto n = static_cast<std::size_t>(
          std::min<std::uint64_t>(frames[order[first]] - done, lead.block_ - going[0]->in_block_));
      if (going.size() > 1) {
        add_together(going, from.data(), n);
      } else {
        going[0]->add_channels(from[0], n);
      }
      for (std::size_t k = 0; k < going.size(); ++k) {
        from[k] += n;
        going[k]->in_block_ += n;
        if (going[k]->in_block_ == lead.block_) going[k]->end_block();
      }
      done += n;
    }
    going[0]->end_piece();  // the end of its frames ends an engine block
  }
}

void RmsPart::add_together(std::span<RmsPart* const> parts, const double* const* p,
                           std::size_t n) {
  static AddGroupsEight* const add_eight = widest_add_groups_eight();
  for (std::size_t first = 0; first < parts.size(); first += 8) {
    const std::size_t count = std::min<std::size_t>(8, parts.size() - first);
    // The frames that fill each part's waiting group first, as add_channels().
    std::size_t take = 0;
    for (std::size_t k = first; k < first + count; ++k) {
      RmsPart& part = *parts[k];
      if (part.lane_sums_.empty()) {
        part.lane_sums_.assign(kLanes, 0.0);
        part.lane_peaks_.assign(kLanes, 0.0);
        part.pending_.assign(kLanes, 0.0);
      }
      if (part.pending_frames_ == 0) continue;
      take = std::min(n, kLanes - part.pending_frames_);
      std::copy_n(p[k], take, part.pending_.data() + part.pending_frames_);
      part.pending_frames_ += take;
      if (part.pending_frames_ < kLanes) continue;
      part.add_groups(part.pending_.data(), 1);
      part.pending_frames_ = 0;
    }
    if (parts[first]->pending_frames_ > 0) continue;  // n filled no group
    const std::size_t rest = n - take;
    const double* from[8];
    double* sums[8];
    double* peaks[8];
    double unused_sums[kLanes], unused_peaks[kLanes];
    for (std::size_t k = 0; k < 8; ++k) {  // past the last part, its frames again, summed aside
      const bool real = k < count;
      from[k] = p[first + (real ? k : 0)] + take;
      sums[k] = real ? parts[first + k]->lane_sums_.data() : unused_sums;
      peaks[k] = real ? parts[first + k]->lane_peaks_.data() : unused_peaks;
    }
    std::fill_n(unused_sums, kLanes, 0.0);
    std::fill_n(unused_peaks, kLanes, 0.0);
    add_eight(from, rest / kLanes, sums, peaks);
    for (std::size_t k = first; k < first + count; ++k) {
      RmsPart& part = *parts[k];
      part.pending_frames_ = rest % kLanes;
      std::copy_n(p[k] + take + rest / kLanes * kLanes, part.pending_frames_, part.pending_.data());
    }
  }
}

void RmsPart::finish() {
  if (in_block_ > 0) end_block();
}

void RmsPart::add_channels(const double* p, std::size_t n) {
  const unsigned channels = config_->channels;
  const std::size_t width = kLanes * channels;
  if (lane_sums_.empty()) {
    lane_sums_.assign(width, 0.0);
    lane_peaks_.assign(width, 0.0);
    pending_.assign(width, 0.0);
  }
  if (pending_frames_ > 0) {
    const std::size_t take = std::min(n, kLanes - pending_frames_);
    std::copy_n(p, take * channels, pending_.data() + pending_frames_ * channels);
    pending_frames_ += take;
    p += take * channels;
    n -= take;
    if (pending_frames_ < kLanes) return;
    add_groups(pending_.data(), 1);
    pending_frames_ = 0;
  }
  add_groups(p, n / kLanes);
  pending_frames_ = n % kLanes;
  std::copy_n(p + n / kLanes * width, pending_frames_ * channels, pending_.data());
}

void RmsPart::add_groups(const double* p, std::size_t groups) {
  const std::size_t width = kLanes * config_->channels;
  double* sums = lane_sums_.data();
  double* peaks = lane_peaks_.data();
  if (add_groups_ != nullptr) {
    add_groups_(p, groups, sums, peaks);
    return;
  }
  for (std::size_t g = 0; g < groups; ++g, p += width) {
    for (std::size_t j = 0; j < width; ++j) {
      sums[j] += p[j] * p[j];
      const double m = std::fabs(p[j]);
      peaks[j] = m > peaks[j] ? m : peaks[j];
    }
  }
}

void RmsPart::end_piece() {
  const unsigned channels = config_->channels;
  const double* p = pending_.data();
  double* sums = lane_sums_.data();
  double* peaks = lane_peaks_.data();
  for (std::size_t f = 0; f < pending_frames_; ++f, p += channels) {
    for (unsigned c = 0; c < channels; ++c) {
      sums[c] += p[c] * p[c];
      const double m = std::fabs(p[c]);
      peaks[c] = m > peaks[c] ? m : peaks[c];
    }
  }
  pending_frames_ = 0;
}

void RmsPart::end_block() {
  end_piece();
  if (!lane_sums_.empty()) {
    // Each channel's lanes, then the channels in order, make the sums.
    const unsigned channels = config_->channels;
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
  if (config_->on_rms_block) {
    config_->on_rms_block({sum_, in_block_ * config_->channels, channel_sums_});
  }
  sum_ = 0.0;
  in_block_ = 0;
  std::fill(channel_sums_.begin(), channel_sums_.end(), 0.0);
}

}  // namespace sonorik::analysis::parts
