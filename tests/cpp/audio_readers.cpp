// The two WAV readers on one table of files: the decoder (every format, used
// by the loader) and the mapped fast reader (16/24-bit and float, used by the
// analysis entry points). Plus one damaged-file corpus per parser.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "audio/decoder.h"
#include "audio/ultra_fast_wav.h"
#include "audio/wav_reader.h"
#include "support.h"

namespace sonorik {
namespace {

using testing::chunk;
using testing::extensible;
using testing::fmt;
using testing::ints;
using testing::riff;

// An exactly sized heap copy, so that the address sanitizer sees any read
// past the end.
struct ExactBuffer {
  explicit ExactBuffer(const std::string& b) : data(new std::uint8_t[b.empty() ? 1 : b.size()]), size(b.size()) {
    std::memcpy(data.get(), b.data(), size);
  }
  Bytes bytes() const { return {data.get(), size}; }
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size;
};

struct FileCase {
  const char* name;
  std::string file;
  std::string decoder;  // "" when it reads `samples`, else its error chain
  std::string fast;     // "" when it reads `samples`, else its message
  std::vector<double> samples = {};
  SampleFormat format = SampleFormat::I16;  // the decoder's
  double tolerance = 0.0;  // 8-bit: (s + 128) / 255 * 2 - 1 cancels low bits
};

void PrintTo(const FileCase& c, std::ostream* os) { *os << c.name; }

class BothReaders : public ::testing::TestWithParam<FileCase> {};

TEST_P(BothReaders, SamplesOrMessage) {
  const FileCase& c = GetParam();
  testing::TempDir dir;
  const std::string path = dir.write("f.wav", c.file);
  Result<AudioData> decoded = decode_audio_file(path);
  if (!c.decoder.empty()) {
    ASSERT_FALSE(decoded.ok());
    EXPECT_EQ(decoded.error().chain(), c.decoder);
  } else {
    ASSERT_TRUE(decoded.ok()) << decoded.error().chain();
    const std::uint16_t bits[] = {8, 16, 24, 32, 32, 64};
    EXPECT_EQ(decoded->info.sample_format, c.format);
    EXPECT_EQ(decoded->info.bit_depth, bits[static_cast<int>(c.format)]);
    ASSERT_EQ(decoded->samples.size(), c.samples.size());
    for (std::size_t i = 0; i < c.samples.size(); ++i) {
      EXPECT_NEAR(decoded->samples[i], c.samples[i], std::fabs(c.samples[i]) == 1.0 ? 0.0 : c.tolerance) << i;
    }
  }
  Result<UltraFastWavReader> fast = UltraFastWavReader::open(path);
  const Result<WavLayout> parsed = UltraFastWavReader::parse(Bytes(
      reinterpret_cast<const std::uint8_t*>(c.file.data()), c.file.size()));
  EXPECT_EQ(parsed.ok(), fast.ok());
  if (!c.fast.empty()) {
    ASSERT_FALSE(fast.ok());
    EXPECT_EQ(fast.error().message(), c.fast);
    EXPECT_EQ(parsed.error().message(), c.fast);
  } else {
    ASSERT_TRUE(fast.ok()) << fast.error().message();
    EXPECT_EQ(fast->convert_to_f64_minimal(std::nullopt), c.samples);
  }
}

std::string plain(const std::string& data, std::uint16_t channels = 1, std::uint16_t bits = 16) {
  return riff(chunk("fmt ", fmt(1, channels, 8000, bits)) + chunk("data", data));
}
std::string with_fmt(const std::string& fmt_body, const std::string& data) {
  return riff(chunk("fmt ", fmt_body) + chunk("data", data));
}
std::string block_align_2_for_stereo() {
  std::string f = fmt(1, 2, 8000, 16);
  f[12] = 2;
  return with_fmt(f, ints({0, 0}, 2));
}

const std::string kReader = "Failed to create WAV reader: ";
constexpr std::int64_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int64_t kI32Max = std::numeric_limits<std::int32_t>::max();
const std::string kF32 = testing::encode({1.5, -2.25, 0.1}, 32, true);

INSTANTIATE_TEST_SUITE_P(
    Files, BothReaders,
    ::testing::Values(
        // Conversions: integer scaling is by powers of two, so exact.
        FileCase{"U8", plain(std::string("\x00\x80\xff\x01", 4), 1, 8), "", "Unsupported audio format: 1 8bit",
                 {-1.0, 1.0 / 255.0, 1.0, -253.0 / 255.0}, SampleFormat::U8, 1e-15},
        FileCase{"I16", plain(ints({-32768, 32767, 0, 1, -1}, 2)), "", "",
                 {-1.0, 32767.0 / 32768.0, 0.0, 1.0 / 32768.0, -1.0 / 32768.0}},
        FileCase{"I24", plain(ints({-8388608, 8388607, -1, 1}, 3), 1, 24), "", "",
                 {-1.0, 8388607.0 / 8388608.0, -1.0 / 8388608.0, 1.0 / 8388608.0}, SampleFormat::I24},
        FileCase{"I32", plain(ints({kI32Min, kI32Max, -1}, 4), 1, 32), "", "Unsupported audio format: 1 32bit",
                 {-1.0, 2147483647.0 / 2147483648.0, -1.0 / 2147483648.0}, SampleFormat::I32},
        FileCase{"F32", with_fmt(fmt(3, 1, 8000, 32), kF32), "", "", {1.5, -2.25, double{0.1f}}, SampleFormat::F32},
        FileCase{"ExtensibleFloat", with_fmt(fmt(0xFFFE, 1, 8000, 32, extensible(32, 3)), kF32), "", "",
                 {1.5, -2.25, double{0.1f}}, SampleFormat::F32},
        FileCase{"ExtensibleValidBitsZero", with_fmt(fmt(0xFFFE, 1, 8000, 24, extensible(0)), ints({-8388608}, 3)),
                 "", "", {-1.0}, SampleFormat::I24},
        // Valid bits in the high bits of a wider container.
        FileCase{"Extensible24In32",
                 with_fmt(fmt(0xFFFE, 1, 8000, 32, extensible(24)), ints({kI32Min, 8388607LL << 8, -256}, 4)), "",
                 "Unsupported audio format: 65534 32bit", {-1.0, 8388607.0 / 8388608.0, -1.0 / 8388608.0},
                 SampleFormat::I24},
        FileCase{"Extensible16In32", with_fmt(fmt(0xFFFE, 1, 8000, 32, extensible(16)), ints({32767LL << 16, kI32Min}, 4)),
                 "", "Unsupported audio format: 65534 32bit", {32767.0 / 32768.0, -1.0}},
        // Layouts.
        FileCase{"DataBeforeFmt", riff(chunk("data", ints({16384}, 2)) + chunk("fmt ", fmt(1, 1, 8000, 16))), "", "",
                 {0.5}},
        FileCase{"OddChunksWithPad",
                 riff(chunk("LIST", "abc") + chunk("fmt ", fmt(1, 1, 8000, 16)) + chunk("junk", "x") +
                      chunk("data", ints({-16384}, 2))),
                 "", "", {-0.5}},
        FileCase{"Fmt18", with_fmt(fmt(1, 1, 8000, 16, std::string(2, '\0')), ints({16384}, 2)), "", "", {0.5}},
        FileCase{"TrailingPartialSample", plain(std::string("\x00\x40\x00\xC0\x7F", 5)), "", "", {0.5, -0.5}},
        FileCase{"BytesAfterTheLastChunk", plain(ints({16384}, 2)) + "LIS", "", "", {0.5}},
        FileCase{"EmptyData", plain("") + std::string(4, '\0'), "", "", {}},
        // Declared sizes beyond the file: the fast reader clamps to whole frames.
        FileCase{"DataPastEnd", riff(chunk("fmt ", fmt(1, 2, 8000, 16)) + chunk("data", ints({16384, 0, 1}, 2), 1000)),
                 "Failed to read I16 samples: data chunk declares 500 samples but the file holds 3", "", {0.5, 0.0}},
        FileCase{"DataSizeMax", riff(chunk("fmt ", fmt(1, 1, 8000, 16)) + chunk("data", ints({16384, 0}, 2), 0xFFFFFFFFu)),
                 "Failed to read I16 samples: data chunk declares 2147483647 samples but the file holds 2", "",
                 {0.5, 0.0}},
        FileCase{"ExtensibleOf18Bytes", with_fmt(fmt(0xFFFE, 1, 8000, 32, std::string(2, '\0')), kF32),
                 kReader + "fmt chunk too short (18 bytes, at least 40 needed)", "", {1.5, -2.25, double{0.1f}}},
        // Refusals.
        FileCase{"NotRiff", std::string(64, 'x'), kReader + "Not a RIFF file (no \"RIFF\" tag)", "Not a valid WAV file"},
        FileCase{"NoFmt", riff(chunk("data", std::string(40, '\0'))), kReader + "Missing fmt chunk",
                 "Chunk \"fmt \" not found"},
        FileCase{"NoData", riff(chunk("fmt ", fmt(1, 2, 8000, 16)) + chunk("LIST", std::string(10, '\0'))),
                 kReader + "Missing data chunk", "Chunk \"data\" not found"},
        FileCase{"Fmt14", with_fmt(fmt(1, 1, 8000, 16).substr(0, 14), std::string(20, '\0')),
                 kReader + "fmt chunk too short (14 bytes, at least 16 needed)", "Invalid fmt chunk size"},
        FileCase{"FmtPastEnd", riff(chunk("fmt ", fmt(1, 2, 8000, 16), 40) + std::string(8, '\0')),
                 kReader + "fmt chunk extends past the end of the file",
                 "Invalid fmt chunk: 40 bytes declared but only 24 left in the file"},
        FileCase{"ZeroChannels", with_fmt(fmt(1, 0, 8000, 16), "abcd"), kReader + "Channel count is zero",
                 "Invalid fmt chunk: 0 channels"},
        FileCase{"BlockAlign", block_align_2_for_stereo(),
                 kReader + "Block align 2 does not match 2 channels of 2 bytes", "", {0.0, 0.0}},
        FileCase{"Float64", with_fmt(fmt(3, 1, 8000, 64), std::string(8, '\0')),
                 kReader + "Float data must be 32 bits per sample (got 64)", "Unsupported audio format: 3 64bit"},
        FileCase{"ALaw", with_fmt(fmt(6, 1, 8000, 16), "abcd"), kReader + "Unknown format tag 0x0006",
                 "Unsupported audio format: 6 16bit"},
        FileCase{"Int20", with_fmt(fmt(0xFFFE, 1, 8000, 24, extensible(20)), std::string(6, '\0')),
                 "Unsupported sample format: Int/20 bits", "", {0.0, 0.0}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- damaged files: an error or a consistent record, never a crash or a read
// outside the buffer (checked under the address sanitizer) ------------------------

std::string damage(std::string b, std::mt19937& rng) {
  const unsigned mode = rng() % 4;
  if (mode != 1) {  // change 1..4 bytes, mostly in the first 72
    for (unsigned k = 0, n = 1 + rng() % 4; k < n && !b.empty(); ++k) {
      const std::size_t span = (rng() % 4 != 0) ? std::min<std::size_t>(72, b.size()) : b.size();
      b[rng() % span] = static_cast<char>(rng());
    }
  }
  if (mode == 2) {  // a size field made huge or small
    const std::size_t at = 16 + 4 * (rng() % 8);
    if (at + 4 <= b.size()) b.replace(at, 4, ints({static_cast<std::int64_t>(rng() % 2 ? 0xFFFFFFF0u + rng() % 16 : rng() % 64)}, 4));
  }
  if (mode != 0) b.resize(rng() % (b.size() + 1));
  return b;
}

std::vector<std::string> corpus_bases() {
  return {plain(ints({1, -2, 3, -4, 5, -6}, 2), 2),
          riff(chunk("LIST", std::string(9, 'l')) + chunk("fmt ", fmt(1, 1, 8000, 8)) + chunk("data", std::string("\x00\x80\xff", 3))),
          riff(chunk("data", ints({-8388608, 8388607}, 3)) + chunk("fmt ", fmt(1, 1, 8000, 24))),
          plain(ints({-5, 5}, 4), 1, 32),
          riff(chunk("fact", std::string(4, '\0')) + chunk("fmt ", fmt(3, 1, 8000, 32)) +
               chunk("data", testing::encode({1.5, -0.5}, 32, true))),
          with_fmt(fmt(0xFFFE, 3, 8000, 32, extensible(24)), std::string(36, '\x80')),
          with_fmt(fmt(0xFFFE, 1, 8000, 32, extensible(32, 3)), testing::encode({0.1, 0.2}, 32, true))};
}

// The decoder reads an exact heap copy; the fast reader maps the file, for the
// formats it takes (four of the seven bases).
TEST(Corpus, DamagedFilesNeverCrash) {
  std::mt19937 rng(20240611);
  testing::TempDir dir;
  std::size_t accepted = 0, refused = 0, opened = 0, fast_refused = 0;
  for (const std::string& original : corpus_bases()) {
    ASSERT_TRUE(decode_wav_bytes(ExactBuffer(original).bytes()).ok());
    const bool fast_format = UltraFastWavReader::parse(ExactBuffer(original).bytes()).ok();
    for (int round = 0; round < 600; ++round) {
      const std::string b = damage(original, rng);
      const ExactBuffer buf(b);
      Result<WavReader> r = WavReader::create(buf.bytes());
      Result<AudioData> decoded = decode_wav_bytes(buf.bytes());
      if (!r.ok()) {
        ++refused;
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.error().chain(), "Failed to create WAV reader: " + r.error().message());
      } else {
        ++accepted;
        EXPECT_GT(r->channels, 0);
        EXPECT_GT(r->sample_rate_hz, 0u);
        EXPECT_LE(r->bits_per_sample, r->container_bytes * 8);
        ASSERT_GE(r->sample_bytes.data(), buf.data.get());
        ASSERT_LE(r->sample_bytes.data() + r->sample_bytes.size(), buf.data.get() + buf.size);
        if (decoded.ok()) {
          EXPECT_EQ(decoded->samples.size(), r->declared_samples);
        }
      }
      if (!fast_format || round % 4 != 0) continue;
      Result<UltraFastWavReader> f = UltraFastWavReader::open(dir.write("m.wav", b));
      if (!f) {
        EXPECT_FALSE(f.error().message().empty());
        ++fast_refused;
        continue;
      }
      ++opened;
      EXPECT_GE(f->info().channels, 1u);
      EXPECT_LE(f->total_samples() * f->info().bits_per_sample / 8, b.size());
      EXPECT_EQ(f->convert_to_f64_minimal(std::nullopt).size(), f->total_samples());
    }
  }
  EXPECT_GT(accepted, 200u);
  EXPECT_GT(refused, 200u);
  EXPECT_GT(opened, 50u);
  EXPECT_GT(fast_refused, 50u);
}

}  // namespace
}  // namespace sonorik
