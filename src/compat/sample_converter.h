// The stored sample formats of WAV data and their one conversion to 64-bit
// floats, shared by the decoder (whole files into a list) and the mapped fast
// path (ranges and single channels straight into a caller's buffer).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace sonorik {

enum class SampleFormat : std::uint8_t { U8 = 0, I16 = 1, I24 = 2, I32 = 3, F32 = 4, F64 = 5 };

// "U8", "I16", "I24", "I32", "F32" or "F64".
std::string_view sample_format_name(SampleFormat f);

// How samples are stored.
struct SampleLayout {
  SampleFormat format = SampleFormat::I16;
  // Bytes each stored sample occupies. Floats fill theirs exactly (4 or 8). An
  // integer sample may sit in a wider container, in its high bytes (as WAVE
  // stores samples narrower than their container); only the top four bytes of
  // a container are read.
  std::uint16_t container_bytes = 2;
};

// Converts `count` samples stored as `layout`, the first at `first` and each
// `stride_bytes` after the previous, into out[0..count). Every sample's
// container must be readable. Values:
//   U8 in 1 byte       byte b as ((b - 128 + 128.0) / 255.0) * 2.0 - 1.0
//                      (0 gives -1.0, 255 gives +1.0)
//   U8 in more bytes   the container's top byte read as signed s,
//                      ((s + 128.0) / 255.0) * 2.0 - 1.0
//   I16, I24, I32      the signed value divided by 2^15, 2^23, 2^31
//   F32, F64           the value, widened unchanged
void convert_samples(SampleLayout layout, const std::uint8_t* first, std::size_t stride_bytes,
                     std::size_t count, double* out) noexcept;

}  // namespace sonorik
