// Shared test helpers: WAV files built byte by byte, generated signals, a
// private temporary directory and a capture of standard output (fd 1).
#pragma once

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <numbers>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "audio/audio_data.h"

namespace sonorik::testing {

// ---- WAV bytes (a std::string holds any bytes) -------------------------------

inline void put_le(std::string& out, std::uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
}

// A chunk with its pad byte; `declared` overrides the size field.
inline std::string chunk(const char (&id)[5], const std::string& body,
                   std::optional<std::uint32_t> declared = std::nullopt) {
  std::string out(id, 4);
  put_le(out, declared.value_or(static_cast<std::uint32_t>(body.size())), 4);
  out += body;
  if (!declared && body.size() % 2 == 1) out.push_back('\0');
  return out;
}

// A fmt body; block align is channels x whole bytes per sample.
inline std::string fmt(std::uint16_t tag, std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                 const std::string& extension = {}) {
  std::string b;
  const std::uint32_t align = channels * ((bits + 7u) / 8u);
  put_le(b, tag, 2);
  put_le(b, channels, 2);
  put_le(b, rate, 4);
  put_le(b, static_cast<std::uint64_t>(rate) * align, 4);
  put_le(b, align, 2);
  put_le(b, bits, 2);
  return b + extension;
}

// The 24 extension bytes of an extensible header (tag 0xFFFE) whose
// sub-format starts with `sub_format` (1 integer PCM, 3 float).
inline std::string extensible(std::uint16_t valid_bits, std::uint16_t sub_format = 1, std::uint32_t mask = 0) {
  std::string e;
  put_le(e, 22, 2);
  put_le(e, valid_bits, 2);
  put_le(e, mask, 4);
  put_le(e, sub_format, 2);
  return e + std::string("\x00\x00\x00\x00\x10\x00\x80\x00\x00\xAA\x00\x38\x9B\x71", 14);
}

inline std::string riff(const std::string& chunks) {
  std::string out("RIFF");
  put_le(out, chunks.size() + 4, 4);
  return out + "WAVE" + chunks;
}

// Integer codes of `bytes` bytes each, little-endian.
inline std::string ints(const std::vector<std::int64_t>& codes, int bytes) {
  std::string out;
  for (std::int64_t c : codes) put_le(out, static_cast<std::uint64_t>(c), bytes);
  return out;
}

// Samples in [-1, 1] as PCM codes (x * 2^(bits-1), rounded and clamped) or
// as 32-bit floats.
inline std::string encode(const std::vector<double>& samples, int bits, bool is_float = false) {
  std::string out;
  const double full = std::ldexp(1.0, bits - 1);
  for (double x : samples) {
    if (is_float) {
      const auto f = static_cast<float>(x);
      std::uint32_t u;
      std::memcpy(&u, &f, 4);
      put_le(out, u, 4);
    } else {
      const double code = std::clamp(std::round(x * full), -full, full - 1.0);
      put_le(out, static_cast<std::uint64_t>(static_cast<std::int64_t>(code)), bits / 8);
    }
  }
  return out;
}

// A plain file: fmt then data.
inline std::string wav_file(const std::vector<double>& samples, std::uint16_t channels, std::uint32_t rate,
                      int bits, bool is_float = false) {
  const auto b = static_cast<std::uint16_t>(bits);
  return riff(chunk("fmt ", fmt(is_float ? 3 : 1, channels, rate, b)) +
              chunk("data", encode(samples, bits, is_float)));
}

// ---- signals -----------------------------------------------------------------

// A sine of `amplitude` in every channel (same phase), interleaved.
inline std::vector<double> sine(double seconds, std::uint32_t rate_hz, unsigned channels,
                                double amplitude, double freq_hz = 1000.0) {
  const auto frames = static_cast<std::size_t>(std::llround(seconds * rate_hz));
  std::vector<double> s(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const double v = amplitude * std::sin(2.0 * std::numbers::pi * freq_hz * static_cast<double>(i) /
                                          static_cast<double>(rate_hz));
    for (unsigned c = 0; c < channels; ++c) s[i * channels + c] = v;
  }
  return s;
}

inline double from_db(double db) { return std::pow(10.0, db / 20.0); }

// An AudioData as the decoder would produce it.
inline AudioData make_audio(std::uint32_t rate_hz, std::uint16_t channels, std::vector<double> samples) {
  AudioData a;
  a.samples = std::move(samples);
  a.info.sample_rate = rate_hz;
  a.info.channels = channels;
  a.info.bit_depth = 64;
  a.info.sample_format = SampleFormat::F64;
  a.info.total_samples = a.samples.size();
  a.info.duration_seconds = channels == 0 || rate_hz == 0
                                ? 0.0
                                : static_cast<double>(a.samples.size() / channels) / rate_hz;
  return a;
}

// Channel c carries a sine of its own frequency and level under a slow
// envelope, so a dropped or mixed-up channel changes every loudness value.
inline AudioData distinct_channels(std::uint32_t rate_hz, std::uint16_t channels, double seconds) {
  const auto frames = static_cast<std::size_t>(seconds * rate_hz);
  std::vector<double> s(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(rate_hz);
    const double envelope = 0.05 + 0.95 * std::fabs(std::sin(2.0 * std::numbers::pi * 0.07 * t));
    for (std::uint16_t c = 0; c < channels; ++c) {
      s[i * channels + c] = (0.05 + 0.1 * c) * envelope * std::sin(2.0 * std::numbers::pi * 220.0 * (c + 1) * t);
    }
  }
  return make_audio(rate_hz, channels, std::move(s));
}

// ---- files -------------------------------------------------------------------

inline std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A private directory, removed with everything in it (permissions restored
// first) when the object goes away.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "sonorik-test-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr) std::abort();
    root_ = tmpl;
  }
  ~TempDir() {
    std::error_code ec;
    ::chmod(root_.c_str(), 0755);
    for (auto it = std::filesystem::recursive_directory_iterator(root_, ec);
         it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (!it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
    }
    std::filesystem::remove_all(root_, ec);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& rel) const { return root_ + "/" + rel; }
  // Writes `bytes` to `rel` (creating its directories) and returns the path.
  std::string write(const std::string& rel, const std::string& bytes) const {
    const std::string p = path(rel);
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::ofstream(p, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(root_)) names.insert(e.path().filename());
    return names;
  }

 private:
  std::string root_;
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
    std::fclose(file_);
  }
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;

  std::string text() {
    restore();
    std::string out;
    std::rewind(file_);
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) out.append(buf, n);
    return out;
  }

 private:
  void restore() {
    if (saved_ < 0) return;
    std::fflush(stdout);
    ::dup2(saved_, 1);
    ::close(saved_);
    saved_ = -1;
  }
  std::FILE* file_ = nullptr;
  int saved_ = -1;
};

}  // namespace sonorik::testing
