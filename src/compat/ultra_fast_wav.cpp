#include "compat/ultra_fast_wav.h"

#include <algorithm>
#include <string>
#include <string_view>

#include "core/text.h"

namespace sonorik {

namespace {

constexpr std::size_t kMinimumFileBytes = 44;
constexpr std::size_t kChunkListStart = 12;
constexpr std::size_t kChunkHeaderBytes = 8;
constexpr std::uint32_t kMinimumFmtBytes = 16;
// An extensible fmt body carries its sub-format GUID at bytes 24..39; the GUID
// starts with the format code of the samples.
constexpr std::size_t kSubFormatOffset = 24;
constexpr std::size_t kExtensibleFmtBytes = 40;

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagExtensible = 0xFFFE;

constexpr double kScaleI16 = 1.0 / 32768.0;
constexpr double kScaleI24 = 1.0 / 8388608.0;

std::string unsupported_format(unsigned tag, unsigned bits) {
  return "Unsupported audio format: " + std::to_string(tag) + " " + std::to_string(bits) + "bit";
}

// The sample kind for a format tag and bit depth, or nullopt when the pair is
// not one the fast path reads.
std::optional<MappedSampleKind> classify(std::uint16_t tag, std::uint16_t bits, Bytes fmt_body) {
  if (tag == kTagPcm || tag == kTagExtensible) {
    if (bits == 16) return MappedSampleKind::i16;
    if (bits == 24) return MappedSampleKind::i24;
  }
  if (tag == kTagFloat && bits == 32) return MappedSampleKind::f32;
  if (tag == kTagExtensible && bits == 32) {
    // Integer samples under an extensible header must not be read as floats.
    if (fmt_body.size() < kExtensibleFmtBytes) return MappedSampleKind::f32;
    if (load_le16(fmt_body.data() + kSubFormatOffset) == kTagFloat) return MappedSampleKind::f32;
  }
  return std::nullopt;
}

// Converts `count` consecutive samples spaced `stride` samples apart.
template <MappedSampleKind K>
void convert_strided(const std::uint8_t* p, std::size_t stride_bytes, std::size_t count,
                     double* out) noexcept {
  for (std::size_t i = 0; i < count; ++i, p += stride_bytes) {
    if constexpr (K == MappedSampleKind::i16) {
      out[i] = static_cast<double>(load_le_i16(p)) * kScaleI16;
    } else if constexpr (K == MappedSampleKind::i24) {
      out[i] = static_cast<double>(load_le_i24(p)) * kScaleI24;
    } else {
      out[i] = static_cast<double>(load_le_f32(p));
    }
  }
}

void convert_any(MappedSampleKind kind, const std::uint8_t* p, std::size_t stride_bytes,
                 std::size_t count, double* out) noexcept {
  switch (kind) {
    case MappedSampleKind::i16:
      convert_strided<MappedSampleKind::i16>(p, stride_bytes, count, out);
      break;
    case MappedSampleKind::i24:
      convert_strided<MappedSampleKind::i24>(p, stride_bytes, count, out);
      break;
    case MappedSampleKind::f32:
      convert_strided<MappedSampleKind::f32>(p, stride_bytes, count, out);
      break;
  }
}

}  // namespace

Result<std::size_t> UltraFastWavReader::find_chunk(Bytes file, const char (&id)[5]) {
  const std::uint64_t size = file.size();
  if (size >= 20) {
    std::uint64_t offset = kChunkListStart;
    while (offset + kChunkHeaderBytes <= size) {
      const std::uint8_t* header = file.data() + offset;
      if (tag_is(header, id)) return static_cast<std::size_t>(offset);
      offset += kChunkHeaderBytes + load_le32(header + 4);
      offset += offset & 1u;  // pad byte after an odd-sized chunk
    }
  }
  const std::string_view name(id, 4);
  return Error("Chunk " + (is_valid_utf8(name) ? quoted_path(name) : std::string("???")) +
               " not found");
}

Result<WavLayout> UltraFastWavReader::parse(Bytes file) {
  if (file.size() < kMinimumFileBytes) return Error(kWavTooSmall);
  if (!tag_is(file.data(), "RIFF") || !tag_is(file.data() + 8, "WAVE")) {
    return Error(kWavNotRiffWave);
  }

  Result<std::size_t> fmt = find_chunk(file, "fmt ");
  if (!fmt) return std::move(fmt).error();
  const std::uint32_t fmt_size = load_le32(file.data() + *fmt + 4);
  if (fmt_size < kMinimumFmtBytes) return Error(kWavInvalidFmtSize);
  const std::size_t fmt_body_offset = *fmt + kChunkHeaderBytes;
  const std::size_t fmt_left = file.size() - fmt_body_offset;
  if (fmt_size > fmt_left) {
    return Error("Invalid fmt chunk: " + std::to_string(fmt_size) + " bytes declared but only " +
                 std::to_string(fmt_left) + " left in the file");
  }
  const Bytes body = file.subspan(fmt_body_offset, fmt_size);
  const std::uint16_t tag = load_le16(body.data());
  const std::uint16_t channels = load_le16(body.data() + 2);
  const std::uint32_t rate = load_le32(body.data() + 4);
  const std::uint16_t bits = load_le16(body.data() + 14);

  const std::optional<MappedSampleKind> kind = classify(tag, bits, body);
  if (!kind) return Error(unsupported_format(tag, bits));
  if (channels == 0) return Error("Invalid fmt chunk: 0 channels");

  Result<std::size_t> data = find_chunk(file, "data");
  if (!data) return std::move(data).error();
  const std::uint32_t declared = load_le32(file.data() + *data + 4);
  const std::size_t data_offset = *data + kChunkHeaderBytes;
  // A recording cut short is still read: only the bytes present count.
  const auto present =
      static_cast<std::uint32_t>(std::min<std::uint64_t>(declared, file.size() - data_offset));

  WavLayout layout;
  layout.kind = *kind;
  layout.data_offset = data_offset;
  layout.info.sample_rate = rate;
  layout.info.channels = channels;
  layout.info.bits_per_sample = bits;
  layout.info.frames = (present / (static_cast<std::uint32_t>(bits) / 8u)) / channels;
  layout.info.duration_seconds =
      static_cast<double>(layout.info.frames) / static_cast<double>(rate);
  return layout;
}

Result<UltraFastWavReader> UltraFastWavReader::open(const std::string& path) {
  Result<MappedFile> mapping = MappedFile::open(path);
  if (!mapping) return std::move(mapping).error();
  Result<WavLayout> layout = parse(mapping->bytes());
  if (!layout) return std::move(layout).error();
  return UltraFastWavReader(std::move(mapping).value(), *layout);
}

std::vector<double> UltraFastWavReader::convert_to_f64_minimal(
    std::optional<std::uint64_t> max_samples) const {
  std::uint64_t n = total_samples();
  if (max_samples) n = std::min(n, *max_samples);
  std::vector<double> out(static_cast<std::size_t>(n));
  convert_range(0, out.size(), out.data());
  return out;
}

void UltraFastWavReader::convert_range(std::uint64_t first_sample, std::size_t count,
                                       double* out) const noexcept {
  const std::size_t width = bytes_per_sample();
  convert_any(layout_.kind, data() + first_sample * width, width, count, out);
}

void UltraFastWavReader::convert_channels(std::uint64_t first_frame, std::size_t frames,
                                          unsigned first_channel, unsigned channel_count,
                                          double* out) const noexcept {
  const std::size_t width = bytes_per_sample();
  const std::size_t stride = width * layout_.info.channels;
  const std::uint8_t* base = data() + first_frame * stride + first_channel * width;
  if (channel_count == 1) {
    convert_any(layout_.kind, base, stride, frames, out);
    return;
  }
  for (std::size_t f = 0; f < frames; ++f) {
    convert_any(layout_.kind, base + f * stride, width, channel_count, out + f * channel_count);
  }
}

}  // namespace sonorik
