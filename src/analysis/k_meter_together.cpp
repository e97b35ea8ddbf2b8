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
// One lane's values: frame f at p[f * stride].
struct Stream {
  const double* p;
  std::size_t stride;
};

// C streams into frames of `width` values (lane i of frame f at
// to[f * width + i]), frame by frame, so that each frame is written whole;
// unrolled for each count, the streams kept in registers.
template <unsigned C>
void interleave(const Stream* from, std::size_t n, std::size_t width, double* to) {
  Stream s[C];
  for (unsigned i = 0; i < C; ++i) s[i] = from[i];
  for (std::size_t f = 0; f < n; ++f) {
    for (unsigned i = 0; i < C; ++i) to[f * width + i] = s[i].p[f * s[i].stride];
  }
}

// The reverse: lane i of each frame into its stream.
template <unsigned C>
void deinterleave(const double* from, std::size_t n, std::size_t width, double* const* to,
                  const std::size_t* strides) {
  double* p[C];
  std::size_t stride[C];
  for (unsigned i = 0; i < C; ++i) p[i] = to[i], stride[i] = strides[i];
  for (std::size_t f = 0; f < n; ++f) {
    for (unsigned i = 0; i < C; ++i) p[i][f * stride[i]] = from[f * width + i];
  }
}

template <unsigned... C>
void interleave(unsigned count, const Stream* from, std::size_t n, std::size_t width, double* to,
                std::integer_sequence<unsigned, C...>) {
  ((count == C ? interleave<C>(from, n, width, to) : void()), ...);
}

template <unsigned... C>
void deinterleave(unsigned count, const double* from, std::size_t n, std::size_t width,
                  double* const* to, const std::size_t* strides,
                  std::integer_sequence<unsigned, C...>) {
  ((count == C ? deinterleave<C>(from, n, width, to, strides) : void()), ...);
}

constexpr auto kCounts = std::make_integer_sequence<unsigned, kMaxLanes + 1>();

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
  // Each lane's input, ring frames now and 400 ms behind (frames never
  // written read as silence), and where its squares go.
  Stream xs[kMaxLanes] = {}, nows[kMaxLanes] = {}, olds[kMaxLanes] = {};
  double* into[kMaxLanes] = {};
  std::size_t into_strides[kMaxLanes] = {};
  bool now_silent = true, old_silent = true;
  unsigned lane = 0;
  for (std::size_t i = 0; i < meters.size(); ++i) {
    KMeter& m = *meters[i];
    const double* now =
        at < m.ring_written_ ? m.ring_.data() + at * m.lanes_ : m.frames_behind(at, n);
    const double* old = m.frames_behind(behind, n);
    now_silent = now_silent && at >= m.ring_written_;
    old_silent = old_silent && behind >= m.ring_written_;
    for (unsigned c = 0; c < m.channels_; ++c, ++lane) {
      xs[lane] = {x[i] + c, m.channels_};
      nows[lane] = {now + c, m.lanes_};
      olds[lane] = {old + c, m.lanes_};
      into[lane] = m.ring_.data() + at * m.lanes_ + c;
      into_strides[lane] = m.lanes_;
    }
  }
  interleave(channels, xs, n, channels, in, kCounts);
  if (now_silent) {
    std::fill(squares, squares + n * lanes, 0.0);
  } else {
    interleave(channels, nows, n, lanes, squares, kCounts);
  }
  if (old_silent) {
    std::fill(back, back + n * lanes, 0.0);
  } else {
    interleave(channels, olds, n, lanes, back, kCounts);
  }
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
  deinterleave(channels, squares, n, lanes, into, into_strides, kCounts);
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
