#include "analysis/engine_parts.h"

#include <algorithm>
#include <new>

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
  try {
    std::vector<LoudnessPart*> of;
    std::vector<const KMeter*> meters;
    for (LoudnessPart* part : parts) {
      // finish() reads the meter only here (end_step()).
      if (part->left_ == part->step_ || !part->step_ok_ || !part->config_->step_readings ||
          !part->meter_.fast()) {
        continue;
      }
      of.push_back(part);
      meters.push_back(part->meter_.fast());
    }
    std::vector<std::optional<double>> momentary(of.size()), shortterm(of.size());
    KMeter::read_together(meters, momentary.data(), shortterm.data());
    for (std::size_t i = 0; i < of.size(); ++i)
      of[i]->prepared_ = Prepared{of[i]->fed_, momentary[i], shortterm[i]};
  } catch (const std::bad_alloc&) {  // finish() then reads each meter itself
  }
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

}  // namespace sonorik::analysis::parts
