// The RMS part: sums of squares and sample peaks per channel, block by
// block, alone or side by side with other sessions' (run_together()).
// Built with -ffp-contract=off (CMakeLists.txt): the sums of squares are the
// same in every processor variant.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "analysis/engine_parts.h"
#include "analysis/simd.h"

namespace sonorik::analysis::parts {

namespace {

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

// The kernels in the processor's baseline vectors and in AVX-512.
struct Base {
  static void add4(const double* p, std::size_t g, double* s, double* m) noexcept {
    add_groups<4>(p, g, s, m);
  }
  static void add8(const double* p, std::size_t g, double* s, double* m) noexcept {
    add_groups<8>(p, g, s, m);
  }
  static void eight(const double* const* p, std::size_t g, double* const* s,
                    double* const* m) noexcept {
    add_groups_eight(p, g, s, m);
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
  [[gnu::target("avx512f")]] static void eight(const double* const* p, std::size_t g,
                                               double* const* s, double* const* m) noexcept {
    add_groups_eight(p, g, s, m);
  }
};
#endif

// add_groups for mono (W = 4) and stereo (W = 8) in the widest vectors this
// processor runs; nullptr for other widths.
AddGroups* widest_add_groups(std::size_t width) noexcept {
#if SONORIK_SIMD_WIDE
  if (simd::widest_vector_bits() == 512)
    return width == 4 ? &Wide::add4 : width == 8 ? &Wide::add8 : nullptr;
#endif
  return width == 4 ? &Base::add4 : width == 8 ? &Base::add8 : nullptr;
}

AddGroupsEight* widest_add_groups_eight() noexcept {
#if SONORIK_SIMD_WIDE
  if (simd::widest_vector_bits() == 512) return &Wide::eight;
#endif
  return &Base::eight;
}

}  // namespace

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
    // The frames that complete each part's waiting group first (the same
    // count for all, fed alike).
    std::size_t take = 0;
    for (std::size_t k = first; k < first + count; ++k) take = parts[k]->fill_waiting(p[k], n);
    if (parts[first]->pending_frames_ > 0) continue;  // n completed no group
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
    for (std::size_t k = first; k < first + count; ++k) parts[k]->keep_rest(p[k] + take, rest);
  }
}

void RmsPart::finish() {
  if (in_block_ > 0) end_block();
}

void RmsPart::add_channels(const double* p, std::size_t n) {
  const std::size_t take = fill_waiting(p, n);
  if (pending_frames_ > 0) return;
  p += take * config_->channels;
  n -= take;
  add_groups(p, n / kLanes);
  keep_rest(p, n);
}

std::size_t RmsPart::fill_waiting(const double* p, std::size_t n) {
  const unsigned channels = config_->channels;
  if (lane_sums_.empty()) {
    lane_sums_.assign(kLanes * channels, 0.0);
    lane_peaks_.assign(kLanes * channels, 0.0);
    pending_.assign(kLanes * channels, 0.0);
  }
  if (pending_frames_ == 0) return 0;
  const std::size_t take = std::min(n, kLanes - pending_frames_);
  std::copy_n(p, take * channels, pending_.data() + pending_frames_ * channels);
  pending_frames_ += take;
  if (pending_frames_ == kLanes) {
    add_groups(pending_.data(), 1);
    pending_frames_ = 0;
  }
  return take;
}

void RmsPart::keep_rest(const double* p, std::size_t n) {
  const unsigned channels = config_->channels;
  pending_frames_ = n % kLanes;
  std::copy_n(p + n / kLanes * kLanes * channels, pending_frames_ * channels, pending_.data());
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
