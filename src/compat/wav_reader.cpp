#include "compat/wav_reader.h"

#include <cstdio>
#include <string>

#include "compat/riff_walker.h"

namespace sonorik {
namespace {

// The decoder's messages: the walker's checks, then its fmt rule's.
constexpr WaveMessages kMessages{
    .too_short = "File too short for a RIFF header ({} bytes)",
    .not_riff = "Not a RIFF file (no \"RIFF\" tag)",
    .not_wave = "Not a WAVE file (no \"WAVE\" tag)",
    .no_fmt = "Missing fmt chunk",
    .fmt_too_short = "fmt chunk too short ({} bytes, at least {} needed)",
    .fmt_past_end = "fmt chunk extends past the end of the file",
    .no_data = "Missing data chunk",
};
constexpr const char* kUnknownSubFormat = "Unknown extensible sub-format {}";
constexpr const char* kUnknownTag = "Unknown format tag {}";
constexpr const char* kNoChannels = "Channel count is zero";
constexpr const char* kNoRate = "Sample rate is zero";
constexpr const char* kNoBits = "Bits per sample is zero";
constexpr const char* kFloatNot32 = "Float data must be 32 bits per sample (got {})";
constexpr const char* kBadBlockAlign = "Block align {} does not match {} channels of {} bytes";

// The decoder reads any span that holds the 12-byte RIFF header.
constexpr std::size_t kMinimumFileBytes = 12;
constexpr std::uint32_t kExtensibleFmtBytes = 40;  // 16 + cbSize, valid bits, mask, GUID

constexpr std::uint16_t kTagPcm = 0x0001;
constexpr std::uint16_t kTagFloat = 0x0003;
constexpr std::uint16_t kTagExtensible = 0xFFFE;

std::string hex4(std::uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v));
  return buf;
}

struct DecodedFmt {
  WavSampleKind kind = WavSampleKind::Int;
  std::uint16_t channels = 0;
  std::uint32_t sample_rate_hz = 0;
  std::uint16_t bits_per_sample = 0;
  std::uint16_t container_bytes = 0;
};

// The decoder's fmt rule: format tags 1, 3 and 0xFFFE (sub-format PCM or
// float), every field non-zero, float data 32-bit, block align consistent.
// `body` holds the whole fmt chunk body (at least 16 bytes).
Result<DecodedFmt> parse_fmt(Bytes body) {
  const std::uint8_t* p = body.data();
  DecodedFmt f;
  const std::uint16_t tag = load_le16(p);
  f.channels = load_le16(p + 2);
  f.sample_rate_hz = load_le32(p + 4);
  const std::uint16_t block_align = load_le16(p + 12);
  const std::uint16_t container_bits = load_le16(p + 14);
  std::uint16_t bits = container_bits;

  std::uint16_t format = tag;
  if (tag == kTagExtensible) {
    if (body.size() < kExtensibleFmtBytes) {
      return Error(fill_message(kMessages.fmt_too_short, {std::to_string(body.size()),
                                                          std::to_string(kExtensibleFmtBytes)}));
    }
    const std::uint16_t valid_bits = load_le16(p + 18);
    if (valid_bits != 0 && valid_bits <= container_bits) bits = valid_bits;
    format = load_le16(p + 24);  // first two bytes of the sub-format GUID
    if (format != kTagPcm && format != kTagFloat) {
      return Error(fill_message(kUnknownSubFormat, {hex4(format)}));
    }
  }
  if (format == kTagPcm) {
    f.kind = WavSampleKind::Int;
  } else if (format == kTagFloat) {
    f.kind = WavSampleKind::Float;
  } else {
    return Error(fill_message(kUnknownTag, {hex4(tag)}));
  }

  if (f.channels == 0) return Error(kNoChannels);
  if (f.sample_rate_hz == 0) return Error(kNoRate);
  if (bits == 0) return Error(kNoBits);
  if (f.kind == WavSampleKind::Float && (bits != 32 || container_bits != 32)) {
    return Error(fill_message(kFloatNot32, {std::to_string(bits)}));
  }
  f.bits_per_sample = bits;
  f.container_bytes = static_cast<std::uint16_t>((container_bits + 7u) / 8u);
  const std::uint32_t frame_bytes = std::uint32_t{f.channels} * f.container_bytes;
  if (block_align != frame_bytes) {
    return Error(
        fill_message(kBadBlockAlign, {std::to_string(block_align), std::to_string(f.channels),
                                      std::to_string(f.container_bytes)}));
  }
  return f;
}

constexpr WavePolicy<DecodedFmt> kPolicy{kMinimumFileBytes, parse_fmt, &kMessages};

}  // namespace

std::string_view wav_sample_kind_name(WavSampleKind kind) {
  return kind == WavSampleKind::Float ? "Float" : "Int";
}

Result<WavReader> WavReader::create(Bytes file) {
  Result<WaveHeader<DecodedFmt>> header = read_wave_header(file, kPolicy);
  if (!header) return std::move(header).error();
  const DecodedFmt& fmt = header->format;
  WavReader r;
  r.sample_rate_hz = fmt.sample_rate_hz;
  r.channels = fmt.channels;
  r.bits_per_sample = fmt.bits_per_sample;
  r.container_bytes = fmt.container_bytes;
  r.kind = fmt.kind;
  r.declared_samples = header->data.declared_bytes / fmt.container_bytes;
  r.sample_bytes = header->data.body;
  return r;
}

}  // namespace sonorik
