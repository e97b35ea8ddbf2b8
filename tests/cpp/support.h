// Test helpers: a WAV file built byte by byte and a private directory.
#pragma once

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <string>
#include <vector>

#include "compat/audio_data.h"

namespace sonorik::testing {

// Plain PCM: a fmt chunk, then a data chunk holding `data` (even in length).
inline std::string wav_file(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits,
                            const std::string& data) {
  auto le = [](std::uint64_t v, int bytes) {
    std::string out;
    for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
    return out;
  };
  const std::uint32_t align = channels * bits / 8u;
  const std::string fmt = le(1, 2) + le(channels, 2) + le(rate, 4) +
                          le(std::uint64_t{rate} * align, 4) + le(align, 2) + le(bits, 2);
  return "RIFF" + le(4 + 24 + 8 + data.size(), 4) + "WAVEfmt " + le(16, 4) + fmt + "data" +
         le(data.size(), 4) + data;
}

inline std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A private directory, removed with everything in it.
class TempDir {
 public:
  TempDir() : root_((std::filesystem::temp_directory_path() / "sonorik-test-XXXXXX").string()) {
    if (::mkdtemp(root_.data()) == nullptr) std::abort();
  }
  ~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(root_, ignored);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& root() const { return root_; }
  std::string path(const std::string& rel) const { return root_ + "/" + rel; }
  // Writes `bytes` to `rel` (creating its directories) and returns the path.
  std::string write(const std::string& rel, const std::string& bytes) const {
    const std::string p = path(rel);
    std::filesystem::create_directories(std::filesystem::path(p).parent_path());
    std::ofstream(p, std::ios::binary)
        .write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return p;
  }
  std::set<std::string> entries() const {
    std::set<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(root_))
      names.insert(e.path().filename());
    return names;
  }

 private:
  std::string root_;
};

}  // namespace sonorik::testing
