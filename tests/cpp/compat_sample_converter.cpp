// The one sample converter at the edges of every stored format, in its own and
// in wider containers (which only the decoder reads, and Python never sees).
#include "compat/sample_converter.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

namespace sonorik {
namespace {

struct Case {
  SampleLayout layout;
  std::vector<std::uint8_t> bytes;  // two samples, one container apart
  double first, second;
};

std::vector<std::uint8_t> bytes_of(const void* p, std::size_t n) {
  const auto* b = static_cast<const std::uint8_t*>(p);
  return {b, b + n};
}

TEST(SampleConverter, EdgesOfEveryFormatAndContainer) {
  const float f32[] = {0.5f, -3.0e38f};
  const double f64[] = {-0.25, 1.0e300};
  const std::vector<Case> cases = {
      {{SampleFormat::U8, 1}, {0x00, 0xFF}, -1.0, 1.0},
      {{SampleFormat::U8, 2}, {0xAA, 0x80, 0xAA, 0x7F}, -1.0, 1.0},  // top byte, signed
      {{SampleFormat::I16, 2}, {0x00, 0x80, 0x01, 0x00}, -1.0, std::ldexp(1.0, -15)},
      {{SampleFormat::I16, 3}, {0xAA, 0x00, 0x80, 0xAA, 0xFF, 0x7F}, -1.0, 32767.0 / 32768.0},
      {{SampleFormat::I24, 3}, {0x00, 0x00, 0x80, 0x01, 0x00, 0x00}, -1.0, std::ldexp(1.0, -23)},
      {{SampleFormat::I24, 4},
       {0xAA, 0x00, 0x00, 0x80, 0xAA, 0x01, 0x00, 0x00},
       -1.0,
       std::ldexp(1.0, -23)},
      {{SampleFormat::I32, 4}, {0, 0, 0, 0x80, 1, 0, 0, 0}, -1.0, std::ldexp(1.0, -31)},
      {{SampleFormat::I32, 5},
       {0xAA, 0, 0, 0, 0x80, 0xAA, 0xFF, 0xFF, 0xFF, 0xFF},
       -1.0,
       -std::ldexp(1.0, -31)},
      {{SampleFormat::F32, 4}, bytes_of(f32, sizeof f32), 0.5, static_cast<double>(-3.0e38f)},
      {{SampleFormat::F64, 8}, bytes_of(f64, sizeof f64), -0.25, 1.0e300},
  };
  for (const Case& c : cases) {
    const unsigned width = c.layout.container_bytes;
    SCOPED_TRACE(std::string(sample_format_name(c.layout.format)) + " in " + std::to_string(width));
    double out[2] = {};
    convert_samples(c.layout, c.bytes.data(), width, 2, out);
    EXPECT_EQ(out[0], c.first);
    EXPECT_EQ(out[1], c.second);
    // The same two samples with a container of filler between them: the stride alone moves.
    std::vector<std::uint8_t> spaced(c.bytes.begin(), c.bytes.begin() + width);
    spaced.insert(spaced.end(), width, 0xEE);
    spaced.insert(spaced.end(), c.bytes.begin() + width, c.bytes.end());
    double strided[2] = {};
    convert_samples(c.layout, spaced.data(), 2 * width, 2, strided);
    EXPECT_EQ(strided[0], c.first);
    EXPECT_EQ(strided[1], c.second);
  }
}

}  // namespace
}  // namespace sonorik
