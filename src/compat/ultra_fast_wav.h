// The WAV fast path: a read-only mapping of a whole WAV file whose header has
// been checked, with the raw sample bytes left in place. Samples are converted
// to 64-bit floats only on request, either all at once
// (convert_to_f64_minimal) or range by range straight into a caller's buffer
// (convert_range, convert_channels), so that a measurement can stream a file
// of any length through a small buffer.
//
// Accepted sample kinds: 16-bit and packed 24-bit integer PCM and 32-bit IEEE
// float, under format tag 1, 3 or 0xFFFE (extensible; with 32 bits only when
// the sub-format is float or the header is too short to carry one).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/error.h"
#include "core/file.h"

namespace sonorik {

struct WavFormatInfo {
  // Samples per channel: (data size / bytes per sample) / channels, where the
  // data size is cut to the bytes the file really holds after the data header.
  std::uint64_t frames = 0;
  double duration_seconds = 0.0;      // frames / sample_rate (inf or NaN for a rate of 0)
  std::uint32_t sample_rate = 0;      // Hz, as declared (may be anything, even 0)
  std::uint16_t channels = 0;         // >= 1 after a successful open
  std::uint16_t bits_per_sample = 0;  // 16, 24 or 32 after a successful open
};

enum class MappedSampleKind : std::uint8_t { i16, i24, f32 };

// What the header check finds: the format summary, the sample kind and where
// the sample bytes start in the file.
struct WavLayout {
  WavFormatInfo info;
  MappedSampleKind kind = MappedSampleKind::i16;
  std::size_t data_offset = 0;  // first byte after the data chunk header
};

// The header messages, in the order the checks run.
inline constexpr const char* kWavTooSmall = "File too small to be a valid WAV";
inline constexpr const char* kWavNotRiffWave = "Not a valid WAV file";
inline constexpr const char* kWavInvalidFmtSize = "Invalid fmt chunk size";

class UltraFastWavReader {
 public:
  // Opens and maps `path` and checks its header. Errors, in the order checked:
  //   the operating system's error, unchanged (missing file, directory, FIFO...);
  //   "File too small to be a valid WAV" (under 44 bytes);
  //   "Not a valid WAV file" (no "RIFF" at 0 or no "WAVE" at 8);
  //   "Chunk \"fmt \" not found";
  //   "Invalid fmt chunk size" (below 16);
  //   "Invalid fmt chunk: {size} bytes declared but only {left} left in the file";
  //   "Unsupported audio format: {tag} {bits}bit";
  //   "Invalid fmt chunk: 0 channels";
  //   "Chunk \"data\" not found".
  static Result<UltraFastWavReader> open(const std::string& path);

  // The same checks (after the operating-system ones) over bytes in memory.
  static Result<WavLayout> parse(Bytes file);

  // Offset of the header of the first chunk named `id` in the chunk list that
  // starts at offset 12; only chunks whose 8-byte header lies wholly inside
  // `file` are examined, odd sizes are followed by a pad byte.
  // Error: "Chunk {id in quoted form} not found".
  static Result<std::size_t> find_chunk(Bytes file, const char (&id)[5]);

  const WavFormatInfo& info() const noexcept { return layout_.info; }
  MappedSampleKind kind() const noexcept { return layout_.kind; }
  // frames x channels.
  std::uint64_t total_samples() const noexcept {
    return layout_.info.frames * layout_.info.channels;
  }

  // All samples (or the first `max_samples` of them), interleaved, as 64-bit
  // floats: 16-bit s / 32768, 24-bit v / 8388608, float widened unchanged.
  std::vector<double> convert_to_f64_minimal(std::optional<std::uint64_t> max_samples) const;

  // Converts the interleaved samples [first_sample, first_sample + count) into
  // out[0..count). Requires first_sample + count <= total_samples().
  void convert_range(std::uint64_t first_sample, std::size_t count, double* out) const noexcept;
  // Converts channels [first_channel, first_channel + channel_count) of frames
  // [first_frame, first_frame + frames) into out, interleaved (frames x
  // channel_count values). Requires first_frame + frames <= info().frames and
  // first_channel + channel_count <= info().channels.
  void convert_channels(std::uint64_t first_frame, std::size_t frames, unsigned first_channel,
                        unsigned channel_count, double* out) const noexcept;

 private:
  UltraFastWavReader(MappedFile mapping, WavLayout layout)
      : mapping_(std::move(mapping)), layout_(layout) {}

  const std::uint8_t* data() const noexcept {
    return mapping_.bytes().data() + layout_.data_offset;
  }
  std::size_t bytes_per_sample() const noexcept { return layout_.info.bits_per_sample / 8u; }

  MappedFile mapping_;
  WavLayout layout_;
};

}  // namespace sonorik
