// Ogg pages walked from a byte span, each header and length checked against
// what is there before it is read.
#include "tags/ogg_pages.h"

#include <taglib/tbytevector.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace sonorik::tags {

namespace {

constexpr std::size_t kHeaderBytes = 27;    // up to the segment table
constexpr std::size_t kSequenceAt = 18;     // page sequence number, 4 bytes
constexpr std::size_t kChecksumAt = 22;     // CRC-32, 4 bytes
constexpr std::size_t kOpusGainAt = 16;     // in the OpusHead packet, 2 bytes
constexpr std::size_t kOpusHeadBytes = 19;  // the packet without a channel mapping table
constexpr std::uint8_t kFirstPage = 0x02;   // header type: beginning of stream
constexpr std::size_t kLargestPage = kHeaderBytes + 255 + 255 * 255;

struct Page {
  std::size_t at = 0;
  std::size_t header = 0;  // header and segment table
  std::size_t body = 0;
  std::size_t size() const { return header + body; }
};

// The page starting at `at` of `f`, or nothing when it is not a whole page.
std::optional<Page> page_at(Bytes f, std::size_t at) {
  if (at > f.size() || f.size() - at < kHeaderBytes) return std::nullopt;
  const std::uint8_t* h = f.data() + at;
  if (!tag_is(h, "OggS") || h[4] != 0) return std::nullopt;
  const std::size_t segments = h[26];
  if (f.size() - at - kHeaderBytes < segments) return std::nullopt;
  Page p{at, kHeaderBytes + segments, 0};
  for (std::size_t i = 0; i < segments; ++i) p.body += h[kHeaderBytes + i];
  if (f.size() - at - p.header < p.body) return std::nullopt;
  return p;
}

// Every page of `f`, all of one logical stream; nothing when a byte is left
// over or a page is cut or of another stream.
std::optional<std::vector<Page>> pages_of(Bytes f) {
  std::vector<Page> pages;
  for (std::size_t at = 0; at < f.size();) {
    const std::optional<Page> p = page_at(f, at);
    if (!p) return std::nullopt;
    if (!pages.empty() && std::memcmp(f.data() + at + 14, f.data() + 14, 4) != 0)
      return std::nullopt;
    pages.push_back(*p);
    at += p->size();
  }
  if (pages.empty()) return std::nullopt;
  return pages;
}

// The page's lacing values: a value below 255 ends a packet.
Bytes lacing(Bytes f, const Page& p) {
  return f.subspan(p.at + kHeaderBytes, p.header - kHeaderBytes);
}

// Whether the page is the first of its stream and holds one whole packet.
bool first_with_one_packet(Bytes f, const Page& p) {
  const Bytes l = lacing(f, p);
  if ((f[p.at + 5] & kFirstPage) == 0 || l.empty() || l.back() == 255) return false;
  for (std::size_t i = 0; i + 1 < l.size(); ++i) {
    if (l[i] != 255) return false;
  }
  return true;
}

// The index of the page after the one that ends the stream's `headers`
// header packets (which must end a page), or nothing.
std::optional<std::size_t> first_audio_page(Bytes f, const std::vector<Page>& pages, int headers) {
  int packets = 0;
  for (std::size_t i = 0; i < pages.size(); ++i) {
    const Bytes l = lacing(f, pages[i]);
    for (std::size_t j = 0; j < l.size(); ++j) {
      if (l[j] == 255 || ++packets < headers) continue;
      if (j + 1 != l.size()) return std::nullopt;
      return i + 1;
    }
  }
  return std::nullopt;
}

std::uint32_t checksum_of(Bytes page) {
  TagLib::ByteVector v(reinterpret_cast<const char*>(page.data()),
                       static_cast<unsigned>(page.size()));
  for (unsigned i = 0; i < 4; ++i) v[static_cast<int>(kChecksumAt + i)] = 0;
  return v.checksum();
}

bool same_bytes(Bytes a, Bytes b) {
  return a.size() == b.size() && std::memcmp(a.data(), b.data(), a.size()) == 0;
}

// The OpusHead packet of the first page of `f`, or nothing.
std::optional<Bytes> opus_head(Bytes f) {
  const std::optional<Page> p = page_at(f, 0);
  if (!p || !first_with_one_packet(f, *p) || p->body < kOpusHeadBytes) return std::nullopt;
  const Bytes body = f.subspan(p->header, p->body);
  if (std::memcmp(body.data(), "OpusHead", 8) != 0 || body[8] >= 16) return std::nullopt;
  return body;
}

}  // namespace

bool same_ogg_audio(Bytes a, Bytes b, bool opus) {
  const std::optional<std::vector<Page>> pa = pages_of(a);
  const std::optional<std::vector<Page>> pb = pages_of(b);
  if (!pa || !pb || !first_with_one_packet(a, pa->front()) ||
      !first_with_one_packet(b, pb->front()))
    return false;
  const int headers = opus ? 2 : 3;
  const std::optional<std::size_t> fa = first_audio_page(a, *pa, headers);
  const std::optional<std::size_t> fb = first_audio_page(b, *pb, headers);
  if (!fa || !fb || pa->size() - *fa != pb->size() - *fb) return false;
  // The ID header, its output gain aside for Opus.
  const Bytes ida = a.subspan(0, pa->front().size()), idb = b.subspan(0, pb->front().size());
  const std::size_t gain = opus ? pa->front().header + kOpusGainAt : ida.size();
  if (ida.size() != idb.size() || (opus && ida.size() < gain + 2) ||
      !same_bytes(ida.subspan(0, kChecksumAt), idb.subspan(0, kChecksumAt)) ||
      !same_bytes(ida.subspan(kChecksumAt + 4, gain - kChecksumAt - 4),
                  idb.subspan(kChecksumAt + 4, gain - kChecksumAt - 4)) ||
      (opus && !same_bytes(ida.subspan(gain + 2), idb.subspan(gain + 2))) ||
      checksum_of(idb) != load_le32(idb.data() + kChecksumAt))
    return false;
  const std::uint32_t first_sequence = load_le32(b.data() + kSequenceAt);
  for (std::size_t i = 1; i < pb->size(); ++i) {
    if (load_le32(b.data() + (*pb)[i].at + kSequenceAt) != first_sequence + i) return false;
  }
  for (std::size_t i = *fa, j = *fb; i < pa->size(); ++i, ++j) {
    const Bytes pga = a.subspan((*pa)[i].at, (*pa)[i].size());
    const Bytes pgb = b.subspan((*pb)[j].at, (*pb)[j].size());
    if (pga.size() != pgb.size()) return false;
    if (same_bytes(pga, pgb)) continue;
    if (!same_bytes(pga.subspan(0, kSequenceAt), pgb.subspan(0, kSequenceAt)) ||
        !same_bytes(pga.subspan(kChecksumAt + 4), pgb.subspan(kChecksumAt + 4)) ||
        checksum_of(pgb) != load_le32(pgb.data() + kChecksumAt))
      return false;
  }
  return true;
}

std::optional<std::int16_t> opus_header_gain(Bytes f) {
  const std::optional<Bytes> head = opus_head(f);
  if (!head) return std::nullopt;
  return load_le_i16(head->data() + kOpusGainAt);
}

Status set_opus_header_gain(int fd, std::int16_t gain) {
  std::vector<std::uint8_t> page(kLargestPage);
  std::size_t got = 0;
  while (got < page.size()) {
    const ssize_t n = ::pread(fd, page.data() + got, page.size() - got, static_cast<off_t>(got));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Error::with_os_errno("cannot read the Opus header", errno);
    if (n == 0) break;
    got += static_cast<std::size_t>(n);
  }
  const Bytes f(page.data(), got);
  const std::optional<Page> p = page_at(f, 0);
  if (!p || !opus_head(f)) return Error("the file's first Ogg page is not an Opus header");
  const Bytes whole = f.subspan(0, p->size());
  if (checksum_of(whole) != load_le32(whole.data() + kChecksumAt))
    return Error("the file's first Ogg page fails its checksum");
  const auto g = static_cast<std::uint16_t>(gain);
  page[p->header + kOpusGainAt] = static_cast<std::uint8_t>(g & 0xFF);
  page[p->header + kOpusGainAt + 1] = static_cast<std::uint8_t>(g >> 8);
  const std::uint32_t crc = checksum_of(whole);
  for (unsigned i = 0; i < 4; ++i)
    page[kChecksumAt + i] = static_cast<std::uint8_t>(crc >> (8 * i));
  for (std::size_t done = 0; done < p->size();) {
    const ssize_t n = ::pwrite(fd, page.data() + done, p->size() - done, static_cast<off_t>(done));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return Error::with_os_errno("cannot write the Opus header", n < 0 ? errno : EIO);
    done += static_cast<std::size_t>(n);
  }
  return ok_status();
}

}  // namespace sonorik::tags
