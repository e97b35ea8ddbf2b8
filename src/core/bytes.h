// Little-endian loads from untrusted byte spans. Every load is through memcpy
// (no misaligned pointer casts); callers check bounds before loading.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

namespace sonorik {

using Bytes = std::span<const std::uint8_t>;

inline std::uint16_t load_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load_le32(const std::uint8_t* p) {
  return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
         (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline std::int16_t load_le_i16(const std::uint8_t* p) {
  return static_cast<std::int16_t>(load_le16(p));
}
// Packed 24-bit little-endian, sign-extended from bit 23.
inline std::int32_t load_le_i24(const std::uint8_t* p) {
  const std::uint32_t v = static_cast<std::uint32_t>(p[0]) |
                          (static_cast<std::uint32_t>(p[1]) << 8) |
                          (static_cast<std::uint32_t>(p[2]) << 16);
  return static_cast<std::int32_t>(v << 8) >> 8;
}
inline std::int32_t load_le_i32(const std::uint8_t* p) {
  return static_cast<std::int32_t>(load_le32(p));
}
inline float load_le_f32(const std::uint8_t* p) {
  const std::uint32_t bits = load_le32(p);
  float f;
  std::memcpy(&f, &bits, sizeof f);
  return f;
}

// True when the four bytes at p spell `tag`.
inline bool tag_is(const std::uint8_t* p, const char (&tag)[5]) {
  return std::memcmp(p, tag, 4) == 0;
}

}  // namespace sonorik
