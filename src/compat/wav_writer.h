// The WAV encoder that sits beside our reader: a standard RIFF/WAVE header for
// a sample format, the conversion of 64-bit float samples to stored
// values, and streaming through a fixed 64 KiB buffer into a file descriptor,
// with the sizes patched into the header at the end.
//
// Header layout chosen for a format:
//   - integer data of at most 16 bits and at most 2 channels: plain PCM
//     (format tag 1, 16-byte fmt chunk);
//   - other integer data: WAVE_FORMAT_EXTENSIBLE (tag 0xFFFE, 40-byte fmt
//     chunk) with the PCM sub-format GUID;
//   - 32-bit float data, at most 2 channels: IEEE float (tag 3, 18-byte fmt
//     chunk); more channels: WAVE_FORMAT_EXTENSIBLE with the IEEE float
//     sub-format GUID.
// Every layout but plain PCM has a `fact` chunk holding the frame count.
// An odd-sized data chunk is followed by its pad byte. Samples are stored
// little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string_view>
#include <vector>

#include "core/error.h"

namespace sonorik {

// Integer PCM or IEEE float samples.
enum class WavEncoding : std::uint8_t { Int, Float };

struct WavFormat {
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;  // Hz
  std::uint16_t bits_per_sample = 0;
  WavEncoding kind = WavEncoding::Int;
};

// The codec's messages, shown to users unchanged.
inline constexpr std::string_view kWavUnsupportedFormatMessage =
    "The wave format of the file is not supported.";
inline constexpr std::string_view kWavSampleTooWideMessage =
    "The sample has more bits than the destination type.";
// Prefix of the error for audio a RIFF file cannot hold; the full message is
// "The audio is too large for a WAV file: {} bytes of samples exceed the
// 4 GiB limit of its header." with the size of the sample data.
inline constexpr std::string_view kWavTooLargePrefix = "The audio is too large for a WAV file: ";

// Behaves like ::write(2): returns the bytes written (possibly fewer than
// asked) or -1 with errno set. Tests inject one to simulate failing disks.
using WavWriteFunction = std::function<long(int fd, const void* data, std::size_t size)>;

class WavWriter {
 public:
  static constexpr std::size_t kBufferBytes = 64 * 1024;

  // Accepts integer data of 8, 16, 24 or 32 bits and float data of 32 bits,
  // with at least one channel and a byte rate that fits the header.
  // Error: kWavUnsupportedFormatMessage.
  static Status check_format(const WavFormat& format);

  // Whether `sample_count` samples (all channels counted) fit in one RIFF
  // file of this format. Error: the kWavTooLargePrefix message.
  static Status check_size(const WavFormat& format, std::uint64_t sample_count);

  // Size in bytes of the header written for `format` (everything before the
  // first sample).
  static std::size_t header_bytes(const WavFormat& format);

  // Checks the format and writes a header with zero sizes at the
  // descriptor's current offset, which must be seekable. The descriptor stays
  // owned by the caller and must outlive the writer. An empty `write` means
  // ::write. Errors: kWavUnsupportedFormatMessage, or the OS error of the
  // write ("... (os error N)").
  static Result<WavWriter> create(int fd, const WavFormat& format, WavWriteFunction write = {});

  // Converts and appends samples (interleaved, nominally -1.0 .. 1.0):
  //   8-bit:  unsigned byte round((x + 1) / 2 * 255), clamped to 0 .. 255;
  //   16-bit: round(x * 32767), clamped to -32768 .. 32767;
  //   24-bit: round(x * 8388607), clamped to -8388608 .. 8388607;
  //   32-bit: round(x * 2147483647), clamped to the int32 range;
  //   float:  x narrowed to the nearest 32-bit float.
  // "round" takes halves away from zero; a NaN is stored as integer 0.
  // Errors: the kWavTooLargePrefix message, the OS error of a write.
  Status write_samples(std::span<const double> samples);

  // Appends integer sample codes of the format's width: -128 .. 127
  // for 8 bits (stored as the code plus 128, an unsigned byte), -32768 ..
  // 32767 for 16 bits, and so on. Errors: kWavSampleTooWideMessage for a code
  // outside the width, kWavUnsupportedFormatMessage for a float writer, the
  // size and OS errors of write_samples.
  Status write_int_samples(std::span<const std::int32_t> samples);

  // Appends 32-bit float samples. Error: kWavUnsupportedFormatMessage for an
  // integer writer, else as write_samples.
  Status write_float_samples(std::span<const float> samples);

  // Flushes the buffer, appends the pad byte of an odd data chunk and
  // rewrites the header with the final sizes. Does not sync or close the
  // descriptor. Errors: the OS error of a write or seek.
  Status finalize();

  std::uint64_t samples_written() const noexcept { return samples_written_; }
  const WavFormat& format() const noexcept { return format_; }

 private:
  WavWriter(int fd, const WavFormat& format, WavWriteFunction write, std::int64_t start_offset);
  Status reserve(std::size_t sample_count);
  Status flush();
  Status write_all(const std::uint8_t* data, std::size_t size);
  std::size_t bytes_per_sample() const noexcept { return format_.bits_per_sample / 8u; }

  int fd_ = -1;
  WavFormat format_;
  WavWriteFunction write_;
  std::int64_t start_offset_ = 0;
  std::uint64_t samples_written_ = 0;
  std::vector<std::uint8_t> buffer_;
  bool finalized_ = false;
};

// The header bytes for `format` with `sample_count` samples of data (the
// writer's own header; exposed so tests can check it byte for byte).
std::vector<std::uint8_t> wav_header(const WavFormat& format, std::uint64_t sample_count);

}  // namespace sonorik
