// Arrays as sonorik_meter takes them: any object with the buffer protocol or
// DLPack of native-endian float32, float64, int16 or int32 samples, shaped
// (frames,) or (frames, channels), any strides, read in place block by block
// into the engine (int16 and int32 scaled by 1/32768 and 1/2147483648).
// measure(), Meter.add() and measure_album() read arrays through these
// pieces only. The checks run with the interpreter lock held; the readers
// run without it.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "audio/finite_check.h"
#include "core/error.h"
#include "core/interrupt.h"

namespace sonorik::meter {

namespace nb = nanobind;

using Array = nb::ndarray<nb::ro, nb::device::cpu>;

// A sample that is not finite, seen by a reader.
using BadSample = std::optional<SamplePosition>;

// The most columns an array may have: more is taken for a (channels, frames)
// array passed the wrong way round.
inline constexpr unsigned kMaxArrayChannels = 64;

// After `frames` frames converted into `out` (the first being frame
// `first_frame`): the error for the first non-finite sample, kept in `bad`.
Result<std::size_t> finite_or_error(Result<std::size_t> got, const double* out, unsigned channels,
                                    std::uint64_t first_frame, BadSample& bad);

// Frames of a (frames,) or (frames, channels) array of T, any strides,
// scaled to full scale 1.0, read in blocks. Frame 0 of the array is frame
// `origin` of the audio (for the position of a non-finite sample); with
// `bad` null the samples are taken as checked already.
template <class T>
struct ArrayReader {
  const T* base;
  std::uint64_t frames;
  unsigned channels;
  std::int64_t frame_stride;    // elements
  std::int64_t channel_stride;  // elements
  double scale;
  BadSample* bad;
  std::uint64_t origin = 0;
  std::uint64_t next = 0;

  Result<std::size_t> operator()(double* out, std::size_t max_frames) {
    if (interrupted()) return Error(kInterrupted);
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(max_frames, frames - next));
    for (std::size_t f = 0; f < n; ++f) {
      const T* p = base + static_cast<std::int64_t>(next + f) * frame_stride;
      for (unsigned c = 0; c < channels; ++c) {
        out[f * channels + c] =
            static_cast<double>(p[static_cast<std::int64_t>(c) * channel_stride]) * scale;
      }
    }
    const std::uint64_t first = origin + next;
    next += n;
    if constexpr (std::is_floating_point_v<T>) {
      if (bad != nullptr) return finite_or_error(n, out, channels, first, *bad);
    }
    return n;
  }
};

// Calls run(reader) with the ArrayReader of `a` (checked by array_columns)
// for its sample type.
template <class F>
void with_array_reader(const Array& a, unsigned channels, BadSample* bad, std::uint64_t origin,
                       F&& run) {
  const std::uint64_t frames = a.shape(0);
  const std::int64_t frame_stride = a.stride(0);
  const std::int64_t channel_stride = a.ndim() == 2 ? a.stride(1) : 0;
  const auto make = [&](auto* base, double scale) {
    using T = std::remove_const_t<std::remove_pointer_t<decltype(base)>>;
    return ArrayReader<T>{base, frames, channels, frame_stride, channel_stride, scale, bad, origin};
  };
  const nb::dlpack::dtype t = a.dtype();
  const void* data = a.data();
  if (t == nb::dtype<float>()) {
    run(make(static_cast<const float*>(data), 1.0));
  } else if (t == nb::dtype<double>()) {
    run(make(static_cast<const double*>(data), 1.0));
  } else if (t == nb::dtype<std::int16_t>()) {
    run(make(static_cast<const std::int16_t*>(data), 1.0 / 32768.0));
  } else {
    run(make(static_cast<const std::int32_t*>(data), 1.0 / 2147483648.0));
  }
}

// The first sample of `a` that is not finite, frame 0 of `a` being frame
// `origin` of the audio; nothing for integer samples. Runs without the
// interpreter lock.
BadSample first_non_finite_in(const Array& a, std::uint64_t origin);

// The sample type of `a` as numpy names it ("float32"), from `source`'s
// dtype where it has one.
std::string dtype_name(const nb::handle& source, const Array& a);

// `obj` as an Array, read in place; else raises TypeError "{what} an array of
// native-endian float32, float64, int16 or int32 samples, got {type}".
Array array_or_raise(const nb::object& obj, const std::string& what);

// Checks the sample type and rank of `a` (taken from `source`) and returns
// its columns: 1 for a (frames,) array. Raises TypeError "unsupported sample
// type {dtype}: pass float32, float64, int16 or int32 samples" and
// ValueError "array must have 1 or 2 dimensions (got {n})".
std::size_t array_columns(const nb::handle& source, const Array& a);

}  // namespace sonorik::meter
