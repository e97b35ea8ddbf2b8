#include "compat/wav_reader.h"

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>

namespace sonorik {
namespace {

constexpr std::size_t kRiffHeaderBytes = 12;
constexpr std::size_t kChunkHeaderBytes = 8;
constexpr std::uint32_t kFmtBytes = 16;
constexpr std::uint32_t kExtensibleFmtBytes = 40;  // 16 + cbSize, valid bits, mask, GUID

constexpr std::uint16_t kTagPcm = 0x0001;
constexpr std::uint16_t kTagFloat = 0x0003;
constexpr std::uint16_t kTagExtensible = 0xFFFE;

std::string hex4(std::uint16_t v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "0x%04X", static_cast<unsigned>(v));
  return buf;
}

struct Fmt {
  WavSampleKind kind = WavSampleKind::Int;
  std::uint16_t channels = 0;
  std::uint32_t sample_rate_hz = 0;
  std::uint16_t block_align = 0;
  std::uint16_t bits_per_sample = 0;
  std::uint16_t container_bytes = 0;
};

// `body` holds the whole fmt chunk body (at least 16 bytes).
Result<Fmt> parse_fmt(Bytes body) {
  const std::uint8_t* p = body.data();
  Fmt f;
  const std::uint16_t tag = load_le16(p);
  f.channels = load_le16(p + 2);
  f.sample_rate_hz = load_le32(p + 4);
  f.block_align = load_le16(p + 12);
  const std::uint16_t container_bits = load_le16(p + 14);
  std::uint16_t bits = container_bits;

  std::uint16_t format = tag;
  if (tag == kTagExtensible) {
    if (body.size() < kExtensibleFmtBytes) {
      return Error("fmt chunk too short (" + std::to_string(body.size()) + " bytes, at least " +
                   std::to_string(kExtensibleFmtBytes) + " needed)");
    }
    const std::uint16_t valid_bits = load_le16(p + 18);
    if (valid_bits != 0 && valid_bits <= container_bits) bits = valid_bits;
    format = load_le16(p + 24);  // first two bytes of the sub-format GUID
    if (format != kTagPcm && format != kTagFloat) {
      return Error("Unknown extensible sub-format " + hex4(format));
    }
  }
  if (format == kTagPcm) {
    f.kind = WavSampleKind::Int;
  } else if (format == kTagFloat) {
    f.kind = WavSampleKind::Float;
  } else {
    return Error("Unknown format tag " + hex4(tag));
  }

  if (f.channels == 0) return Error("Channel count is zero");
  if (f.sample_rate_hz == 0) return Error("Sample rate is zero");
  if (bits == 0) return Error("Bits per sample is zero");
  if (f.kind == WavSampleKind::Float && (bits != 32 || container_bits != 32)) {
    return Error("Float data must be 32 bits per sample (got " + std::to_string(bits) + ")");
  }
  f.bits_per_sample = bits;
  f.container_bytes = static_cast<std::uint16_t>((container_bits + 7u) / 8u);
  const std::uint32_t frame_bytes = std::uint32_t{f.channels} * f.container_bytes;
  if (f.block_align != frame_bytes) {
    return Error("Block align " + std::to_string(f.block_align) + " does not match " +
                 std::to_string(f.channels) + " channels of " + std::to_string(f.container_bytes) +
                 " bytes");
  }
  return f;
}

}  // namespace

std::string_view wav_sample_kind_name(WavSampleKind kind) {
  return kind == WavSampleKind::Float ? "Float" : "Int";
}

Result<WavReader> WavReader::create(Bytes file) {
  const std::size_t size = file.size();
  if (size < kRiffHeaderBytes) {
    return Error("File too short for a RIFF header (" + std::to_string(size) + " bytes)");
  }
  const std::uint8_t* base = file.data();
  if (!tag_is(base, "RIFF")) return Error("Not a RIFF file (no \"RIFF\" tag)");
  if (!tag_is(base + 8, "WAVE")) return Error("Not a WAVE file (no \"WAVE\" tag)");

  // The RIFF size field is ignored: the chunks are walked to the end of the
  // span, which many writers get wrong anyway.
  std::optional<Fmt> fmt;
  std::optional<Bytes> data;
  std::uint32_t data_declared_bytes = 0;
  std::size_t pos = kRiffHeaderBytes;
  while ((!fmt || !data) && size - pos >= kChunkHeaderBytes) {
    const std::uint8_t* header = base + pos;
    const std::uint32_t chunk_bytes = load_le32(header + 4);
    const std::size_t body_pos = pos + kChunkHeaderBytes;
    const std::size_t body_avail = std::min<std::size_t>(chunk_bytes, size - body_pos);
    if (tag_is(header, "fmt ") && !fmt) {
      if (chunk_bytes < kFmtBytes) {
        return Error("fmt chunk too short (" + std::to_string(chunk_bytes) + " bytes, at least " +
                     std::to_string(kFmtBytes) + " needed)");
      }
      if (body_avail < chunk_bytes) return Error("fmt chunk extends past the end of the file");
      Result<Fmt> parsed = parse_fmt(file.subspan(body_pos, chunk_bytes));
      if (!parsed) return std::move(parsed).error();
      fmt = parsed.value();
    } else if (tag_is(header, "data") && !data) {
      data = file.subspan(body_pos, body_avail);
      data_declared_bytes = chunk_bytes;
    }
    // Skip the body and its pad byte; past the end means the walk is over.
    const std::uint64_t next = std::uint64_t{body_pos} + chunk_bytes + (chunk_bytes & 1u);
    if (next >= size) break;
    pos = static_cast<std::size_t>(next);
  }
  if (!fmt) return Error("Missing fmt chunk");
  if (!data) return Error("Missing data chunk");

  WavReader r;
  r.sample_rate_hz = fmt->sample_rate_hz;
  r.channels = fmt->channels;
  r.bits_per_sample = fmt->bits_per_sample;
  r.container_bytes = fmt->container_bytes;
  r.kind = fmt->kind;
  r.declared_samples = data_declared_bytes / fmt->container_bytes;
  r.sample_bytes = *data;
  return r;
}

}  // namespace sonorik
