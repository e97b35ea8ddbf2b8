// Locating the audio stream inside FLAC, MP3, WAV and AIFF files by their
// block and chunk headers, every length checked against the file's size;
// Ogg files by their pages (ogg_pages.h).
#include "tags/audio_bytes.h"

#include <cstdint>
#include <cstring>
#include <optional>
#include <vector>

#include "core/bytes.h"
#include "core/file.h"
#include "tags/ogg_pages.h"

namespace sonorik::tags {

namespace {

using Parts = std::vector<Bytes>;

bool starts_with(Bytes b, std::size_t at, const char* tag) {
  return b.size() >= at + 4 && std::memcmp(b.data() + at, tag, 4) == 0;
}

std::uint32_t load_be32(const std::uint8_t* p) {
  return (static_cast<std::uint32_t>(p[0]) << 24) | (static_cast<std::uint32_t>(p[1]) << 16) |
         (static_cast<std::uint32_t>(p[2]) << 8) | static_cast<std::uint32_t>(p[3]);
}

// STREAMINFO and the frames after the last metadata block.
std::optional<Parts> flac_parts(Bytes f) {
  if (!starts_with(f, 0, "fLaC")) return std::nullopt;
  Parts parts;
  std::size_t at = 4;
  for (bool last = false; !last;) {
    if (f.size() - at < 4) return std::nullopt;
    const std::uint8_t* h = f.data() + at;
    const std::size_t length = (std::size_t{h[1]} << 16) | (std::size_t{h[2]} << 8) | h[3];
    if (f.size() - at - 4 < length) return std::nullopt;
    if ((h[0] & 0x7f) == 0) parts.push_back(f.subspan(at + 4, length));
    last = (h[0] & 0x80) != 0;
    at += 4 + length;
  }
  if (parts.size() != 1) return std::nullopt;
  parts.push_back(f.subspan(at));
  return parts;
}

// Everything after the ID3v2 tags at the start.
std::optional<Parts> mp3_parts(Bytes f) {
  std::size_t at = 0;
  while (f.size() - at >= 10 && std::memcmp(f.data() + at, "ID3", 3) == 0) {
    const std::uint8_t* h = f.data() + at;
    if (((h[6] | h[7] | h[8] | h[9]) & 0x80) != 0) return std::nullopt;
    const std::size_t size =
        (std::size_t{h[6]} << 21) | (std::size_t{h[7]} << 14) | (std::size_t{h[8]} << 7) | h[9];
    const std::size_t whole = 10 + size + ((h[5] & 0x10) != 0 ? 10 : 0);
    if (f.size() - at < whole) return std::nullopt;
    at += whole;
  }
  return Parts{f.subspan(at)};
}

// The bodies of the chunks `first` and `second` of a RIFF WAVE (little
// endian) or FORM AIFF/AIFC (big endian) file, each found once.
std::optional<Parts> chunk_parts(Bytes f, bool big_endian, const char* first, const char* second) {
  if (f.size() < 12) return std::nullopt;
  std::optional<Bytes> a, b;
  for (std::size_t at = 12; f.size() - at >= 8;) {
    const std::uint8_t* h = f.data() + at;
    const std::size_t size = big_endian ? load_be32(h + 4) : load_le32(h + 4);
    if (f.size() - at - 8 < size) return std::nullopt;
    std::optional<Bytes>* slot = starts_with(f, at, first)    ? &a
                                 : starts_with(f, at, second) ? &b
                                                              : nullptr;
    if (slot != nullptr) {
      if (*slot) return std::nullopt;
      *slot = f.subspan(at + 8, size);
    }
    at += 8 + size + (size % 2);
    if (at > f.size()) break;
  }
  if (!a || !b) return std::nullopt;
  return Parts{*a, *b};
}

std::optional<Parts> audio_parts(Bytes f, Family family) {
  switch (family) {
    case Family::flac:
      return flac_parts(f);
    case Family::mp3:
      return mp3_parts(f);
    case Family::wav:
      if (!starts_with(f, 0, "RIFF") || !starts_with(f, 8, "WAVE")) return std::nullopt;
      return chunk_parts(f, false, "fmt ", "data");
    case Family::aiff:
      if (!starts_with(f, 0, "FORM")) return std::nullopt;
      return chunk_parts(f, true, "COMM", "SSND");
    default:
      return std::nullopt;
  }
}

bool same_parts(const Parts& a, const Parts& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].size() != b[i].size() || std::memcmp(a[i].data(), b[i].data(), a[i].size()) != 0)
      return false;
  }
  return true;
}

}  // namespace

bool same_audio_bytes(const std::string& a, const std::string& b, Family family) {
  Result<MappedFile> ma = MappedFile::open(a);
  Result<MappedFile> mb = MappedFile::open(b);
  if (!ma || !mb) return false;
  bool same = false;
  if (family == Family::vorbis || family == Family::opus) {
    same = same_ogg_audio(ma->bytes(), mb->bytes(), family == Family::opus);
  } else {
    const std::optional<Parts> pa = audio_parts(ma->bytes(), family);
    const std::optional<Parts> pb = audio_parts(mb->bytes(), family);
    same = pa && pb && same_parts(*pa, *pb);
  }
  // A file cut under the read shows zeros instead of failing: not a proof.
  return same && ma->check_unchanged() && mb->check_unchanged();
}

}  // namespace sonorik::tags
