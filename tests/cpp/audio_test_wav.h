// Builds WAV files in memory and on disk for the audio tests.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace sonorik::testing {

using ByteVec = std::vector<std::uint8_t>;

inline void put16(ByteVec& b, std::uint16_t v) {
  b.push_back(static_cast<std::uint8_t>(v));
  b.push_back(static_cast<std::uint8_t>(v >> 8));
}
inline void put32(ByteVec& b, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
inline void put_tag(ByteVec& b, const char* tag) { b.insert(b.end(), tag, tag + 4); }

inline ByteVec pcm16(const std::vector<std::int16_t>& v) {
  ByteVec b;
  for (auto s : v) put16(b, static_cast<std::uint16_t>(s));
  return b;
}
inline ByteVec pcm24(const std::vector<std::int32_t>& v) {
  ByteVec b;
  for (auto s : v) {
    const auto u = static_cast<std::uint32_t>(s);
    for (int i = 0; i < 3; ++i) b.push_back(static_cast<std::uint8_t>(u >> (8 * i)));
  }
  return b;
}
inline ByteVec pcm32(const std::vector<std::int32_t>& v) {
  ByteVec b;
  for (auto s : v) put32(b, static_cast<std::uint32_t>(s));
  return b;
}
inline ByteVec f32(const std::vector<float>& v) {
  ByteVec b;
  for (float s : v) {
    std::uint32_t u;
    std::memcpy(&u, &s, 4);
    put32(b, u);
  }
  return b;
}

struct Chunk {
  std::string id;  // four characters
  ByteVec body;
};

struct WavSpec {
  std::uint16_t format_tag = 1;  // 1 PCM, 3 float, 0xFFFE extensible
  std::uint16_t channels = 1;
  std::uint32_t sample_rate = 44100;
  std::uint16_t bits = 16;  // container bits for extensible headers
  std::optional<std::uint16_t> block_align;  // default: channels x container bytes
  std::uint16_t valid_bits = 0;              // extensible only
  std::uint16_t sub_format = 1;              // extensible only
  bool data_first = false;
  std::vector<Chunk> chunks_before;  // written before fmt and data
  std::optional<std::uint32_t> declared_data_bytes;  // overrides the data size field
};

inline ByteVec fmt_body(const WavSpec& s) {
  ByteVec b;
  const std::uint16_t container = static_cast<std::uint16_t>((s.bits + 7) / 8);
  put16(b, s.format_tag);
  put16(b, s.channels);
  put32(b, s.sample_rate);
  const std::uint16_t align =
      s.block_align.value_or(static_cast<std::uint16_t>(s.channels * container));
  put32(b, s.sample_rate * align);
  put16(b, align);
  put16(b, s.bits);
  if (s.format_tag == 0xFFFE) {
    put16(b, 22);
    put16(b, s.valid_bits);
    put32(b, 0);  // channel mask
    put16(b, s.sub_format);
    const std::uint8_t tail[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                   0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
    b.insert(b.end(), tail, tail + 14);
  }
  return b;
}

inline void put_chunk(ByteVec& out, const std::string& id, const ByteVec& body,
                      std::optional<std::uint32_t> declared = std::nullopt) {
  put_tag(out, id.c_str());
  put32(out, declared.value_or(static_cast<std::uint32_t>(body.size())));
  out.insert(out.end(), body.begin(), body.end());
  if (body.size() % 2 == 1) out.push_back(0);  // pad byte
}

inline ByteVec make_wav(const WavSpec& s, const ByteVec& data) {
  ByteVec out;
  put_tag(out, "RIFF");
  put32(out, 0);  // patched below
  put_tag(out, "WAVE");
  for (const Chunk& c : s.chunks_before) put_chunk(out, c.id, c.body);
  if (s.data_first) put_chunk(out, "data", data, s.declared_data_bytes);
  put_chunk(out, "fmt ", fmt_body(s));
  if (!s.data_first) put_chunk(out, "data", data, s.declared_data_bytes);
  const auto riff = static_cast<std::uint32_t>(out.size() - 8);
  std::memcpy(out.data() + 4, &riff, 4);  // tests run on little-endian hosts
  return out;
}

// A directory removed with everything in it when the object goes away.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "sonorik-audio-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) != nullptr) path_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path(const std::string& name) const { return path_ + "/" + name; }
  std::string write(const std::string& name, const ByteVec& bytes) const {
    const std::string p = path(name);
    std::ofstream f(p, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return p;
  }

 private:
  std::string path_;
};

}  // namespace sonorik::testing
