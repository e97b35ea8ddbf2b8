// The one RIFF/WAVE chunk walker of the sonorik module, shared by the
// decoder's header parser (wav_reader.h) and the mapped fast path's header
// check (ultra_fast_wav.h). Each caller passes a policy: the shortest span it
// takes, which formats it reads (its own fmt rule) and its message table, so
// each keeps its own rules and exact messages while the walking is written once.
//
// Walking rules, the same for every caller:
//   - The span is a whole file; the chunk list starts at byte 12, after "RIFF",
//     the RIFF size field (ignored: many writers get it wrong) and "WAVE".
//   - Only chunk headers wholly inside the span are read; a chunk whose 8-byte
//     header would cross the end of the span ends the walk.
//   - A chunk's body is followed by a pad byte when its declared size is odd.
//   - The first chunk of each name counts; later ones are skipped.
//   - Declared sizes are only compared and clamped, never allocated from.
//   - Every value is loaded through memcpy (core/bytes.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>

#include "core/bytes.h"
#include "core/error.h"

namespace sonorik {

// The byte where a RIFF/WAVE chunk list starts.
inline constexpr std::size_t kRiffChunkListOffset = 12;
inline constexpr std::size_t kRiffChunkHeaderBytes = 8;
// The fixed part of a fmt body: tag, channels, rate, byte rate, block align, bits.
inline constexpr std::uint32_t kWaveFmtMinimumBytes = 16;

struct RiffChunk {
  std::size_t header_offset = 0;     // its 8-byte header starts here in the span
  std::uint32_t declared_bytes = 0;  // the header's size field
  Bytes body;                        // the body, clamped to the end of the span
};

// The first chunk named `id` (four bytes) in the chunk list of `file`, or
// nullopt when the walk reaches the end of the span without one.
std::optional<RiffChunk> find_riff_chunk(Bytes file, const char (&id)[5]) noexcept;

// `message` with each "{}" replaced by the next of `args` in turn ("{}" left
// over when the arguments run out are kept as they are).
std::string fill_message(std::string_view message, std::initializer_list<std::string_view> args);

// One caller's messages for the walker's own checks. A message may leave out
// the values it is given.
struct WaveMessages {
  const char* too_short;      // {}: the span's size in bytes
  const char* not_riff;       // no "RIFF" at byte 0
  const char* not_wave;       // no "WAVE" at byte 8
  const char* no_fmt;         // no "fmt " chunk
  const char* fmt_too_short;  // {}: the fmt chunk's declared size, {}: 16
  const char* fmt_past_end;   // {}: the declared size, {}: bytes left in the span after its header
  const char* no_data;        // no "data" chunk
};

// What one caller accepts.
template <class Format>
struct WavePolicy {
  std::size_t minimum_file_bytes;  // shorter spans fail with too_short
  // The caller's fmt rule: which formats it reads. Receives the whole fmt body
  // (at least 16 bytes, all inside the span) and returns the caller's format
  // or its own error.
  Result<Format> (*read_format)(Bytes fmt_body);
  const WaveMessages* messages;
};

// A header that passed the checks: the caller's format and the data chunk,
// whose body is clamped to the span (a recording cut short keeps the bytes it
// has; compare body.size() with declared_bytes to see whether it was cut).
template <class Format>
struct WaveHeader {
  Format format;
  RiffChunk data;
};

namespace detail {
// The walker's checks up to the fmt body: size, "RIFF", "WAVE", fmt present,
// fmt declared size at least 16, fmt body wholly inside the span.
Result<Bytes> wave_fmt_body(Bytes file, std::size_t minimum_file_bytes, const WaveMessages& m);
}  // namespace detail

// Reads a RIFF/WAVE header under `policy`. Checks, in this order, each failing
// with the policy's message:
//   the span is at least minimum_file_bytes long        too_short
//   "RIFF" at byte 0                                     not_riff
//   "WAVE" at byte 8                                     not_wave
//   a "fmt " chunk                                       no_fmt
//   its declared size is at least 16                     fmt_too_short
//   its body lies wholly inside the span                 fmt_past_end
//   the caller's fmt rule                                (the rule's own error)
//   a "data" chunk                                       no_data
template <class Format>
Result<WaveHeader<Format>> read_wave_header(Bytes file, const WavePolicy<Format>& policy) {
  Result<Bytes> fmt_body = detail::wave_fmt_body(file, policy.minimum_file_bytes, *policy.messages);
  if (!fmt_body) return std::move(fmt_body).error();
  Result<Format> format = policy.read_format(*fmt_body);
  if (!format) return std::move(format).error();
  const std::optional<RiffChunk> data = find_riff_chunk(file, "data");
  if (!data) return Error(policy.messages->no_data);
  return WaveHeader<Format>{std::move(format).value(), *data};
}

}  // namespace sonorik
