#include "compat/wav_writer.h"

#include <unistd.h>

#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "core/text.h"

namespace sonorik {
namespace {

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagExtensible = 0xFFFE;
constexpr std::uint64_t kMaxRiffSize = std::numeric_limits<std::uint32_t>::max();

// KSDATAFORMAT_SUBTYPE_PCM / _IEEE_FLOAT, as stored (little-endian fields).
// The two bytes of the format tag come first and are written separately.
constexpr std::array<std::uint8_t, 14> kGuidTail = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                    0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

enum class Layout { Pcm, Float, Extensible };

Layout layout_of(const WavFormat& format) {
  if (format.kind == WavEncoding::Float)
    return format.channels <= 2 ? Layout::Float : Layout::Extensible;
  return (format.bits_per_sample <= 16 && format.channels <= 2) ? Layout::Pcm : Layout::Extensible;
}

std::uint32_t fmt_body_bytes(Layout layout) {
  switch (layout) {
    case Layout::Pcm:
      return 16;
    case Layout::Float:
      return 18;
    case Layout::Extensible:
      return 40;
  }
  return 16;
}

// Every format but plain PCM carries a `fact` chunk with the frame count.
bool has_fact(const WavFormat& format) { return layout_of(format) != Layout::Pcm; }

// Speaker positions for the usual layouts (mono centre, stereo, 3.0, quad,
// 5.0, 5.1, 6.1, 7.1); other counts leave the positions unassigned.
std::uint32_t channel_mask(std::uint16_t channels) {
  switch (channels) {
    case 1:
      return 0x4;
    case 2:
      return 0x3;
    case 3:
      return 0x7;
    case 4:
      return 0x33;
    case 5:
      return 0x37;
    case 6:
      return 0x3F;
    case 7:
      return 0x70F;
    case 8:
      return 0x63F;
    default:
      return 0;
  }
}

void put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v & 0xFF));
  out.push_back(static_cast<std::uint8_t>((v >> 8) & 0xFF));
}
void put32(std::vector<std::uint8_t>& out, std::uint64_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<std::uint8_t>((v >> shift) & 0xFF));
}
void put_tag(std::vector<std::uint8_t>& out, const char (&tag)[5]) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(tag[i]));
}

// Saturates instead of wrapping for counts no memory could hold.
std::uint64_t data_bytes_of(const WavFormat& format, std::uint64_t sample_count) {
  if (sample_count > std::numeric_limits<std::uint64_t>::max() / 8)
    return std::numeric_limits<std::uint64_t>::max() / 2;
  return sample_count * (format.bits_per_sample / 8u);
}

// Everything the RIFF size field counts for this many data bytes.
std::uint64_t riff_size_of(const WavFormat& format, std::uint64_t data_bytes) {
  return WavWriter::header_bytes(format) - 8 + data_bytes + (data_bytes & 1u);
}

// round(x * scale) with halves away from zero, clamped to lo .. hi; NaN -> 0.
std::int64_t scaled_code(double x, double scale, double lo, double hi) {
  if (std::isnan(x)) return 0;
  double v = std::round(x * scale);
  if (v < lo) v = lo;
  if (v > hi) v = hi;
  return static_cast<std::int64_t>(v);
}

std::uint8_t unsigned_byte(double x) {
  if (std::isnan(x)) x = 0.0;
  double v = std::round((x + 1.0) / 2.0 * 255.0);
  if (v < 0.0) v = 0.0;
  if (v > 255.0) v = 255.0;
  return static_cast<std::uint8_t>(v);
}

// Stores the low `bytes` bytes of `code` little-endian at p.
void store_le(std::uint8_t* p, std::int64_t code, std::size_t bytes) {
  const auto u = static_cast<std::uint64_t>(code);
  for (std::size_t i = 0; i < bytes; ++i) p[i] = static_cast<std::uint8_t>((u >> (8 * i)) & 0xFF);
}

void store_f32(std::uint8_t* p, float f) {
  std::uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  store_le(p, bits, 4);
}

}  // namespace

Status WavWriter::check_format(const WavFormat& format) {
  const std::uint16_t bits = format.bits_per_sample;
  const bool bits_ok = format.kind == WavEncoding::Float
                           ? bits == 32
                           : (bits == 8 || bits == 16 || bits == 24 || bits == 32);
  const std::uint64_t byte_rate =
      static_cast<std::uint64_t>(format.sample_rate) * format.channels * (bits / 8u);
  if (!bits_ok || format.channels == 0 || byte_rate > std::numeric_limits<std::uint32_t>::max())
    return Error(std::string(kWavUnsupportedFormatMessage));
  return ok_status();
}

std::size_t WavWriter::header_bytes(const WavFormat& format) {
  return 12 + 8 + fmt_body_bytes(layout_of(format)) + (has_fact(format) ? 12 : 0) + 8;
}

Status WavWriter::check_size(const WavFormat& format, std::uint64_t sample_count) {
  const std::uint64_t data = data_bytes_of(format, sample_count);
  if (riff_size_of(format, data) > kMaxRiffSize)
    return Error(std::string(kWavTooLargePrefix) + std::to_string(data) +
                 " bytes of samples exceed the 4 GiB limit of its header.");
  return ok_status();
}

std::vector<std::uint8_t> wav_header(const WavFormat& format, std::uint64_t sample_count) {
  const Layout layout = layout_of(format);
  const std::uint32_t bytes_per = format.bits_per_sample / 8u;
  const std::uint32_t block_align = format.channels * bytes_per;
  const std::uint64_t data = data_bytes_of(format, sample_count);
  const std::uint32_t fmt_bytes = fmt_body_bytes(layout);

  std::vector<std::uint8_t> out;
  out.reserve(WavWriter::header_bytes(format));
  put_tag(out, "RIFF");
  put32(out, riff_size_of(format, data));
  put_tag(out, "WAVE");

  put_tag(out, "fmt ");
  put32(out, fmt_bytes);
  put16(out, layout == Layout::Pcm     ? kTagPcm
             : layout == Layout::Float ? kTagFloat
                                       : kTagExtensible);
  put16(out, format.channels);
  put32(out, format.sample_rate);
  put32(out, static_cast<std::uint64_t>(format.sample_rate) * block_align);
  put16(out, block_align);
  put16(out, format.bits_per_sample);
  if (layout == Layout::Float) put16(out, 0);
  if (layout == Layout::Extensible) {
    put16(out, 22);                      // extension size
    put16(out, format.bits_per_sample);  // valid bits
    put32(out, channel_mask(format.channels));
    put16(out, format.kind == WavEncoding::Float ? kTagFloat : kTagPcm);
    out.insert(out.end(), kGuidTail.begin(), kGuidTail.end());
  }

  if (has_fact(format)) {
    put_tag(out, "fact");
    put32(out, 4);
    put32(out, sample_count / format.channels);  // frames
  }

  put_tag(out, "data");
  put32(out, data);
  return out;
}

WavWriter::WavWriter(int fd, const WavFormat& format, WavWriteFunction write,
                     std::int64_t start_offset)
    : fd_(fd), format_(format), write_(std::move(write)), start_offset_(start_offset) {
  buffer_.reserve(kBufferBytes);
}

Result<WavWriter> WavWriter::create(int fd, const WavFormat& format, WavWriteFunction write) {
  if (Status s = check_format(format); !s) return std::move(s).error();
  if (!write)
    write = [](int f, const void* data, std::size_t size) -> long {
      return ::write(f, data, size);
    };
  const off_t start = ::lseek(fd, 0, SEEK_CUR);
  if (start < 0) return os_error(errno);
  WavWriter writer(fd, format, std::move(write), start);
  const std::vector<std::uint8_t> header = wav_header(format, 0);
  writer.buffer_.assign(header.begin(), header.end());
  return writer;
}

Status WavWriter::write_all(const std::uint8_t* data, std::size_t size) {
  while (size > 0) {
    const long n = write_(fd_, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    // A regular file that accepts nothing at all is out of space.
    if (n == 0) return os_error(ENOSPC);
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return ok_status();
}

Status WavWriter::flush() {
  Status s = write_all(buffer_.data(), buffer_.size());
  buffer_.clear();
  return s;
}

Status WavWriter::reserve(std::size_t sample_count) {
  if (finalized_) return Error("The WAV writer was already finalized.");
  return check_size(format_, samples_written_ + sample_count);
}

Status WavWriter::write_samples(std::span<const double> samples) {
  if (Status s = reserve(samples.size()); !s) return s;
  const std::size_t width = bytes_per_sample();
  const std::uint16_t bits = format_.bits_per_sample;
  const bool is_float = format_.kind == WavEncoding::Float;
  const double scale = std::ldexp(1.0, bits - 1) - 1.0;  // 2^(bits-1) - 1
  const double lo = -std::ldexp(1.0, bits - 1);
  std::size_t i = 0;
  while (i < samples.size()) {
    if (buffer_.size() + width > kBufferBytes) {
      if (Status s = flush(); !s) return s;
    }
    // Convert as many samples as fit in the rest of the buffer.
    const std::size_t room = (kBufferBytes - buffer_.size()) / width;
    const std::size_t n = std::min(room, samples.size() - i);
    const std::size_t at = buffer_.size();
    buffer_.resize(at + n * width);
    std::uint8_t* p = buffer_.data() + at;
    if (is_float) {
      for (std::size_t k = 0; k < n; ++k, p += 4) store_f32(p, static_cast<float>(samples[i + k]));
    } else if (bits == 8) {
      for (std::size_t k = 0; k < n; ++k) p[k] = unsigned_byte(samples[i + k]);
    } else {
      for (std::size_t k = 0; k < n; ++k, p += width)
        store_le(p, scaled_code(samples[i + k], scale, lo, scale), width);
    }
    i += n;
    samples_written_ += n;
  }
  return ok_status();
}

Status WavWriter::write_int_samples(std::span<const std::int32_t> samples) {
  if (format_.kind != WavEncoding::Int) return Error(std::string(kWavUnsupportedFormatMessage));
  if (Status s = reserve(samples.size()); !s) return s;
  const std::size_t width = bytes_per_sample();
  const std::int64_t hi = (std::int64_t{1} << (format_.bits_per_sample - 1)) - 1;
  const std::int64_t lo = -hi - 1;
  std::uint8_t bytes[4];
  for (const std::int32_t code : samples) {
    if (code < lo || code > hi) return Error(std::string(kWavSampleTooWideMessage));
    if (buffer_.size() + width > kBufferBytes) {
      if (Status s = flush(); !s) return s;
    }
    store_le(bytes, format_.bits_per_sample == 8 ? code + 128 : code, width);
    buffer_.insert(buffer_.end(), bytes, bytes + width);
    ++samples_written_;
  }
  return ok_status();
}

Status WavWriter::write_float_samples(std::span<const float> samples) {
  if (format_.kind != WavEncoding::Float) return Error(std::string(kWavUnsupportedFormatMessage));
  if (Status s = reserve(samples.size()); !s) return s;
  std::uint8_t bytes[4];
  for (const float f : samples) {
    if (buffer_.size() + 4 > kBufferBytes) {
      if (Status s = flush(); !s) return s;
    }
    store_f32(bytes, f);
    buffer_.insert(buffer_.end(), bytes, bytes + 4);
    ++samples_written_;
  }
  return ok_status();
}

Status WavWriter::finalize() {
  if (finalized_) return Error("The WAV writer was already finalized.");
  finalized_ = true;
  if (data_bytes_of(format_, samples_written_) & 1u) buffer_.push_back(0);  // pad byte
  if (Status s = flush(); !s) return s;
  if (::lseek(fd_, start_offset_, SEEK_SET) < 0) return os_error(errno);
  const std::vector<std::uint8_t> header = wav_header(format_, samples_written_);
  if (Status s = write_all(header.data(), header.size()); !s) return s;
  if (::lseek(fd_, 0, SEEK_END) < 0) return os_error(errno);
  return ok_status();
}

}  // namespace sonorik
