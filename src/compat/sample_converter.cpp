#include "compat/sample_converter.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "core/bytes.h"

namespace sonorik {
namespace {

constexpr double kScaleI16 = 1.0 / 32768.0;       // 2^-15
constexpr double kScaleI24 = 1.0 / 8388608.0;     // 2^-23
constexpr double kScaleI32 = 1.0 / 2147483648.0;  // 2^-31

// 8-bit data is unsigned around 128 and scaled by 255, so that byte 0 gives
// -1.0 and byte 255 gives +1.0. `s` is the byte minus 128.
double from_u8(int s) { return ((s + 128.0) / 255.0) * 2.0 - 1.0; }

// from_u8(b - 128) for every byte b.
const std::array<double, 256>& u8_table() {
  static const std::array<double, 256> table = [] {
    std::array<double, 256> t{};
    for (int b = 0; b < 256; ++b) t[static_cast<std::size_t>(b)] = from_u8(b - 128);
    return t;
  }();
  return table;
}

double load_le_f64(const std::uint8_t* p) {
  const std::uint64_t bits = std::uint64_t{load_le32(p)} | (std::uint64_t{load_le32(p + 4)} << 32);
  double d;
  std::memcpy(&d, &bits, sizeof d);
  return d;
}

// A signed sample of `bits` stored in the high bits of a little-endian
// container of `container` bytes. Only the top four bytes can matter.
std::int32_t load_left_justified(const std::uint8_t* p, unsigned container, unsigned bits) {
  const unsigned take = std::min(container, 4u);
  const std::uint8_t* top = p + (container - take);
  std::uint32_t v = 0;
  for (unsigned k = 0; k < take; ++k) v |= std::uint32_t{top[k]} << (8 * (k + 4 - take));
  return static_cast<std::int32_t>(v) >> (32 - bits);
}

template <class Load>
void convert_each(const std::uint8_t* p, std::size_t stride_bytes, std::size_t count, double* out,
                  Load load) noexcept {
  for (std::size_t i = 0; i < count; ++i, p += stride_bytes) out[i] = load(p);
}

// Integer samples in a container wider than their own width.
void convert_left_justified(SampleFormat format, unsigned container, const std::uint8_t* p,
                            std::size_t stride_bytes, std::size_t count, double* out) noexcept {
  if (format == SampleFormat::U8) {
    const std::array<double, 256>& table = u8_table();
    convert_each(p, stride_bytes, count, out, [&table, container](const std::uint8_t* q) {
      return table[static_cast<std::size_t>(load_left_justified(q, container, 8) + 128)];
    });
    return;
  }
  const unsigned bits = format == SampleFormat::I16 ? 16 : format == SampleFormat::I24 ? 24 : 32;
  const double scale = format == SampleFormat::I16   ? kScaleI16
                       : format == SampleFormat::I24 ? kScaleI24
                                                     : kScaleI32;
  convert_each(p, stride_bytes, count, out, [container, bits, scale](const std::uint8_t* q) {
    return load_left_justified(q, container, bits) * scale;
  });
}

}  // namespace

std::string_view sample_format_name(SampleFormat f) {
  switch (f) {
    case SampleFormat::U8:
      return "U8";
    case SampleFormat::I16:
      return "I16";
    case SampleFormat::I24:
      return "I24";
    case SampleFormat::I32:
      return "I32";
    case SampleFormat::F32:
      return "F32";
    case SampleFormat::F64:
      return "F64";
  }
  return "F64";
}

void convert_samples(SampleLayout layout, const std::uint8_t* first, std::size_t stride_bytes,
                     std::size_t count, double* out) noexcept {
  const unsigned container = layout.container_bytes;
  const std::uint8_t* p = first;
  switch (layout.format) {
    case SampleFormat::F32:
      convert_each(p, stride_bytes, count, out,
                   [](const std::uint8_t* q) { return static_cast<double>(load_le_f32(q)); });
      return;
    case SampleFormat::F64:
      convert_each(p, stride_bytes, count, out, load_le_f64);
      return;
    case SampleFormat::U8:
      if (container != 1) break;
      convert_each(p, stride_bytes, count, out,
                   [&table = u8_table()](const std::uint8_t* q) { return table[*q]; });
      return;
    case SampleFormat::I16:
      if (container != 2) break;
      convert_each(p, stride_bytes, count, out,
                   [](const std::uint8_t* q) { return load_le_i16(q) * kScaleI16; });
      return;
    case SampleFormat::I24:
      if (container != 3) break;
      convert_each(p, stride_bytes, count, out,
                   [](const std::uint8_t* q) { return load_le_i24(q) * kScaleI24; });
      return;
    case SampleFormat::I32:
      if (container != 4) break;
      convert_each(p, stride_bytes, count, out,
                   [](const std::uint8_t* q) { return load_le_i32(q) * kScaleI32; });
      return;
  }
  convert_left_justified(layout.format, container, p, stride_bytes, count, out);
}

}  // namespace sonorik
