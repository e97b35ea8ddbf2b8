// Built with -ffp-contract=off (CMakeLists.txt), as k_meter.cpp.
#include <algorithm>
#include <new>
#include <utility>
#include <vector>

#include "analysis/k_meter.h"
#include "analysis/simd.h"

#if SONORIK_SIMD_WIDE
// GCC 12 takes the intrinsics' own undefined vectors for uninitialized
// values (its bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

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
// to[f * width + i], lanes past C zero), frame by frame, so that each frame
// is written whole; unrolled for each count, the streams kept in registers.
template <unsigned C>
void interleave(const Stream* from, std::size_t n, std::size_t width, double* to) {
  Stream s[C];
  for (unsigned i = 0; i < C; ++i) s[i] = from[i];
  for (std::size_t f = 0; f < n; ++f) {
    for (unsigned i = 0; i < C; ++i) to[f * width + i] = s[i].p[f * s[i].stride];
    for (std::size_t i = C; i < width; ++i) to[f * width + i] = 0.0;
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

#if SONORIK_SIMD_WIDE
// The same moves eight frames at a time for streams one or two values
// apart (a mono meter's input and ring): eight loads, an 8 x 8 transpose
// in registers and eight stores, where the loops above take 64 loads and
// 64 stores. Rows past `count` are zero.

// out[j][i] = in[i][j].
[[gnu::target("avx512f")]] inline void transpose8(const __m512d in[8], __m512d out[8]) {
  __m512d t[8], s[4];
  for (unsigned i = 0; i < 4; ++i) {
    t[2 * i] = _mm512_unpacklo_pd(in[2 * i], in[2 * i + 1]);
    t[2 * i + 1] = _mm512_unpackhi_pd(in[2 * i], in[2 * i + 1]);
  }
  for (unsigned odd = 0; odd < 2; ++odd) {
    s[0] = _mm512_shuffle_f64x2(t[odd], t[2 + odd], 0x44);
    s[1] = _mm512_shuffle_f64x2(t[odd], t[2 + odd], 0xEE);
    s[2] = _mm512_shuffle_f64x2(t[4 + odd], t[6 + odd], 0x44);
    s[3] = _mm512_shuffle_f64x2(t[4 + odd], t[6 + odd], 0xEE);
    out[0 + odd] = _mm512_shuffle_f64x2(s[0], s[2], 0x88);
    out[2 + odd] = _mm512_shuffle_f64x2(s[0], s[2], 0xDD);
    out[4 + odd] = _mm512_shuffle_f64x2(s[1], s[3], 0x88);
    out[6 + odd] = _mm512_shuffle_f64x2(s[1], s[3], 0xDD);
  }
}

[[gnu::target("avx512f")]] void interleave8(const Stream* from, unsigned count, std::size_t n,
                                            std::size_t width, double* to) {
  const __m512i evens = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
  const __mmask8 frame = static_cast<__mmask8>((1u << width) - 1);
  std::size_t f = 0;
  for (; f + 8 <= n; f += 8) {
    __m512d rows[8], frames[8];
    for (unsigned i = 0; i < 8; ++i) {
      if (i >= count) {
        rows[i] = _mm512_setzero_pd();
      } else if (from[i].stride == 1) {
        rows[i] = _mm512_loadu_pd(from[i].p + f);
      } else {
        // p[15], the value after the eighth frame's, is not read: it may lie
        // past the stream's end.
        const double* p = from[i].p + 2 * f;
        rows[i] = _mm512_permutex2var_pd(_mm512_loadu_pd(p), evens,
                                         _mm512_maskz_loadu_pd(0x7F, p + 8));
      }
    }
    transpose8(rows, frames);
    for (unsigned k = 0; k < 8; ++k) _mm512_mask_storeu_pd(to + (f + k) * width, frame, frames[k]);
  }
  for (; f < n; ++f) {
    for (unsigned i = 0; i < width; ++i)
      to[f * width + i] = i < count ? from[i].p[f * from[i].stride] : 0.0;
  }
}

[[gnu::target("avx512f")]] void deinterleave8(const double* from, unsigned count, std::size_t n,
                                              double* const* to, const std::size_t* strides) {
  const __m512i low = _mm512_setr_epi64(0, 0, 1, 1, 2, 2, 3, 3);
  const __m512i high = _mm512_setr_epi64(4, 4, 5, 5, 6, 6, 7, 7);
  std::size_t f = 0;
  for (; f + 8 <= n; f += 8) {
    __m512d frames[8], rows[8];
    for (unsigned k = 0; k < 8; ++k) frames[k] = _mm512_loadu_pd(from + (f + k) * 8);
    transpose8(frames, rows);
    for (unsigned i = 0; i < count; ++i) {
      if (strides[i] == 1) {
        _mm512_storeu_pd(to[i] + f, rows[i]);
      } else {  // lane 0 of each frame; the others keep their values
        _mm512_mask_storeu_pd(to[i] + 2 * f, 0x55, _mm512_permutexvar_pd(low, rows[i]));
        _mm512_mask_storeu_pd(to[i] + 2 * f + 8, 0x55, _mm512_permutexvar_pd(high, rows[i]));
      }
    }
  }
  for (; f < n; ++f) {
    for (unsigned i = 0; i < count; ++i) to[i][f * strides[i]] = from[f * 8 + i];
  }
}
#endif

// Whether the eight-frame moves take these streams: each one or two values
// apart, into (or out of) frames of `width` <= 8 values, on a processor
// with AVX-512.
bool moves_wide(const Stream* streams, unsigned count, std::size_t width) {
#if SONORIK_SIMD_WIDE
  static const bool avx512 = simd::widest_vector_bits() >= 512;
  if (!avx512 || width > 8 || count > width) return false;
  for (unsigned i = 0; i < count; ++i)
    if (streams[i].stride != 1 && streams[i].stride != 2) return false;
  return true;
#else
  (void)streams, (void)count, (void)width;
  return false;
#endif
}

void interleave_any(unsigned count, const Stream* from, std::size_t n, std::size_t width,
                    double* to) {
#if SONORIK_SIMD_WIDE
  if (moves_wide(from, count, width)) return interleave8(from, count, n, width, to);
#endif
  interleave(count, from, n, width, to, kCounts);
}

void deinterleave_any(unsigned count, const double* from, std::size_t n, std::size_t width,
                      double* const* to, const std::size_t* strides) {
#if SONORIK_SIMD_WIDE
  Stream outs[kMaxLanes] = {};
  for (unsigned i = 0; i < count; ++i) outs[i] = {to[i], strides[i]};
  if (width == 8 && moves_wide(outs, count, width))
    return deinterleave8(from, count, n, to, strides);
#endif
  deinterleave(count, from, n, width, to, strides, kCounts);
}

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
        at < m.ring_written_ ? m.ring_.data() + at * m.ring_lanes_ : m.frames_behind(at, n);
    const double* old = m.frames_behind(behind, n);
    now_silent = now_silent && at >= m.ring_written_;
    old_silent = old_silent && behind >= m.ring_written_;
    for (unsigned c = 0; c < m.channels_; ++c, ++lane) {
      xs[lane] = {x[i] + c, m.channels_};
      nows[lane] = {now + c, m.ring_lanes_};
      olds[lane] = {old + c, m.ring_lanes_};
      into[lane] = m.ring_.data() + at * m.ring_lanes_ + c;
      into_strides[lane] = m.ring_lanes_;
    }
  }
  interleave_any(channels, xs, n, channels, in);
  // Silence that every meter's ring holds there is not read.
  const unsigned silent =
      (now_silent ? detail::kOldSilent : 0u) | (old_silent ? detail::kBackSilent : 0u);
  if (!now_silent) interleave_any(channels, nows, n, lanes, squares);
  if (!old_silent) interleave_any(channels, olds, n, lanes, back);
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
  t.filter(in, n, channels, lead.coefficients_, state, squares, back, sums, silent);
  deinterleave_any(channels, squares, n, lanes, into, into_strides);
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
  unsigned ring_lanes = 0;  // the scratch frames': `lanes`, as channels > 1
  detail::KFilterFunction* filter = detail::choose_k_filter(channels, 512, lanes, ring_lanes);
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
  // Lanes past the channels: silence in the state and sums. The frames the
  // filter reads are written whole, those lanes zero, before each read.
  std::fill(t.state, t.squares, 0.0);
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
