#include "audio/integrity.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "core/bytes.h"

namespace sonorik {

namespace {

using Kind = Damage::Kind;

// Every message a damaged input is reported with. {at} and {declared} are
// seconds with three decimals, {reason} the decoder's own words.
struct Message {
  Kind kind;
  std::string_view text;
};
constexpr Message kMessages[] = {
    {Kind::decoder, "damaged audio at {at} s: {reason}"},
    {Kind::bad_page, "damaged audio at {at} s: an Ogg page fails its checksum"},
    {Kind::lost_page,
     "damaged audio at {at} s: an Ogg page is missing where the previous one ends"},
    {Kind::cut_in_page, "the audio is cut off at {at} s: the file ends inside an Ogg page"},
    {Kind::no_end_page, "the audio is cut off at {at} s: the Ogg stream has no end-of-stream page"},
    {Kind::ends_early, "the audio ends at {at} s of the {declared} s it declares"},
    {Kind::cut_in_data, "the audio is cut off at {at} s: the file ends inside its audio data"},
};

std::string seconds_text(double s) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%.3f", s);
  return buf;
}

void replace_all(std::string& text, std::string_view name, const std::string& value) {
  for (std::size_t at = text.find(name); at != std::string::npos;
       at = text.find(name, at + value.size())) {
    text.replace(at, name.size(), value);
  }
}

std::uint64_t load_le64(const std::uint8_t* p) {
  return std::uint64_t{load_le32(p)} | (std::uint64_t{load_le32(p + 4)} << 32);
}
std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
std::uint16_t load_be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}

// Reads exactly `count` bytes at `offset` into `out`: false when the input
// ends first.
Result<bool> read_exact(ByteReader& bytes, std::uint64_t offset, std::uint8_t* out,
                        std::size_t count) {
  Result<std::size_t> got = bytes.read_at(offset, out, count);
  if (!got) return std::move(got).error();
  return *got == count;
}

double seconds_of(std::uint64_t frames, std::uint32_t rate_hz) {
  return rate_hz > 0 ? static_cast<double>(frames) / rate_hz : 0.0;
}

using Finding = std::optional<Damage>;

Finding found(Kind kind, double at_s, double declared_s = 0.0) {
  return Damage{kind, at_s, declared_s, {}};
}

// ---- Ogg ---------------------------------------------------------------------------

constexpr std::size_t kPageHeaderBytes = 27;
constexpr std::size_t kMaxPageBytes = kPageHeaderBytes + 255 + 255 * 255;
constexpr std::size_t kMaxOpenStreams = 256;  // more are not tracked
constexpr std::uint8_t kBeginsStream = 0x02, kEndsStream = 0x04;

// The Ogg checksum: CRC-32 with polynomial 0x04C11DB7, not reflected, from 0.
constexpr std::array<std::uint32_t, 256> ogg_crc_table() {
  std::array<std::uint32_t, 256> t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t r = i << 24;
    for (int b = 0; b < 8; ++b) r = (r & 0x80000000u) ? (r << 1) ^ 0x04C11DB7u : r << 1;
    t[i] = r;
  }
  return t;
}
constexpr std::array<std::uint32_t, 256> kOggCrc = ogg_crc_table();

std::uint32_t ogg_crc(const std::uint8_t* p, std::size_t n) {
  std::uint32_t crc = 0;
  for (std::size_t i = 0; i < n; ++i) crc = (crc << 8) ^ kOggCrc[((crc >> 24) ^ p[i]) & 0xFF];
  return crc;
}

// The audio stream's clock: its serial number, the rate of its granule
// positions and the samples its first granules count before the audio
// (Opus's pre-skip).
struct OggClock {
  bool known = false;
  std::uint32_t serial = 0;
  double rate_hz = 0.0;
  std::uint64_t preskip = 0;

  // Takes the stream that `packet` (the first of a stream) begins when it is
  // Vorbis or Opus audio.
  void take(std::uint32_t stream, const std::uint8_t* packet, std::size_t size) {
    if (known) return;
    if (size >= 16 && std::memcmp(packet, "\x01vorbis", 7) == 0 && load_le32(packet + 12) > 0) {
      *this = {true, stream, static_cast<double>(load_le32(packet + 12)), 0};
    } else if (size >= 12 && std::memcmp(packet, "OpusHead", 8) == 0) {
      *this = {true, stream, 48000.0, load_le16(packet + 10)};
    }
  }
  double seconds(std::uint64_t granule) const {
    return granule > preskip ? static_cast<double>(granule - preskip) / rate_hz : 0.0;
  }
};

// Every page from the first byte: its checksum, that the next page starts
// where it ends, and that every stream begun also ends. Bytes after the
// last stream has ended (a tag some programs append) are not audio and are
// left alone.
Result<Finding> check_ogg(ByteReader& bytes, const StreamEnd& end) {
  std::vector<std::uint8_t> page(kMaxPageBytes);
  std::vector<std::uint32_t> open_streams;
  bool any_page = false;
  OggClock clock;
  double good_s = 0.0;  // where the audio of the last good page ends
  const double ends_s = seconds_of(end.read_frames, end.rate_hz);
  std::uint64_t at = 0;
  for (;;) {
    const bool after_last_stream = any_page && open_streams.empty();
    Result<std::size_t> head = bytes.read_at(at, page.data(), kPageHeaderBytes);
    if (!head) return std::move(head).error();
    if (*head == 0) break;
    const bool is_page = *head == kPageHeaderBytes && tag_is(page.data(), "OggS") && page[4] == 0;
    if (!is_page && after_last_stream) break;
    if (*head < kPageHeaderBytes) return found(Kind::cut_in_page, ends_s);
    if (!is_page) return found(Kind::lost_page, good_s);
    const std::size_t segments = page[26];
    Result<bool> table =
        read_exact(bytes, at + kPageHeaderBytes, &page[kPageHeaderBytes], segments);
    if (!table) return std::move(table).error();
    if (!*table) return found(Kind::cut_in_page, ends_s);
    std::size_t body = 0;
    for (std::size_t i = 0; i < segments; ++i) body += page[kPageHeaderBytes + i];
    const std::size_t head_bytes = kPageHeaderBytes + segments;
    Result<bool> data = read_exact(bytes, at + head_bytes, &page[head_bytes], body);
    if (!data) return std::move(data).error();
    if (!*data) return found(Kind::cut_in_page, ends_s);
    const std::uint32_t stored = load_le32(&page[22]);
    std::fill(&page[22], &page[26], std::uint8_t{0});
    if (ogg_crc(page.data(), head_bytes + body) != stored) return found(Kind::bad_page, good_s);

    any_page = true;
    const std::uint8_t flags = page[5];
    const std::uint32_t serial = load_le32(&page[14]);
    const std::uint64_t granule = load_le64(&page[6]);
    if ((flags & kBeginsStream) != 0) {
      if (open_streams.size() < kMaxOpenStreams) open_streams.push_back(serial);
      clock.take(serial, &page[head_bytes], body);
    }
    if (clock.known && serial == clock.serial && granule != ~std::uint64_t{0})
      good_s = clock.seconds(granule);
    if ((flags & kEndsStream) != 0)
      open_streams.erase(std::remove(open_streams.begin(), open_streams.end(), serial),
                         open_streams.end());
    at += head_bytes + body;
  }
  if (!open_streams.empty()) return found(Kind::no_end_page, ends_s);
  return Finding{};
}

// ---- RIFF, RF64, W64 and AIFF ------------------------------------------------------

constexpr int kMaxChunks = 4096;

// How a container lays out its chunks.
struct ChunkForm {
  std::uint64_t first = 12;      // where the first chunk starts
  unsigned id_bytes = 4;         // 16 for W64's GUIDs
  unsigned size_bytes = 4;       // 8 for W64
  bool big_endian = false;       // RIFX, AIFF
  bool size_has_header = false;  // W64: a size counts its chunk's header
  std::uint64_t align = 2;       // chunks start at multiples of this
};

// The tail W64's chunk GUIDs share after their four letters.
constexpr std::uint8_t kW64Tail[12] = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1,
                                       0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};

// What the header says of its audio data.
struct DataChunk {
  bool found = false;
  std::uint64_t start = 0;            // its first byte
  std::optional<std::uint64_t> size;  // declared; nullopt when the writer left it open
  std::uint64_t frame_bytes = 0;      // one frame, or 0 when unknown
  double bytes_per_second = 0.0;      // 0 when unknown
  std::uint64_t declared_frames = 0;  // AIFF: from COMM
};

// A declared data size, or nullopt for the values a writer leaves when it
// cannot go back to fill the size in (0, 2^32 - 1, 2^63 - 1, ...).
std::optional<std::uint64_t> written_size(std::uint64_t size) {
  if (size == 0 || size == 0xFFFFFFFFu || size >= (std::uint64_t{1} << 62)) return std::nullopt;
  return size;
}

// Calls `visit(id, body_offset, body_size)` for each chunk from form.first
// (id: four letters; "????" for a W64 GUID of another family) until it
// returns false, a chunk reaches past the input or kMaxChunks were seen.
template <class Visit>
Status walk_chunks(ByteReader& bytes, const ChunkForm& form, std::uint64_t length, Visit visit) {
  const unsigned head = form.id_bytes + form.size_bytes;
  std::uint64_t at = form.first;
  for (int n = 0; n < kMaxChunks && length >= head && at <= length - head; ++n) {
    std::uint8_t h[24];
    Result<bool> got = read_exact(bytes, at, h, head);
    if (!got) return std::move(got).error();
    if (!*got) break;
    const std::uint8_t* s = h + form.id_bytes;
    std::uint64_t size = form.size_bytes == 8 ? load_le64(s)
                         : form.big_endian    ? load_be32(s)
                                              : load_le32(s);
    if (form.size_has_header) {
      if (size < head) break;
      size -= head;
    }
    char id[5] = "????";
    if (form.id_bytes == 4 || std::memcmp(h + 4, kW64Tail, sizeof kW64Tail) == 0)
      std::memcpy(id, h, 4);
    const std::uint64_t body = at + head;
    Result<bool> more = visit(std::string_view(id, 4), body, size);
    if (!more) return std::move(more).error();
    if (!*more || size > length - body) break;
    const std::uint64_t next = body + size;  // at most the length, itself below 2^63
    at = (next + form.align - 1) / form.align * form.align;
  }
  return ok_status();
}

// The data chunk of a WAV, RIFX, RF64 or W64 file (`form` says which) and
// what its format chunk says of a frame and a second.
Result<DataChunk> wave_data(ByteReader& bytes, const ChunkForm& form, bool rf64,
                            std::uint64_t length) {
  DataChunk data;
  std::uint64_t ds64_size = 0;
  const auto load32 = [&](const std::uint8_t* p) {
    return form.big_endian ? load_be32(p) : load_le32(p);
  };
  Status walked = walk_chunks(
      bytes, form, length,
      [&](std::string_view id, std::uint64_t body, std::uint64_t size) -> Result<bool> {
        std::uint8_t b[24] = {};
        if (id == "fmt " || id == "ds64") {
          Result<bool> got = read_exact(
              bytes, body, b, static_cast<std::size_t>(std::min<std::uint64_t>(size, 24)));
          if (!got) return std::move(got).error();
        }
        if (id == "fmt ") {
          data.bytes_per_second = load32(b + 8);
          data.frame_bytes = form.big_endian ? load_be16(b + 12) : load_le16(b + 12);
        } else if (id == "ds64" && size >= 16) {
          ds64_size = load_le64(b + 8);
        } else if (id == "data") {
          data.found = true;
          data.start = body;
          data.size = written_size(rf64 && size == 0xFFFFFFFFu ? ds64_size : size);
          return false;
        }
        return true;
      });
  if (!walked) return std::move(walked).error();
  return data;
}

// The sound data chunk of an AIFF or AIFC file and what its common chunk
// declares.
Result<DataChunk> aiff_data(ByteReader& bytes, std::uint64_t length, std::uint32_t rate_hz) {
  DataChunk data;
  bool common = false;
  const ChunkForm form{12, 4, 4, true, false, 2};
  Status walked =
      walk_chunks(bytes, form, length,
                  [&](std::string_view id, std::uint64_t body, std::uint64_t size) -> Result<bool> {
                    if (id == "COMM" && size >= 8) {
                      std::uint8_t b[8];
                      Result<bool> got = read_exact(bytes, body, b, sizeof b);
                      if (!got) return std::move(got).error();
                      common = *got;
                      const unsigned channels = load_be16(b);
                      data.declared_frames = load_be32(b + 2);
                      data.frame_bytes = std::uint64_t{channels} * ((load_be16(b + 6) + 7u) / 8u);
                      data.bytes_per_second = static_cast<double>(data.frame_bytes) * rate_hz;
                    } else if (id == "SSND") {
                      data.found = true;
                      data.start = body;
                      data.size = written_size(size);
                    }
                    return !(common && data.found);
                  });
  if (!walked) return std::move(walked).error();
  return data;
}

// A file that ends inside the data chunk its header declares (short by a
// whole frame or more; a partial frame holds no audio).
Result<Finding> check_chunks(ByteReader& bytes, const StreamEnd& end) {
  Result<std::optional<std::uint64_t>> known = bytes.length_bytes();
  if (!known) return std::move(known).error();
  if (!*known) return Finding{};
  const std::uint64_t length = **known;
  std::uint8_t h[16] = {};
  Result<bool> got = read_exact(bytes, 0, h, sizeof h);
  if (!got) return std::move(got).error();
  if (!*got) return Finding{};
  Result<DataChunk> data = DataChunk{};
  const bool wave = tag_is(h + 8, "WAVE");
  if (wave && (tag_is(h, "RIFF") || tag_is(h, "RF64"))) {
    data = wave_data(bytes, ChunkForm{}, tag_is(h, "RF64"), length);
  } else if (wave && tag_is(h, "RIFX")) {
    data = wave_data(bytes, ChunkForm{12, 4, 4, true, false, 2}, false, length);
  } else if (tag_is(h, "riff") && std::memcmp(h + 4, "\x2E\x91\xCF\x11", 4) == 0) {
    data = wave_data(bytes, ChunkForm{40, 16, 8, false, true, 8}, false, length);
  } else if (tag_is(h, "FORM") && (tag_is(h + 8, "AIFF") || tag_is(h + 8, "AIFC"))) {
    data = aiff_data(bytes, length, end.rate_hz);
  }
  if (!data) return std::move(data).error();
  const DataChunk& d = *data;
  if (!d.found || !d.size || d.start > length || *d.size <= length - d.start) return Finding{};
  const std::uint64_t missing = *d.size - (length - d.start);
  if (d.frame_bytes != 0 && missing < d.frame_bytes) return Finding{};
  const double at_s = seconds_of(end.read_frames, end.rate_hz);
  if (d.declared_frames != 0)
    return found(Kind::ends_early, at_s, seconds_of(d.declared_frames, end.rate_hz));
  if (d.bytes_per_second > 0.0)
    return found(Kind::ends_early, at_s, static_cast<double>(*d.size) / d.bytes_per_second);
  return found(Kind::cut_in_data, at_s);
}

// ---- MPEG --------------------------------------------------------------------------

// True when the first MPEG audio frame (after an ID3v2 tag) is a Xing, Info
// or VBRI header, which counts the frames of the stream.
Result<bool> mpeg_counts_frames(ByteReader& bytes) {
  std::uint8_t b[40] = {};
  Result<std::size_t> got = bytes.read_at(0, b, 10);
  if (!got) return std::move(got).error();
  std::uint64_t at = 0;
  if (*got == 10 && std::memcmp(b, "ID3", 3) == 0) {
    const std::uint64_t size = (std::uint64_t{b[6] & 0x7Fu} << 21) | ((b[7] & 0x7Fu) << 14) |
                               ((b[8] & 0x7Fu) << 7) | (b[9] & 0x7Fu);
    at = 10 + size + ((b[5] & 0x10) != 0 ? 10 : 0);
  }
  Result<bool> frame = read_exact(bytes, at, b, sizeof b);
  if (!frame) return std::move(frame).error();
  if (!*frame || b[0] != 0xFF || (b[1] & 0xE0) != 0xE0) return false;
  const bool mpeg1 = ((b[1] >> 3) & 3) == 3;
  const bool layer3 = ((b[1] >> 1) & 3) == 1;
  const bool mono = (b[3] >> 6) == 3;
  const std::size_t side = mpeg1 ? (mono ? 17 : 32) : (mono ? 9 : 17);
  const std::uint8_t* tag = b + 4 + side;
  return layer3 && (tag_is(tag, "Xing") || tag_is(tag, "Info") || tag_is(b + 36, "VBRI"));
}

}  // namespace

std::string open_failure_text(const std::string& sf_text) {
  if (sf_text.find("is not a regular file") != std::string::npos) {
    return "the file cannot be decoded: it is damaged, cut short, or not in the format it "
           "appears to be";
  }
  if (sf_text.find("SF_INFO struct incomplete") != std::string::npos) {
    return "the header declares no usable format: a sample rate or channel count of zero or "
           "out of range";
  }
  return sf_text;
}

std::string describe(const Damage& damage) {
  std::string text;
  for (const Message& m : kMessages) {
    if (m.kind == damage.kind) text = m.text;
  }
  replace_all(text, "{at}", seconds_text(damage.at_s));
  replace_all(text, "{declared}", seconds_text(damage.declared_s));
  replace_all(text, "{reason}", damage.reason);
  return text;
}

Damage decoder_damage(double at_s, const std::string& sf_text) {
  std::string_view reason = sf_text;
  constexpr std::string_view kPrefix = "Error : ";
  if (reason.substr(0, kPrefix.size()) == kPrefix) reason.remove_prefix(kPrefix.size());
  if (!reason.empty() && reason.back() == '.') reason.remove_suffix(1);
  return Damage{Kind::decoder, at_s, 0.0, std::string(reason)};
}

std::uint64_t declared_frames(std::int64_t sf_frames) {
  constexpr std::int64_t kMost = std::int64_t{1} << 62;  // beyond: SF_COUNT_MAX, "unknown"
  return sf_frames > 0 && sf_frames <= kMost ? static_cast<std::uint64_t>(sf_frames) : 0;
}

Result<std::optional<Damage>> check_container(ByteReader& bytes, const StreamEnd& end) {
  switch (end.sf_format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_OGG:
      return check_ogg(bytes, end);
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
    case SF_FORMAT_W64:
    case SF_FORMAT_AIFF:
      return check_chunks(bytes, end);
    default:
      return Finding{};
  }
}

Result<std::optional<Damage>> check_length(ByteReader& bytes, const StreamEnd& end) {
  constexpr std::uint64_t kMpegFrameSamples = 1152;
  if (end.declared_frames == 0) return Finding{};
  switch (end.sf_format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
    case SF_FORMAT_PCM_16:
    case SF_FORMAT_PCM_24:
    case SF_FORMAT_PCM_32:
    case SF_FORMAT_FLOAT:
    case SF_FORMAT_DOUBLE:
    case SF_FORMAT_ULAW:
    case SF_FORMAT_ALAW:
      return Finding{};  // counted from the bytes there, which check_container reads
    default:
      break;
  }
  std::uint64_t slack = 0;
  if ((end.sf_format & SF_FORMAT_TYPEMASK) == SF_FORMAT_MPEG) {
    Result<bool> counted = mpeg_counts_frames(bytes);
    if (!counted) return std::move(counted).error();
    if (!*counted) return Finding{};
    slack = kMpegFrameSamples;
  }
  if (end.read_frames + slack >= end.declared_frames) return Finding{};
  return found(Kind::ends_early, seconds_of(end.read_frames, end.rate_hz),
               seconds_of(end.declared_frames, end.rate_hz));
}

}  // namespace sonorik
