#include "compat/riff_walker.h"

#include <algorithm>

namespace sonorik {

std::optional<RiffChunk> find_riff_chunk(Bytes file, const char (&id)[5]) noexcept {
  const std::uint64_t size = file.size();
  std::uint64_t offset = kRiffChunkListOffset;
  while (offset + kRiffChunkHeaderBytes <= size) {
    const std::uint8_t* header = file.data() + offset;
    const std::uint32_t declared = load_le32(header + 4);
    const std::uint64_t body_offset = offset + kRiffChunkHeaderBytes;
    if (tag_is(header, id)) {
      const std::uint64_t present = std::min<std::uint64_t>(declared, size - body_offset);
      return RiffChunk{
          static_cast<std::size_t>(offset), declared,
          file.subspan(static_cast<std::size_t>(body_offset), static_cast<std::size_t>(present))};
    }
    offset = body_offset + declared + (declared & 1u);  // skip the body and its pad byte
  }
  return std::nullopt;
}

std::string fill_message(std::string_view message, std::initializer_list<std::string_view> args) {
  std::string out;
  const std::string_view* next = args.begin();
  for (std::size_t pos = 0;;) {
    const std::size_t slot = message.find("{}", pos);
    if (slot == std::string_view::npos || next == args.end()) {
      out += message.substr(pos);
      return out;
    }
    out += message.substr(pos, slot - pos);
    out += *next++;
    pos = slot + 2;
  }
}

namespace detail {

Result<Bytes> wave_fmt_body(Bytes file, std::size_t minimum_file_bytes, const WaveMessages& m) {
  const std::size_t size = file.size();
  if (size < minimum_file_bytes || size < kRiffChunkListOffset) {
    return Error(fill_message(m.too_short, {std::to_string(size)}));
  }
  if (!tag_is(file.data(), "RIFF")) return Error(m.not_riff);
  if (!tag_is(file.data() + 8, "WAVE")) return Error(m.not_wave);

  const std::optional<RiffChunk> fmt = find_riff_chunk(file, "fmt ");
  if (!fmt) return Error(m.no_fmt);
  if (fmt->declared_bytes < kWaveFmtMinimumBytes) {
    return Error(fill_message(m.fmt_too_short, {std::to_string(fmt->declared_bytes),
                                                std::to_string(kWaveFmtMinimumBytes)}));
  }
  if (fmt->body.size() < fmt->declared_bytes) {
    // The body was clamped to the span: its size is what is left after the header.
    return Error(fill_message(
        m.fmt_past_end, {std::to_string(fmt->declared_bytes), std::to_string(fmt->body.size())}));
  }
  return fmt->body;
}

}  // namespace detail
}  // namespace sonorik
