#include "python/meter/arrays.h"

#include <cmath>

#include "python/meter/arguments.h"

namespace sonorik::meter {

Result<std::size_t> finite_or_error(Result<std::size_t> got, const double* out, unsigned channels,
                                    std::uint64_t first_frame, BadSample& bad) {
  if (!got || *got == 0) return got;
  bad = first_non_finite(out, *got, channels, first_frame);
  if (bad) return Error(non_finite_message(*bad));
  return got;
}

namespace {

template <class T>
BadSample first_non_finite_of(const T* base, const Array& a, std::uint64_t origin) {
  const std::uint64_t frames = a.shape(0);
  const auto channels = static_cast<unsigned>(a.ndim() == 2 ? a.shape(1) : 1);
  const std::int64_t frame_stride = a.stride(0);
  const std::int64_t channel_stride = a.ndim() == 2 ? a.stride(1) : 0;
  for (std::uint64_t f = 0; f < frames; ++f) {
    const T* p = base + static_cast<std::int64_t>(f) * frame_stride;
    for (unsigned c = 0; c < channels; ++c) {
      const T v = p[static_cast<std::int64_t>(c) * channel_stride];
      if (!std::isfinite(v)) return SamplePosition{origin + f, c, static_cast<double>(v)};
    }
  }
  return std::nullopt;
}

}  // namespace

BadSample first_non_finite_in(const Array& a, std::uint64_t origin) {
  if (a.dtype() == nb::dtype<float>())
    return first_non_finite_of(static_cast<const float*>(a.data()), a, origin);
  if (a.dtype() == nb::dtype<double>())
    return first_non_finite_of(static_cast<const double*>(a.data()), a, origin);
  return std::nullopt;
}

std::string dtype_name(const nb::handle& source, const Array& a) {
  if (nb::hasattr(source, "dtype")) return text_of(source.attr("dtype"));
  return "code " + std::to_string(a.dtype().code) + ", " + std::to_string(a.dtype().bits) + " bits";
}

Array array_or_raise(const nb::object& obj, const std::string& what) {
  Array a;
  if (!nb::try_cast(obj, a, false)) {
    raise(PyExc_TypeError, what + " an array of native-endian float32, float64, int16 or int32 "
                                  "samples, got " + type_name_of(obj));
  }
  return a;
}

std::size_t array_columns(const nb::handle& source, const Array& a) {
  const nb::dlpack::dtype t = a.dtype();
  if (!(t == nb::dtype<float>() || t == nb::dtype<double>() || t == nb::dtype<std::int16_t>() ||
        t == nb::dtype<std::int32_t>())) {
    raise(PyExc_TypeError, "unsupported sample type " + dtype_name(source, a) +
                               ": pass float32, float64, int16 or int32 samples");
  }
  if (a.ndim() != 1 && a.ndim() != 2) {
    raise(PyExc_ValueError,
          "array must have 1 or 2 dimensions (got " + std::to_string(a.ndim()) + ")");
  }
  return a.ndim() == 2 ? a.shape(1) : 1;
}

}  // namespace sonorik::meter
