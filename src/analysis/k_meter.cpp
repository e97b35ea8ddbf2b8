// Built with -ffp-contract=off (CMakeLists.txt): every product and sum is
// rounded on its own, as in the meter, never fused.
#include "analysis/k_meter.h"

#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <numbers>

#include "analysis/gating.h"
#include "analysis/meter.h"

namespace sonorik::analysis {

namespace {

using detail::kAllSums;
using detail::kBackSums;
using detail::kOldSums;
using detail::kRunningSums;
constexpr std::size_t kMaxLanes = 8;
constexpr std::size_t kSinceWrap = 4;         // running sum since the ring's start
constexpr std::size_t kSinceChannelWrap = 5;  // the same for a one-channel mode-I meter
constexpr std::size_t kGatingBlocks = 4;      // 400 ms
constexpr std::size_t kShortTermBlocks = 30;  // 3 s

double minus_twenty_decibels() { return std::pow(10.0, -20.0 / 10.0); }

// The meter's ring for `window_ms`, in blocks of `block` frames; a ring
// shorter than a gating block is widened to a 3 s window, as Meter::create
// does at the lowest rates.
std::size_t ring_blocks(unsigned long rate_hz, unsigned long& window_ms, std::size_t block) {
  const auto round_up = [block](std::size_t frames) {
    return frames % block ? frames + block - frames % block : frames;
  };
  std::size_t frames = round_up(rate_hz * window_ms / 1000);
  if (frames < kGatingBlocks * block) {
    window_ms = Meter::kShortTermWindowMs;
    frames = round_up(rate_hz * window_ms / 1000);
  }
  return frames / block;
}

bool weighted_141(int role) {
  return role == EBUR128_Mp110 || role == EBUR128_Mm110 || role == EBUR128_Mp060 ||
         role == EBUR128_Mm060 || role == EBUR128_Mp090 || role == EBUR128_Mm090;
}

}  // namespace

std::optional<KMeter> KMeter::create(unsigned channels, unsigned long rate_hz, int mode,
                                     std::span<const int> roles, bool channel_loudness,
                                     unsigned max_vector_bits) {
  static const bool agrees = matches_meter();
  if (!agrees) return std::nullopt;
  return build(channels, rate_hz, mode, roles, channel_loudness, max_vector_bits);
}

std::optional<KMeter> KMeter::build(unsigned channels, unsigned long rate_hz, int mode,
                                    std::span<const int> roles, bool channel_loudness,
                                    unsigned max_vector_bits) {
  if (!Meter::accepts(channels, rate_hz) || channels > kMaxLanes) return std::nullopt;
  if ((mode & EBUR128_MODE_M) != EBUR128_MODE_M || (mode & EBUR128_MODE_HISTOGRAM) != 0) {
    return std::nullopt;
  }
  KMeter m;
  m.channels_ = channels;
  m.filter_ = detail::choose_k_filter(channels, max_vector_bits, m.lanes_, m.ring_lanes_);
  m.mode_ = mode;
  m.rate_hz_ = rate_hz;
  m.block_frames_ = (rate_hz + 5) / 10;
  m.window_ms_ = (mode & EBUR128_MODE_S) == EBUR128_MODE_S ? 3000 : 400;
  m.ring_blocks_ = ring_blocks(rate_hz, m.window_ms_, m.block_frames_);
  unsigned long channel_window_ms = 400;
  m.channel_ring_blocks_ = ring_blocks(rate_hz, channel_window_ms, m.block_frames_);
  m.channel_loudness_ = channel_loudness;
  // The library's default map.
  m.roles_.assign(channels, EBUR128_UNUSED);
  static constexpr int kFour[] = {EBUR128_LEFT, EBUR128_RIGHT, EBUR128_LEFT_SURROUND,
                                  EBUR128_RIGHT_SURROUND};
  static constexpr int kFive[] = {EBUR128_LEFT, EBUR128_RIGHT, EBUR128_CENTER,
                                  EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND};
  static constexpr int kOther[] = {EBUR128_LEFT,   EBUR128_RIGHT,         EBUR128_CENTER,
                                   EBUR128_UNUSED, EBUR128_LEFT_SURROUND, EBUR128_RIGHT_SURROUND};
  for (unsigned c = 0; c < channels; ++c) {
    if (channels == 4) {
      m.roles_[c] = kFour[c];
    } else if (channels == 5) {
      m.roles_[c] = kFive[c];
    } else if (c < 6) {
      m.roles_[c] = kOther[c];
    }
  }
  for (std::size_t c = 0; c < roles.size() && c < channels; ++c) {
    if (roles[c] == EBUR128_DUAL_MONO && channels != 1)
      return std::nullopt;  // the meter refuses it
    m.roles_[c] = roles[c];
  }
  const double rate = static_cast<double>(rate_hz);
  // The meter's coefficients: a high shelf and a high pass, multiplied out.
  {
    const double f0 = 1681.974450955533;
    const double G = 3.999843853973347;
    const double Q = 0.7071752369554196;
    const double K = std::tan(std::numbers::pi * f0 / rate);
    const double Vh = std::pow(10.0, G / 20.0);
    const double Vb = std::pow(Vh, 0.4996667741545416);
    const double a0 = 1.0 + K / Q + K * K;
    const double pb[3] = {(Vh + Vb * K / Q + K * K) / a0, 2.0 * (K * K - Vh) / a0,
                          (Vh - Vb * K / Q + K * K) / a0};
    const double pa[3] = {1.0, 2.0 * (K * K - 1.0) / a0, (1.0 - K / Q + K * K) / a0};
    const double f1 = 38.13547087602444;
    const double Q1 = 0.5003270373238773;
    const double K1 = std::tan(std::numbers::pi * f1 / rate);
    const double rb[3] = {1.0, -2.0, 1.0};
    const double ra[3] = {1.0, 2.0 * (K1 * K1 - 1.0) / (1.0 + K1 / Q1 + K1 * K1),
                          (1.0 - K1 / Q1 + K1 * K1) / (1.0 + K1 / Q1 + K1 * K1)};
    double* k = m.coefficients_;
    k[0] = pa[0] * ra[1] + pa[1] * ra[0];
    k[1] = pa[0] * ra[2] + pa[1] * ra[1] + pa[2] * ra[0];
    k[2] = pa[1] * ra[2] + pa[2] * ra[1];
    k[3] = pa[2] * ra[2];
    k[4] = pb[0] * rb[0];
    k[5] = pb[0] * rb[1] + pb[1] * rb[0];
    k[6] = pb[0] * rb[2] + pb[1] * rb[1] + pb[2] * rb[0];
    k[7] = pb[1] * rb[2] + pb[2] * rb[1];
    k[8] = pb[2] * rb[2];
    k[9] = 1.0;  // the meter divides doubles by their full scale
  }
  m.state_.assign(4 * m.lanes_, 0.0);
  m.sums_.assign(kAllSums * m.lanes_, 0.0);
  m.needed_ = kGatingBlocks * m.block_frames_;
  return m;
}

bool KMeter::add_frames(const double* interleaved, std::size_t frames) noexcept {
  try {
    while (frames > 0) {
      if (in_block_ == 0) start_block();
      const std::size_t n = std::min(frames, block_frames_ - in_block_);
      const std::size_t ring_frames = ring_blocks_ * block_frames_;
      const std::size_t behind =
          (position_ + ring_frames - kGatingBlocks * block_frames_) % ring_frames;
      grow_ring(position_ + n);
      // Frames never written are silence: not read when all are, else
      // cleared for the filter to read.
      unsigned silent = 0;
      const double* back = nullptr;
      if (behind >= ring_written_) {
        silent |= detail::kBackSilent;
      } else {
        back = frames_behind(behind, n);
      }
      if (position_ >= ring_written_) {
        silent |= detail::kOldSilent;
      } else if (position_ + n > ring_written_) {
        std::fill(ring_.data() + ring_written_ * ring_lanes_,
                  ring_.data() + (position_ + n) * ring_lanes_, 0.0);
      }
      filter_(interleaved, n, channels_, coefficients_, state_.data(),
              ring_.data() + position_ * ring_lanes_, back, sums_.data(), silent);
      interleaved += n * channels_;
      frames -= n;
      position_ += n;
      ring_written_ = std::max(ring_written_, position_);
      in_block_ += n;
      if (in_block_ == block_frames_) end_block();
    }
    return true;
  } catch (const std::bad_alloc&) {
    return false;
  }
}

void KMeter::grow_ring(std::size_t to_frame) {
  if (ring_.capacity() == 0) ring_.reserve(ring_blocks_ * block_frames_ * ring_lanes_);
  if (to_frame * ring_lanes_ > ring_.size()) ring_.resize(to_frame * ring_lanes_);
}

const double* KMeter::frames_behind(std::size_t from, std::size_t n) {
  // Before the ring first wraps, the frames 400 ms behind lie past those
  // written (or are the very frames about to be).
  if (from < ring_written_) return ring_.data() + from * ring_lanes_;
  if (silence_.size() < n * ring_lanes_) silence_.assign(block_frames_ * ring_lanes_, 0.0);
  return silence_.data();
}

void KMeter::start_block() {
  const std::uint64_t s = blocks_;
  std::fill_n(sums_.data() + ((s + 3) % 4) * lanes_, lanes_, 0.0);
  if (position_ == 0) std::fill_n(sums_.data() + kSinceWrap * lanes_, lanes_, 0.0);
  if (s % channel_ring_blocks_ == 0)
    std::fill_n(sums_.data() + kSinceChannelWrap * lanes_, lanes_, 0.0);
}

void KMeter::end_block() {
  const std::uint64_t t = blocks_++;
  in_block_ = 0;
  short_term_counter_ += block_frames_;
  if (t + 1 < kGatingBlocks) return;  // the meter's first gating block needs 400 ms
  const std::size_t b = block_frames_;
  double lane_sums[kMaxLanes];
  if ((mode_ & EBUR128_MODE_I) == EBUR128_MODE_I) {
    window_sums(kGatingBlocks * b, lane_sums);
    const double energy = weighted(lane_sums, kGatingBlocks * b);
    if (energy >= absolute_gate_energy()) gating_blocks_.push_back(energy);
  }
  if (channel_loudness_) take_channel_block(t);
  if ((mode_ & EBUR128_MODE_LRA) == EBUR128_MODE_LRA &&
      short_term_counter_ == kShortTermBlocks * b) {
    take_range_window();
    short_term_counter_ = 20 * b;
  }
  if (position_ == ring_blocks_ * b) {
    // The frames left behind the windows in waiting have all been replaced.
    for (std::size_t slot = 0; slot < kOldSums; ++slot) {
      if (waiting_[slot] == kNone) continue;
      range_energies_[waiting_[slot]] =
          weighted(sums_.data() + (kRunningSums + slot) * lanes_, kShortTermBlocks * b);
      waiting_[slot] = kNone;
    }
  }
  if (position_ == ring_blocks_ * b) position_ = 0;
}

void KMeter::take_channel_block(std::uint64_t t) {
  const std::size_t b = block_frames_;
  double* energies = nullptr;
  for (std::size_t slot = 0; slot < kBackSums; ++slot) {  // windows whose last frames have passed
    ChannelWait& w = channel_waiting_[slot];
    if (w.entry == kNone || --w.blocks_left > 0) continue;
    energies = channel_energies_.data() + w.entry * lanes_;
    for (unsigned c = 0; c < channels_; ++c)
      energies[c] = channel_energy(sums_[(kRunningSums + kOldSums + slot) * lanes_ + c]);
    w.entry = kNone;
  }
  const std::size_t entry = channel_energies_.size() / lanes_;
  channel_energies_.resize(channel_energies_.size() + lanes_, 0.0);
  energies = channel_energies_.data() + entry * lanes_;
  // A one-channel meter's ring index, in blocks: from the 4th block of its
  // ring on, its gating window is the running sum of the last four blocks.
  // Before, it sums the blocks since its ring's start, then the last
  // 4 - k blocks of its ring's previous round: the blocks just behind the
  // window. The filter adds those as it writes the next 4 - k blocks (each
  // frame 400 ms behind the one written), so the window waits till then.
  const std::size_t k = t % channel_ring_blocks_ + 1;
  double lane_sums[kMaxLanes];
  if (k >= kGatingBlocks) {
    std::copy_n(sums_.data() + (t % 4) * lanes_, lanes_, lane_sums);
  } else {
    std::copy_n(sums_.data() + kSinceChannelWrap * lanes_, lanes_, lane_sums);
    for (std::size_t slot = 0; slot < kBackSums; ++slot) {
      ChannelWait& w = channel_waiting_[slot];
      if (w.entry != kNone) continue;
      std::copy_n(lane_sums, lanes_, sums_.data() + (kRunningSums + kOldSums + slot) * lanes_);
      w.entry = entry;
      w.blocks_left = kGatingBlocks - k;
      return;
    }
    for (std::uint64_t s = t + 1 - kGatingBlocks; s + k <= t; ++s) {
      const std::size_t at = (s % ring_blocks_) * b;
      add_ring(at, at + b, lane_sums);
    }
  }
  for (unsigned c = 0; c < channels_; ++c) energies[c] = channel_energy(lane_sums[c]);
}

double KMeter::channel_energy(double lane_sum) const {
  double energy = 0.0;
  energy += lane_sum;
  energy /= static_cast<double>(kGatingBlocks * block_frames_);
  return energy;
}

void KMeter::take_range_window() {
  if (ring_blocks_ < kShortTermBlocks) return;  // the meter has no reading
  const std::size_t b = block_frames_;
  const std::size_t idx = position_;
  // The meter sums this window from the ring's start to here, then on from
  // here over the older frames to the ring's end. Where the ring is exactly
  // the window, those older frames are the ones the next frames replace: the
  // filter adds each to an old-value sum just before replacing it, so the
  // window is complete when the ring wraps, without a second pass.
  if (ring_blocks_ == kShortTermBlocks && idx < ring_blocks_ * b) {
    for (std::size_t slot = 0; slot < kOldSums; ++slot) {
      if (waiting_[slot] != kNone) continue;
      std::copy_n(sums_.data() + kSinceWrap * lanes_, lanes_,
                  sums_.data() + (kRunningSums + slot) * lanes_);
      waiting_[slot] = range_energies_.size();
      range_energies_.push_back(0.0);
      return;
    }
  }
  double lane_sums[kMaxLanes];
  window_sums(kShortTermBlocks * b, lane_sums);
  range_energies_.push_back(weighted(lane_sums, kShortTermBlocks * b));
}

std::vector<double> KMeter::range_energies() const {
  std::vector<double> energies = range_energies_;
  const std::size_t b = block_frames_;
  for (std::size_t slot = 0; slot < kOldSums; ++slot) {
    if (waiting_[slot] == kNone) continue;
    double lane_sums[kMaxLanes];
    std::copy_n(sums_.data() + (kRunningSums + slot) * lanes_, lanes_, lane_sums);
    add_ring(position_, ring_blocks_ * b, lane_sums);
    energies[waiting_[slot]] = weighted(lane_sums, kShortTermBlocks * b);
  }
  return energies;
}

std::vector<double> KMeter::range_readings() const {
  std::vector<double> readings = range_energies();
  for (double& e : readings) e = e <= 0.0 ? -HUGE_VAL : loudness_of_energy(e);
  return readings;
}

void KMeter::window_sums(std::size_t frames, double* lane_sums) const {
  std::size_t from = 0, to = 0;
  plan_window(frames, lane_sums, from, to);
  add_ring(from, to, lane_sums);
}

void KMeter::plan_window(std::size_t frames, double* lane_sums, std::size_t& from,
                         std::size_t& to) const noexcept {
  const std::size_t idx = position_;
  const std::size_t b = block_frames_;
  const double* since_wrap = sums_.data() + kSinceWrap * lanes_;
  from = to = 0;
  if (idx <= frames) {
    // The frames since the ring's start first (none at its very start).
    if (idx == 0) {
      std::fill_n(lane_sums, lanes_, 0.0);
    } else {
      std::copy_n(since_wrap, lanes_, lane_sums);
    }
    if (idx < frames) from = ring_blocks_ * b - (frames - idx), to = ring_blocks_ * b;
    return;
  }
  if (in_block_ == 0 && blocks_ >= kGatingBlocks && frames == kGatingBlocks * b) {
    std::copy_n(sums_.data() + ((blocks_ - 1) % 4) * lanes_, lanes_, lane_sums);
    return;
  }
  if (in_block_ == 0 && blocks_ >= 1 && frames == b) {
    std::copy_n(sums_.data() + ((blocks_ + 2) % 4) * lanes_, lanes_, lane_sums);
    return;
  }
  std::fill_n(lane_sums, lanes_, 0.0);
  from = idx - frames, to = idx;
}

namespace {
// Adds frames [from, to) of the ring to the sums, frame by frame.
template <unsigned Lanes>
void add_frames_to(const double* ring, std::size_t from, std::size_t to, double* lane_sums) {
  double sums[Lanes];
  std::copy_n(lane_sums, Lanes, sums);
  for (const double* p = ring + from * Lanes; from < to; ++from, p += Lanes) {
    for (unsigned l = 0; l < Lanes; ++l) sums[l] += p[l];
  }
  std::copy_n(sums, Lanes, lane_sums);
}
}  // namespace

void KMeter::add_ring(std::size_t from_frame, std::size_t to_frame, double* lane_sums) const {
  // Sums of squares are +0 or more, and x + 0.0 == x for each: the frames
  // never written (a programme shorter than the ring) are skipped.
  to_frame = std::min(to_frame, ring_written_);
  if (from_frame >= to_frame) return;
  switch (ring_lanes_) {
    case 1:
      return add_frames_to<1>(ring_.data(), from_frame, to_frame, lane_sums);
    case 2:
      return add_frames_to<2>(ring_.data(), from_frame, to_frame, lane_sums);
    case 4:
      return add_frames_to<4>(ring_.data(), from_frame, to_frame, lane_sums);
    default:
      return add_frames_to<8>(ring_.data(), from_frame, to_frame, lane_sums);
  }
}

double KMeter::weighted(const double* lane_sums, std::size_t frames) const {
  double sum = 0.0;
  for (unsigned c = 0; c < channels_; ++c) {
    const int role = roles_[c];
    if (role == EBUR128_UNUSED) continue;
    double channel_sum = lane_sums[c];
    if (weighted_141(role)) {
      channel_sum *= 1.41;
    } else if (role == EBUR128_DUAL_MONO) {
      channel_sum *= 2.0;
    }
    sum += channel_sum;
  }
  sum /= static_cast<double>(frames);
  return sum;
}

double KMeter::window_loudness(std::size_t frames) const {
  double lane_sums[kMaxLanes];
  window_sums(frames, lane_sums);
  return loudness_of_sums(lane_sums, frames);
}

double KMeter::loudness_of_sums(const double* lane_sums, std::size_t frames) const {
  const double energy = weighted(lane_sums, frames);
  if (energy <= 0.0) return -HUGE_VAL;
  return loudness_of_energy(energy);
}

namespace {
// A sum of ring values p[0], ..., p[count - 1], added in that order to *sum.
struct Chain {
  const double* p;
  std::size_t count;
  double* sum;
};

// Every chain, eight side by side: each pass runs all eight over the values
// left in the shortest, and the chain it ends gives its place to the next
// (a place with none runs over another's values, and its sum is dropped).
void add_chains(const Chain* chains, std::size_t n) noexcept {
  Chain live[8];
  double s[8];
  std::size_t next = 0, running = 0;
  const auto fill = [&](unsigned k) {
    while (next < n && chains[next].count == 0) ++next;
    if (next < n) {
      live[k] = chains[next++];
      s[k] = *live[k].sum;
      ++running;
    } else {
      live[k] = {nullptr, 0, nullptr};
    }
  };
  for (unsigned k = 0; k < 8; ++k) fill(k);
  while (running > 0) {
    std::size_t m = ~std::size_t{0};
    const double* any = nullptr;
    for (unsigned k = 0; k < 8; ++k) {
      if (live[k].p != nullptr && live[k].count < m) m = live[k].count, any = live[k].p;
    }
    const double* p[8];
    for (unsigned k = 0; k < 8; ++k) p[k] = live[k].p != nullptr ? live[k].p : any;
    double t[8];
    for (unsigned k = 0; k < 8; ++k) t[k] = live[k].p != nullptr ? s[k] : 0.0;
    for (std::size_t i = 0; i < m; ++i) {
      for (unsigned k = 0; k < 8; ++k) t[k] += p[k][i];
    }
    for (unsigned k = 0; k < 8; ++k) {
      if (live[k].p == nullptr) continue;
      s[k] = t[k];
      live[k].p += m;
      live[k].count -= m;
      if (live[k].count == 0) {
        *live[k].sum = s[k];
        --running;
        fill(k);
      }
    }
  }
}
}  // namespace

void KMeter::read_together(std::span<const KMeter* const> meters,
                           std::optional<double>* momentary,
                           std::optional<double>* shortterm) noexcept {
  constexpr std::size_t kAtOnce = 16;
  for (std::size_t first = 0; first < meters.size(); first += kAtOnce) {
    const std::size_t n = std::min(kAtOnce, meters.size() - first);
    double sums[kAtOnce][2][kMaxLanes];
    bool has_short[kAtOnce] = {};
    Chain chains[2 * kAtOnce];
    std::size_t count = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const KMeter& m = *meters[first + i];
      const std::size_t b = m.block_frames_;
      const std::size_t windows[2] = {kGatingBlocks * b, kShortTermBlocks * b};
      has_short[i] = windows[1] <= m.ring_blocks_ * b;
      if (m.ring_lanes_ != 1) {  // rings of several lanes a frame: their lanes side by side already
        momentary[first + i] = m.momentary();
        shortterm[first + i] = m.shortterm();
        continue;
      }
      for (std::size_t w = 0; w < (has_short[i] ? 2u : 1u); ++w) {
        std::size_t from = 0, to = 0;
        m.plan_window(windows[w], sums[i][w], from, to);
        to = std::min(to, m.ring_written_);  // as add_ring: frames never written add nothing
        if (from < to) chains[count++] = {m.ring_.data() + from, to - from, &sums[i][w][0]};
      }
    }
    add_chains(chains, count);
    for (std::size_t i = 0; i < n; ++i) {
      const KMeter& m = *meters[first + i];
      if (m.ring_lanes_ != 1) continue;
      const std::size_t b = m.block_frames_;
      momentary[first + i] = m.loudness_of_sums(sums[i][0], kGatingBlocks * b);
      shortterm[first + i] =
          has_short[i] ? std::optional(m.loudness_of_sums(sums[i][1], kShortTermBlocks * b))
                       : std::nullopt;
    }
  }
}

std::optional<double> KMeter::window(unsigned long window_ms) const {
  if (window_ms > window_ms_) return std::nullopt;
  const std::size_t frames = rate_hz_ * window_ms / 1000;
  if (frames > ring_blocks_ * block_frames_) return std::nullopt;
  return window_loudness(frames);
}

std::optional<double> KMeter::momentary() const {
  const std::size_t frames = kGatingBlocks * block_frames_;
  return window_loudness(frames);
}

std::optional<double> KMeter::shortterm() const {
  const std::size_t frames = kShortTermBlocks * block_frames_;
  if (frames > ring_blocks_ * block_frames_) return std::nullopt;
  return window_loudness(frames);
}

std::optional<double> KMeter::global() const {
  if ((mode_ & EBUR128_MODE_I) != EBUR128_MODE_I) return std::nullopt;
  return gated_integrated_lufs(gating_blocks_);
}

std::optional<double> KMeter::channel_global(unsigned channel) const {
  if (!channel_loudness_ || channel >= channels_) return std::nullopt;
  const std::size_t entries = channel_energies_.size() / lanes_;
  std::vector<double> energies(entries);
  for (std::size_t i = 0; i < entries; ++i) energies[i] = channel_energies_[i * lanes_ + channel];
  for (std::size_t slot = 0; slot < kBackSums;
       ++slot) {  // windows still waiting, completed from the ring
    const ChannelWait& w = channel_waiting_[slot];
    if (w.entry == kNone) continue;
    const std::size_t ring_frames = ring_blocks_ * block_frames_;
    std::size_t from = (position_ + ring_frames - kGatingBlocks * block_frames_) % ring_frames;
    std::size_t left = w.blocks_left * block_frames_ - in_block_;
    double lane_sums[kMaxLanes];
    std::copy_n(sums_.data() + (kRunningSums + kOldSums + slot) * lanes_, lanes_, lane_sums);
    while (left > 0) {
      const std::size_t n = std::min(left, ring_frames - from);
      add_ring(from, from + n, lane_sums);
      left -= n;
      from = (from + n) % ring_frames;
    }
    energies[w.entry] = channel_energy(lane_sums[channel]);
  }
  std::vector<double> blocks;
  for (double e : energies) {
    if (e >= absolute_gate_energy()) blocks.push_back(e);
  }
  return gated_integrated_lufs(blocks);
}

std::optional<double> KMeter::relative_threshold() const {
  if ((mode_ & EBUR128_MODE_I) != EBUR128_MODE_I) return std::nullopt;
  return gated_relative_gate_lufs(gating_blocks_);
}

std::optional<double> KMeter::range() const {
  if ((mode_ & EBUR128_MODE_LRA) != EBUR128_MODE_LRA) return std::nullopt;
  std::vector<double> v = range_energies();
  std::erase_if(v, [](double e) { return !(e >= absolute_gate_energy()); });
  if (v.empty()) return 0.0;
  std::sort(v.begin(), v.end());
  double power = 0.0;
  for (double z : v) power += z;
  power /= static_cast<double>(v.size());
  const double integrated = minus_twenty_decibels() * power;
  std::size_t first = 0;
  while (first < v.size() && v[first] < integrated) ++first;
  const std::size_t n = v.size() - first;
  if (n == 0) return 0.0;
  const double high = v[first + static_cast<std::size_t>(static_cast<double>(n - 1) * 0.95 + 0.5)];
  const double low = v[first + static_cast<std::size_t>(static_cast<double>(n - 1) * 0.1 + 0.5)];
  return loudness_of_energy(high) - loudness_of_energy(low);
}

}  // namespace sonorik::analysis
