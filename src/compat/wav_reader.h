// The decoder's RIFF/WAVE header parser over a byte span (usually a whole
// mapped file): the shared chunk walker (riff_walker.h) under the decoder's
// policy. It reads only the header: "fmt " and where the sample bytes of
// "data" are. It never reads a chunk header that is not wholly inside the span
// and never allocates from a size the file declares. Sample conversion is the
// decoder's business.
#pragma once

#include <cstdint>
#include <string_view>

#include "core/bytes.h"
#include "core/error.h"

namespace sonorik {

enum class WavSampleKind : std::uint8_t { Int, Float };

// "Int" or "Float".
std::string_view wav_sample_kind_name(WavSampleKind kind);

struct WavReader {
  std::uint32_t sample_rate_hz = 0;  // frames per second, never 0
  std::uint16_t channels = 0;        // never 0
  // Bits of each sample that carry data: the fmt chunk's bits per sample, or
  // for an extensible header its valid-bits field when that is non-zero and
  // fits the container. Never 0.
  std::uint16_t bits_per_sample = 0;
  // Bytes each sample occupies in the data chunk (block align / channels).
  // Samples narrower than their container are stored in its high bits.
  std::uint16_t container_bytes = 0;
  WavSampleKind kind = WavSampleKind::Int;
  // Samples over all channels as the data chunk declares them: its size in
  // bytes divided by container_bytes (a trailing partial sample is dropped).
  // The file may hold fewer; compare with present_samples().
  std::uint32_t declared_samples = 0;
  // The sample bytes actually in the span: the data chunk's body clamped to
  // the end of the span. May be shorter than declared, or longer than
  // declared_samples * container_bytes by a partial sample.
  Bytes sample_bytes;

  // Whole samples present in sample_bytes.
  std::uint64_t present_samples() const noexcept { return sample_bytes.size() / container_bytes; }

  // Parses a RIFF/WAVE header of at least 12 bytes. "fmt " and "data" may
  // come in either order; other chunks are skipped, odd-sized chunks with
  // their pad byte. A data chunk cut short is kept as far as it goes. Accepts
  // format tags 1 (integer PCM), 3 (IEEE float) and 0xFFFE (extensible, with
  // sub-format PCM or float). Float data must be 32-bit.
  // Errors (each message says what was found):
  //   "File too short for a RIFF header ({} bytes)"
  //   "Not a RIFF file (no \"RIFF\" tag)"
  //   "Not a WAVE file (no \"WAVE\" tag)"
  //   "Missing fmt chunk"
  //   "fmt chunk too short ({} bytes, at least {} needed)"
  //   "fmt chunk extends past the end of the file"
  //   "Unknown format tag 0x{:04X}"
  //   "Unknown extensible sub-format 0x{:04X}"
  //   "Channel count is zero"
  //   "Sample rate is zero"
  //   "Bits per sample is zero"
  //   "Float data must be 32 bits per sample (got {})"
  //   "Block align {} does not match {} channels of {} bytes"
  //   "Missing data chunk"
  static Result<WavReader> create(Bytes file);
};

}  // namespace sonorik
