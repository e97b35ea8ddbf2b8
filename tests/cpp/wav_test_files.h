// Test helpers: WAV files built byte by byte, a private temporary directory,
// and a capture of the process's standard output (fd 1).
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace sonorik::testing {

using ByteString = std::string;

inline void put_le(ByteString& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

inline ByteString chunk(const char (&id)[5], const ByteString& body, bool pad = true) {
  ByteString out(id, 4);
  put_le(out, body.size(), 4);
  out += body;
  if (pad && body.size() % 2 == 1) out.push_back('\0');
  return out;
}

// A chunk whose size field says `declared_size` whatever the body holds.
inline ByteString chunk_declaring(const char (&id)[5], std::uint32_t declared_size,
                                  const ByteString& body) {
  ByteString out(id, 4);
  put_le(out, declared_size, 4);
  return out + body;
}

inline ByteString fmt_body(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate,
                           std::uint16_t bits, const ByteString& extension = {}) {
  ByteString b;
  put_le(b, tag, 2);
  put_le(b, channels, 2);
  put_le(b, rate, 4);
  const std::uint32_t align = channels * (bits / 8u);
  put_le(b, static_cast<std::uint64_t>(rate) * align, 4);
  put_le(b, align, 2);
  put_le(b, bits, 2);
  return b + extension;
}

// The 24 extension bytes of an extensible header whose sub-format starts
// with `sub_format_code` (1 integer PCM, 3 float).
inline ByteString extensible_extension(std::uint16_t bits, std::uint16_t sub_format_code) {
  ByteString e;
  put_le(e, 22, 2);       // extension size
  put_le(e, bits, 2);     // valid bits
  put_le(e, 0, 4);        // channel mask
  put_le(e, sub_format_code, 2);
  const unsigned char rest[14] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                  0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};
  e.append(reinterpret_cast<const char*>(rest), sizeof rest);
  return e;
}

inline ByteString riff(const ByteString& chunks) {
  ByteString out("RIFF");
  put_le(out, chunks.size() + 4, 4);
  return out + "WAVE" + chunks;
}

// Interleaved samples in [-1, 1] as little-endian PCM of 16 or 24 bits, or
// 32-bit float.
inline ByteString encode(const std::vector<double>& samples, int bits, bool is_float = false) {
  ByteString out;
  out.reserve(samples.size() * static_cast<std::size_t>(bits / 8));
  for (double x : samples) {
    if (is_float) {
      const float f = static_cast<float>(x);
      std::uint32_t u;
      std::memcpy(&u, &f, 4);
      put_le(out, u, 4);
    } else {
      const double full = bits == 16 ? 32768.0 : 8388608.0;
      const double v = std::clamp(std::round(x * full), -full, full - 1.0);
      put_le(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(v)), bits / 8);
    }
  }
  return out;
}

// A plain WAV file: fmt then data.
inline ByteString wav_file(const std::vector<double>& samples, std::uint16_t channels,
                           std::uint32_t rate, int bits, bool is_float = false) {
  const std::uint16_t tag = is_float ? 3 : 1;
  return riff(chunk("fmt ", fmt_body(tag, channels, rate, static_cast<std::uint16_t>(bits))) +
              chunk("data", encode(samples, bits, is_float)));
}

// A sine of `amplitude` on every channel (same phase), interleaved.
inline std::vector<double> sine(double seconds, std::uint32_t rate, unsigned channels,
                                double amplitude, double hz = 1000.0) {
  const auto frames = static_cast<std::size_t>(std::llround(seconds * rate));
  std::vector<double> s(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const double v = amplitude * std::sin(2.0 * M_PI * hz * static_cast<double>(i) / rate);
    for (unsigned c = 0; c < channels; ++c) s[i * channels + c] = v;
  }
  return s;
}

class TempDir {
 public:
  TempDir() {
    std::string templ = (std::filesystem::temp_directory_path() / "sonorik_test_XXXXXX").string();
    path_ = ::mkdtemp(templ.data());
  }
  ~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string write(const std::string& name, const ByteString& bytes) const {
    const std::string p = (path_ / name).string();
    std::ofstream(p, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  std::string path(const std::string& name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// Redirects fd 1 into a temporary file until text() is called.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    file_ = std::tmpfile();
    saved_ = ::dup(1);
    ::dup2(::fileno(file_), 1);
  }
  ~StdoutCapture() {
    restore();
    if (file_ != nullptr) std::fclose(file_);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, file_)) > 0) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ >= 0) {
      std::fflush(stdout);
      ::dup2(saved_, 1);
      ::close(saved_);
      saved_ = -1;
    }
  }
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

}  // namespace sonorik::testing
