// The WAV fast path: a read-only mapping of a whole WAV file whose header has
// been checked (the shared chunk walker, riff_walker.h, under the fast path's
// policy), with the raw sample bytes left in place. Samples are converted to
// 64-bit floats only on request, range by range straight into a caller's
// buffer (convert_range, convert_channels), so that a measurement can stream a
// file of any length through a small buffer.
//
// Accepted sample kinds: 16-bit and packed 24-bit integer PCM and 32-bit IEEE
// float, under format tag 1, 3 or 0xFFFE (extensible; with 32 bits only when
// the sub-format is float or the header is too short to carry one). The block
// align and the sample rate are taken as they are; a data chunk cut short is
// read as far as it goes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "compat/sample_converter.h"
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

// What the header check finds: the format summary, the sample format (I16,
// I24 or F32, each in a container of its own width) and where the sample bytes
// start in the file.
struct WavLayout {
  WavFormatInfo info;
  SampleFormat kind = SampleFormat::I16;
  std::size_t data_offset = 0;  // first byte after the data chunk header
};

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

  const WavFormatInfo& info() const noexcept { return layout_.info; }
  SampleFormat kind() const noexcept { return layout_.kind; }
  // frames x channels.
  std::uint64_t total_samples() const noexcept {
    return layout_.info.frames * layout_.info.channels;
  }

  // Converts the interleaved samples [first_sample, first_sample + count) into
  // out[0..count) (convert_samples in sample_converter.h: 16-bit s / 32768,
  // 24-bit v / 8388608, float widened unchanged). Requires
  // first_sample + count <= total_samples().
  void convert_range(std::uint64_t first_sample, std::size_t count, double* out) const noexcept;
  // Converts channels [first_channel, first_channel + channel_count) of frames
  // [first_frame, first_frame + frames) into out, interleaved (frames x
  // channel_count values). Requires first_frame + frames <= info().frames and
  // first_channel + channel_count <= info().channels.
  void convert_channels(std::uint64_t first_frame, std::size_t frames, unsigned first_channel,
                        unsigned channel_count, double* out) const noexcept;

  // Error kChangedWhileRead when the file shrank under a read of the mapping
  // (those reads gave zeros) or its size or modification time changed since
  // it was opened: what was read is then not the file.
  Status check_unchanged() const { return mapping_.check_unchanged(); }

 private:
  UltraFastWavReader(MappedFile mapping, WavLayout layout)
      : mapping_(std::move(mapping)), layout_(layout) {}

  const std::uint8_t* data() const noexcept {
    return mapping_.bytes().data() + layout_.data_offset;
  }
  std::size_t bytes_per_sample() const noexcept { return layout_.info.bits_per_sample / 8u; }
  SampleLayout sample_layout() const noexcept {
    return {layout_.kind, static_cast<std::uint16_t>(bytes_per_sample())};
  }

  MappedFile mapping_;
  WavLayout layout_;
};

}  // namespace sonorik
