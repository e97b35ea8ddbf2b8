#include "tags/w64_chunks.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <vector>

namespace sonorik::tags {

namespace {

constexpr std::array<unsigned char, 16> kRiff = {0x72, 0x69, 0x66, 0x66, 0x2E, 0x91, 0xCF, 0x11,
                                                 0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00};
constexpr std::array<unsigned char, 12> kTail = {0xF3, 0xAC, 0xD3, 0x11, 0x8C, 0xD1,
                                                 0x00, 0xC0, 0x4F, 0x8E, 0xDB, 0x8A};
constexpr std::uint64_t kFileHeader = 40;   // riff GUID, size, wave GUID
constexpr std::uint64_t kChunkHeader = 24;  // GUID and size

void put64(unsigned char* out, std::uint64_t v) {
  for (int i = 0; i < 8; ++i) out[i] = static_cast<unsigned char>(v >> (8 * i));
}

std::uint64_t get64(const unsigned char* in) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | in[i];
  return v;
}

bool read_at(int fd, void* out, std::size_t size, std::uint64_t at) {
  auto* p = static_cast<unsigned char*>(out);
  while (size > 0) {
    const ssize_t n = ::pread(fd, p, size, static_cast<off_t>(at));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool write_at(int fd, const void* data, std::size_t size, std::uint64_t at) {
  const auto* p = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t n = ::pwrite(fd, p, size, static_cast<off_t>(at));
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
    at += static_cast<std::uint64_t>(n);
  }
  return true;
}

bool is_named(const unsigned char* guid, const char* name) {
  return std::memcmp(guid, name, 4) == 0 && std::memcmp(guid + 4, kTail.data(), kTail.size()) == 0;
}

// Where the audio chunk of a W64 file of `size` bytes starts, or 0.
std::uint64_t audio_chunk_at(int fd, std::uint64_t size) {
  std::uint64_t at = kFileHeader;
  unsigned char head[kChunkHeader];
  while (at + kChunkHeader <= size && read_at(fd, head, kChunkHeader, at)) {
    if (is_named(head, "data")) return at;
    const std::uint64_t length = get64(head + 16);
    if (length < kChunkHeader || length > size - at) return 0;
    at += length + (8 - length % 8) % 8;
  }
  return 0;
}

// Moves the bytes from `from` to the end of the file `by` bytes up.
bool move_up(int fd, std::uint64_t from, std::uint64_t end, std::uint64_t by) {
  std::vector<unsigned char> block(1u << 20);
  for (std::uint64_t stop = end; stop > from;) {
    const std::uint64_t start = stop - std::min<std::uint64_t>(block.size(), stop - from);
    const auto n = static_cast<std::size_t>(stop - start);
    if (!read_at(fd, block.data(), n, start) || !write_at(fd, block.data(), n, start + by))
      return false;
    stop = start;
  }
  return true;
}

struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

bool insert_w64_chunks(const std::string& path, const std::vector<W64Chunk>& chunks) {
  std::string inserted;
  for (const auto& [name, body] : chunks) {
    if (name.size() != 4) return false;
    unsigned char head[kChunkHeader];
    std::memcpy(head, name.data(), 4);
    std::memcpy(head + 4, kTail.data(), kTail.size());
    put64(head + 16, kChunkHeader + body.size());
    inserted.append(reinterpret_cast<const char*>(head), kChunkHeader);
    inserted += body;
    inserted.append((8 - body.size() % 8) % 8, '\0');
  }
  Fd f{::open(path.c_str(), O_RDWR | O_CLOEXEC)};
  struct stat st {};
  unsigned char header[kChunkHeader];
  if (f.fd < 0 || ::fstat(f.fd, &st) != 0 || !read_at(f.fd, header, kChunkHeader, 0)) return false;
  const auto size = static_cast<std::uint64_t>(st.st_size);
  if (std::memcmp(header, kRiff.data(), kRiff.size()) != 0 || get64(header + 16) != size)
    return false;
  const std::uint64_t audio = audio_chunk_at(f.fd, size);
  if (audio == 0) return false;
  if (inserted.empty()) return true;
  unsigned char new_size[8];
  put64(new_size, size + inserted.size());
  return move_up(f.fd, audio, size, inserted.size()) &&
         write_at(f.fd, inserted.data(), inserted.size(), audio) &&
         write_at(f.fd, new_size, sizeof new_size, 16) && ::fsync(f.fd) == 0;
}

}  // namespace sonorik::tags
