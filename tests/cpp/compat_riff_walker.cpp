// The shared chunk walker under its two policies: each caller's exact message
// for every check, and the rules in which the decoder's header parser and the
// mapped fast path differ. (Python sees only the decoder's outermost message.)
#include "compat/riff_walker.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "compat/ultra_fast_wav.h"
#include "compat/wav_reader.h"

namespace sonorik {
namespace {

std::string le(std::uint64_t v, int bytes) {
  std::string out;
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<char>((v >> (8 * i)) & 0xFF));
  return out;
}
std::string chunk(const std::string& id, const std::string& body, std::uint32_t declared) {
  return id + le(declared, 4) + body + (declared % 2 ? std::string(1, '\0') : "");
}
std::string chunk(const std::string& id, const std::string& body) {
  return chunk(id, body, static_cast<std::uint32_t>(body.size()));
}
std::string fmt(std::uint16_t tag, std::uint16_t channels, std::uint16_t bits, std::uint16_t align,
                const std::string& extra = "") {
  return le(tag, 2) + le(channels, 2) + le(8000, 4) + le(8000u * align, 4) + le(align, 2) +
         le(bits, 2) + extra;
}
std::string riff(const std::string& chunks, const char* wave = "WAVE") {
  return "RIFF" + le(4 + chunks.size(), 4) + wave + chunks;
}
const std::string kData = chunk("data", std::string(24, '\x10'));
const std::string kFmt16 = chunk("fmt ", fmt(1, 1, 16, 2));

struct Case {
  std::string bytes;
  std::string decoder;    // WavReader::create's message, "" when it reads the header
  std::string fast_path;  // UltraFastWavReader::parse's message, "" when it reads the header
};

TEST(RiffWalker, EachCallerKeepsItsMessagesAndRules) {
  const std::vector<Case> cases = {
      {std::string("RIFF\4\0\0\0WAV", 11), "File too short for a RIFF header (11 bytes)",
       "File too small to be a valid WAV"},
      {riff(kFmt16), "Missing data chunk", "File too small to be a valid WAV"},  // 36 bytes
      {"RIFX" + riff(kFmt16 + kData).substr(4), "Not a RIFF file (no \"RIFF\" tag)",
       "Not a valid WAV file"},
      {riff(kFmt16 + kData, "WAVX"), "Not a WAVE file (no \"WAVE\" tag)", "Not a valid WAV file"},
      {riff(chunk("LIST", "odd") + kData), "Missing fmt chunk", "Chunk \"fmt \" not found"},
      {riff(chunk("fmt ", fmt(1, 1, 16, 2).substr(0, 14)) + kData),
       "fmt chunk too short (14 bytes, at least 16 needed)", "Invalid fmt chunk size"},
      {riff(kData + chunk("fmt ", fmt(1, 1, 16, 2), 100).substr(0, 24)),
       "fmt chunk extends past the end of the file",
       "Invalid fmt chunk: 100 bytes declared but only 16 left in the file"},
      {riff(chunk("fmt ", fmt(2, 1, 16, 2)) + kData), "Unknown format tag 0x0002",
       "Unsupported audio format: 2 16bit"},
      {riff(chunk("fmt ", fmt(1, 0, 16, 2)) + kData), "Channel count is zero",
       "Invalid fmt chunk: 0 channels"},
      {riff(kFmt16 + chunk("LIST", std::string(40, 'x'))), "Missing data chunk",
       "Chunk \"data\" not found"},
      // Extensible without room for a sub-format: only the fast path reads it.
      {riff(chunk("fmt ", fmt(0xFFFE, 1, 16, 2, le(0, 2))) + kData),
       "fmt chunk too short (18 bytes, at least 40 needed)", ""},
      // Only the decoder checks the block align, the rate and 8-bit data.
      {riff(chunk("fmt ", fmt(1, 1, 16, 3)) + kData),
       "Block align 3 does not match 1 channels of 2 bytes", ""},
      {riff(chunk("fmt ", fmt(1, 1, 8, 1)) + kData), "", "Unsupported audio format: 1 8bit"},
      // Odd chunks are skipped with their pad byte; a cut data chunk is kept as far as it goes.
      {riff(chunk("LIST", "odd") + kFmt16 + kData), "", ""},
      {riff(kFmt16 + chunk("data", std::string(24, '\x10'), 1000).substr(0, 32)), "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.decoder + " / " + c.fast_path);
    const Bytes bytes(reinterpret_cast<const std::uint8_t*>(c.bytes.data()), c.bytes.size());
    const Result<WavReader> decoder = WavReader::create(bytes);
    const Result<WavLayout> fast = UltraFastWavReader::parse(bytes);
    EXPECT_EQ(decoder.ok() ? "" : decoder.error().message(), c.decoder);
    EXPECT_EQ(fast.ok() ? "" : fast.error().message(), c.fast_path);
    if (decoder.ok() && fast.ok()) {  // both see the same 24 bytes of samples
      EXPECT_EQ(decoder->sample_bytes.size(), 24u);
      EXPECT_EQ(fast->info.frames, 12u);
      EXPECT_EQ(bytes.data() + fast->data_offset, decoder->sample_bytes.data());
    }
  }
}

}  // namespace
}  // namespace sonorik
