// Built with -ffp-contract=off (CMakeLists.txt), as k_meter.cpp.
#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "analysis/k_meter.h"
#include "analysis/simd.h"

namespace sonorik::analysis {

namespace {
constexpr unsigned kMaxLanes = 8;
constexpr std::size_t kGatingBlocks = 4;  // 400 ms

// C one-channel meters' frames (their rings two lanes a frame) into the
// filter's frames of `lanes` lanes, and its squares back into the rings:
// unrolled for each count. Rings of frames never written are silence.
template <unsigned C>
void gather_mono(const double* const* x, const double* const* now, const double* const* old,
                 bool now_silent, bool old_silent, std::size_t n, unsigned lanes, double* in,
                 double* squares, double* back) {
  for (unsigned i = 0; i < C; ++i) {
    const double* from = x[i];
    for (std::size_t f = 0; f < n; ++f) in[f * C + i] = from[f];
  }
  const auto ring = [&](const double* const* rings, bool silent, double* to) {
    if (silent) {
      std::fill(to, to + n * lanes, 0.0);
      return;
    }
    for (unsigned i = 0; i < C; ++i) {
      const double* from = rings[i];
      for (std::size_t f = 0; f < n; ++f) to[f * lanes + i] = from[2 * f];
    }
  };
  ring(now, now_silent, squares);
  ring(old, old_silent, back);
}

template <unsigned C>
void scatter_mono(const double* squares, std::size_t n, unsigned lanes, double* const* into) {
  for (unsigned i = 0; i < C; ++i) {
    double* to = into[i];
    for (std::size_t f = 0; f < n; ++f) to[2 * f] = squares[f * lanes + i];
  }
}

struct MonoCopies {
  const double* const* x;
  const double* const* now;
  const double* const* old;
  bool now_silent, old_silent;
  std::size_t n;
  unsigned lanes;
  double* in;
  double* squares;
  double* back;
  double* const* into;

  template <unsigned... C>
  void gather(unsigned count, std::integer_sequence<unsigned, C...>) const {
    ((count == C ? gather_mono<C>(x, now, old, now_silent, old_silent, n, lanes, in, squares, back)
                 : void()),
     ...);
  }
  template <unsigned... C>
  void scatter(unsigned count, std::integer_sequence<unsigned, C...>) const {
    ((count == C ? scatter_mono<C>(squares, n, lanes, into) : void()), ...);
  }
};
}  // namespace

bool KMeter::in_step(std::span<KMeter* const> meters) noexcept {
  if (meters.size() < 2) return false;
  const KMeter& lead = *meters[0];
  unsigned channels = 0;
  for (const KMeter* m : meters) {
    channels += m->channels_;
    if (m->rate_hz_ != lead.rate_hz_ || m->mode_ != lead.mode_ ||
        m->ring_blocks_ != lead.ring_blocks_ || m->position_ != lead.position_ ||
        m->in_block_ != lead.in_block_ || m->blocks_ != lead.blocks_) {
      return false;
    }
  }
  return channels <= kMaxLanes;
}

struct KMeter::Together {
  unsigned channels = 0;  // of all the meters
  unsigned lanes = 0;     // of the filter
  detail::KFilterFunction* filter = nullptr;
  double* in = nullptr;  // the filter's frames, `channels` values each
  double* state = nullptr;
  double* sums = nullptr;
  double* squares = nullptr;  // `lanes` values a frame
  double* back = nullptr;
};

void KMeter::filter_together(std::span<KMeter* const> meters, const double* const* x,
                             std::size_t at, std::size_t n, Together& t) {
  const KMeter& lead = *meters[0];
  const std::size_t b = lead.block_frames_;
  const std::size_t ring_frames = lead.ring_blocks_ * b;
  const std::size_t behind = (at + ring_frames - kGatingBlocks * b) % ring_frames;
  const unsigned channels = t.channels, lanes = t.lanes;
  double *in = t.in, *state = t.state, *sums = t.sums, *squares = t.squares, *back = t.back;
  // Frame by frame, so that each of the filter's frames is written whole.
  const double* now[kMaxLanes];
  const double* old[kMaxLanes];
  bool now_silent = true, old_silent = true;
  for (std::size_t i = 0; i < meters.size(); ++i) {
    KMeter& m = *meters[i];
    // Frames never written read as silence.
    now[i] = at < m.ring_written_ ? m.ring_.data() + at * m.lanes_ : m.frames_behind(at, n);
    old[i] = m.frames_behind(behind, n);
    now_silent = now_silent && at >= m.ring_written_;
    old_silent = old_silent && behind >= m.ring_written_;
  }
  double* into[kMaxLanes];
  for (std::size_t i = 0; i < meters.size(); ++i)
    into[i] = meters[i]->ring_.data() + at * meters[i]->lanes_;
  const bool mono = channels == meters.size();  // each one channel, two lanes a frame
  const auto counts = std::make_integer_sequence<unsigned, kMaxLanes + 1>();
  for (std::size_t f = 0; !mono && f < n; ++f) {
    unsigned lane = 0;
    for (std::size_t i = 0; i < meters.size(); ++i) {
      const unsigned c_n = meters[i]->channels_, l_n = meters[i]->lanes_;
      for (unsigned c = 0; c < c_n; ++c, ++lane) {
        in[f * channels + lane] = x[i][f * c_n + c];
        squares[f * lanes + lane] = now[i][f * l_n + c];
        back[f * lanes + lane] = old[i][f * l_n + c];
      }
    }
  }
  const MonoCopies copies{x, now, old, now_silent, old_silent, n, lanes, in, squares, back, into};
  if (mono) copies.gather(channels, counts);
  unsigned first = 0;
  for (const KMeter* m : meters) {
    const unsigned c_n = m->channels_, l_n = m->lanes_;
    for (unsigned c = 0; c < c_n; ++c) {
      for (std::size_t s = 0; s < 4; ++s) state[s * lanes + first + c] = m->state_[s * l_n + c];
      for (std::size_t r = 0; r < detail::kAllSums; ++r)
        sums[r * lanes + first + c] = m->sums_[r * l_n + c];
    }
    first += c_n;
  }
  t.filter(in, n, channels, lead.coefficients_, state, squares, back, sums);
  for (std::size_t f = 0; !mono && f < n; ++f) {
    unsigned lane = 0;
    for (std::size_t i = 0; i < meters.size(); ++i) {
      const unsigned c_n = meters[i]->channels_, l_n = meters[i]->lanes_;
      for (unsigned c = 0; c < c_n; ++c, ++lane) into[i][f * l_n + c] = squares[f * lanes + lane];
    }
  }
  if (mono) copies.scatter(channels, counts);
  first = 0;
  for (KMeter* m : meters) {
    const unsigned c_n = m->channels_, l_n = m->lanes_;
    for (unsigned c = 0; c < c_n; ++c) {
      for (std::size_t s = 0; s < 4; ++s) m->state_[s * l_n + c] = state[s * lanes + first + c];
      for (std::size_t r = 0; r < detail::kAllSums; ++r)
        m->sums_[r * l_n + c] = sums[r * lanes + first + c];
    }
    first += c_n;
  }
}

bool KMeter::add_frames_together(std::span<KMeter* const> meters,
                                 std::span<const double* const> inputs,
                                 std::size_t frames) noexcept {
  const auto alone = [&] {
    bool ok = true;
    for (std::size_t i = 0; i < meters.size(); ++i)
      ok = meters[i]->add_frames(inputs[i], frames) && ok;
    return ok;
  };
  if (!in_step(meters)) return alone();
  const KMeter& lead = *meters[0];
  const std::size_t b = lead.block_frames_;
  unsigned channels = 0;
  for (const KMeter* m : meters) channels += m->channels_;
  unsigned lanes = 0;
  detail::KFilterFunction* filter = detail::choose_k_filter(channels, 512, lanes);
  // Each meter's channels in lanes [first, first + channels) of the
  // filter's frames; its state, sums and ring frames copied in and out.
  // The copies' memory is kept by each thread from one call to the next.
  thread_local std::vector<double> scratch;
  const std::size_t size = b * channels + (4 + detail::kAllSums + 2 * b) * lanes;
  try {
    if (scratch.size() < size) scratch.resize(size);
  } catch (const std::bad_alloc&) {
    return alone();
  }
  Together t{channels, lanes, filter, scratch.data()};
  t.state = t.in + b * channels;
  t.sums = t.state + 4 * lanes;
  t.squares = t.sums + detail::kAllSums * lanes;
  t.back = t.squares + b * lanes;
  // Lanes past the channels: silence (the ring's lanes are written by the
  // filter, the rest are only read).
  std::fill(t.state, t.squares, 0.0);
  std::fill(t.back, t.back + b * lanes, 0.0);
  std::size_t done = 0;
  while (done < frames) {
    for (KMeter* m : meters)
      if (m->in_block_ == 0) m->start_block();
    const std::size_t n = std::min(frames - done, b - lead.in_block_);
    const std::size_t at = lead.position_;
    try {
      for (KMeter* m : meters) m->grow_ring(at + n);
      const double* x[kMaxLanes];
      for (std::size_t i = 0; i < meters.size(); ++i)
        x[i] = inputs[i] + done * meters[i]->channels_;
      filter_together(meters, x, at, n, t);
    } catch (const std::bad_alloc&) {
      return false;
    }
    for (KMeter* m : meters) {
      m->position_ += n;
      m->ring_written_ = std::max(m->ring_written_, m->position_);
      m->in_block_ += n;
    }
    done += n;
    try {
      for (KMeter* m : meters)
        if (m->in_block_ == b) m->end_block();
    } catch (const std::bad_alloc&) {
      return false;
    }
  }
  return true;
}

}  // namespace sonorik::analysis
