#include "audio/ultra_fast_wav.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "wav_test_files.h"

namespace sonorik {
namespace {

using testing::ByteString;
using testing::chunk;
using testing::chunk_declaring;
using testing::encode;
using testing::extensible_extension;
using testing::fmt_body;
using testing::riff;
using testing::TempDir;

Result<UltraFastWavReader> open_bytes(const TempDir& dir, const ByteString& bytes) {
  return UltraFastWavReader::open(dir.write("f.wav", bytes));
}

std::string open_error(const ByteString& bytes) {
  TempDir dir;
  Result<UltraFastWavReader> r = open_bytes(dir, bytes);
  return r ? std::string("<opened>") : r.error().message();
}

ByteString plain_fmt() { return chunk("fmt ", fmt_body(1, 2, 48000, 16)); }

// ---- refusals, in the order the checks run ---------------------------------

struct Refusal {
  const char* name;
  ByteString bytes;
  std::string message;
};

std::vector<Refusal> refusals() {
  ByteString riff_wave_43 = riff(ByteString(31, 'x'));
  ByteString riff_44_bad_wave = riff(plain_fmt() + chunk("data", ByteString(4, 0)));
  riff_44_bad_wave[8] = 'w';
  ByteString not_riff = riff(plain_fmt() + chunk("data", ByteString(4, 0)));
  not_riff.replace(0, 4, "RIFX");
  ByteString fmt_past_end = riff(chunk_declaring("fmt ", 40, fmt_body(1, 2, 48000, 16)) +
                                 ByteString(8, 0));
  return {
      {"empty", ByteString(), "File too small to be a valid WAV"},
      {"riff_wave_43_bytes", riff_wave_43, "File too small to be a valid WAV"},
      {"not_riff", not_riff, "Not a valid WAV file"},
      {"not_wave", riff_44_bad_wave, "Not a valid WAV file"},
      {"no_fmt", riff(chunk("data", ByteString(40, 0))), "Chunk \"fmt \" not found"},
      {"fmt_header_cut", riff(chunk("LIST", ByteString(26, 0)) + ByteString("fmt ", 4)),
       "Chunk \"fmt \" not found"},
      {"fmt_15", riff(chunk("fmt ", fmt_body(1, 2, 48000, 16).substr(0, 15)) + ByteString(20, 0)),
       "Invalid fmt chunk size"},
      {"fmt_past_end", fmt_past_end,
       "Invalid fmt chunk: 40 bytes declared but only 24 left in the file"},
      {"pcm8", riff(chunk("fmt ", fmt_body(1, 1, 8000, 8)) + chunk("data", "ab")),
       "Unsupported audio format: 1 8bit"},
      {"pcm32", riff(chunk("fmt ", fmt_body(1, 1, 8000, 32)) + chunk("data", "abcd")),
       "Unsupported audio format: 1 32bit"},
      {"float64", riff(chunk("fmt ", fmt_body(3, 1, 8000, 64)) + chunk("data", "abcd")),
       "Unsupported audio format: 3 64bit"},
      {"float16", riff(chunk("fmt ", fmt_body(3, 1, 8000, 16)) + chunk("data", "abcd")),
       "Unsupported audio format: 3 16bit"},
      {"extensible_int32",
       riff(chunk("fmt ", fmt_body(0xFFFE, 2, 48000, 32, extensible_extension(32, 1))) +
            chunk("data", "abcdefgh")),
       "Unsupported audio format: 65534 32bit"},
      {"alaw", riff(chunk("fmt ", fmt_body(6, 1, 8000, 16)) + chunk("data", "abcd")),
       "Unsupported audio format: 6 16bit"},
      {"zero_channels", riff(chunk("fmt ", fmt_body(1, 0, 48000, 16)) + chunk("data", "abcd")),
       "Invalid fmt chunk: 0 channels"},
      {"unsupported_before_zero_channels",
       riff(chunk("fmt ", fmt_body(1, 0, 48000, 8)) + chunk("data", "abcd")),
       "Unsupported audio format: 1 8bit"},
      {"no_data", riff(plain_fmt() + chunk("LIST", ByteString(10, 0))),
       "Chunk \"data\" not found"},
  };
}

class ReaderRefuses : public ::testing::TestWithParam<Refusal> {};

TEST_P(ReaderRefuses, WithExactMessage) {
  const Refusal& r = GetParam();
  EXPECT_EQ(open_error(r.bytes), r.message);
  // The byte-span parser gives the same answer as the file reader.
  const Bytes span(reinterpret_cast<const std::uint8_t*>(r.bytes.data()), r.bytes.size());
  Result<WavLayout> parsed = UltraFastWavReader::parse(span);
  ASSERT_FALSE(parsed.ok());
  EXPECT_EQ(parsed.error().message(), r.message);
}

INSTANTIATE_TEST_SUITE_P(Headers, ReaderRefuses, ::testing::ValuesIn(refusals()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UltraFastWavReader, OperatingSystemErrorsPassUnchanged) {
  TempDir dir;
  Result<UltraFastWavReader> missing = UltraFastWavReader::open(dir.path("missing.wav"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
  EXPECT_EQ(missing.error().cause(), nullptr);
  Result<UltraFastWavReader> directory = UltraFastWavReader::open(dir.path(""));
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().message(), "Is a directory (os error 21)");
}

TEST(UltraFastWavReader, FindChunkQuotesTheIdentifier) {
  const ByteString bytes = riff(plain_fmt());
  const Bytes span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
  EXPECT_EQ(UltraFastWavReader::find_chunk(span, "fmt ").value(), 12u);
  EXPECT_EQ(UltraFastWavReader::find_chunk(span, "data").error().message(),
            "Chunk \"data\" not found");
  EXPECT_EQ(UltraFastWavReader::find_chunk(span.first(19), "fmt ").error().message(),
            "Chunk \"fmt \" not found");
}

// ---- layouts that open ------------------------------------------------------

struct Layout {
  const char* name;
  ByteString bytes;
  std::uint64_t frames;
  std::uint16_t channels;
  std::uint16_t bits;
  MappedSampleKind kind;
};

std::vector<Layout> layouts() {
  const ByteString d10(10, 0);
  return {
      {"plain", riff(plain_fmt() + chunk("data", d10)), 2, 2, 16, MappedSampleKind::i16},
      {"fmt_18", riff(chunk("fmt ", fmt_body(1, 1, 8000, 24, ByteString(2, 0))) + chunk("data", d10)),
       3, 1, 24, MappedSampleKind::i24},
      {"fmt_40_extensible_24",
       riff(chunk("fmt ", fmt_body(0xFFFE, 1, 8000, 24, extensible_extension(24, 1))) +
            chunk("data", d10)),
       3, 1, 24, MappedSampleKind::i24},
      {"extensible_float", riff(chunk("fmt ", fmt_body(0xFFFE, 1, 8000, 32, extensible_extension(32, 3))) +
                                chunk("data", d10)),
       2, 1, 32, MappedSampleKind::f32},
      {"extensible_32_without_sub_format",
       riff(chunk("fmt ", fmt_body(0xFFFE, 1, 8000, 32, ByteString(2, 0))) + chunk("data", d10)),
       2, 1, 32, MappedSampleKind::f32},
      {"odd_chunks_with_pad", riff(chunk("junk", "abc") + plain_fmt() + chunk("LIST", "x") +
                                   chunk("data", d10)),
       2, 2, 16, MappedSampleKind::i16},
      {"data_before_fmt", riff(chunk("data", d10) + plain_fmt()), 2, 2, 16, MappedSampleKind::i16},
      {"empty_data", riff(plain_fmt() + chunk("data", "") + ByteString(4, 0)), 0, 2, 16,
       MappedSampleKind::i16},
      // 6 bytes present of 1000 declared: one whole stereo frame and half of one.
      {"data_past_end", riff(plain_fmt() + chunk_declaring("data", 1000, ByteString(6, 0))), 1, 2,
       16, MappedSampleKind::i16},
      {"data_size_max", riff(plain_fmt() + chunk_declaring("data", 0xFFFFFFFFu, ByteString(9, 0))),
       2, 2, 16, MappedSampleKind::i16},
  };
}

class ReaderOpens : public ::testing::TestWithParam<Layout> {};

TEST_P(ReaderOpens, WithFormatFields) {
  const Layout& l = GetParam();
  TempDir dir;
  Result<UltraFastWavReader> r = open_bytes(dir, l.bytes);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(r->info().frames, l.frames);
  EXPECT_EQ(r->info().channels, l.channels);
  EXPECT_EQ(r->info().bits_per_sample, l.bits);
  EXPECT_EQ(r->kind(), l.kind);
  EXPECT_EQ(r->convert_to_f64_minimal(std::nullopt).size(), l.frames * l.channels);
}

INSTANTIATE_TEST_SUITE_P(Headers, ReaderOpens, ::testing::ValuesIn(layouts()),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(UltraFastWavReader, DurationFromFramesAndRate) {
  TempDir dir;
  auto r = open_bytes(dir, riff(chunk("fmt ", fmt_body(1, 2, 48000, 16)) +
                                chunk("data", ByteString(96000 * 4, 0))));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->info().frames, 96000u);
  EXPECT_EQ(r->info().sample_rate, 48000u);
  EXPECT_DOUBLE_EQ(r->info().duration_seconds, 2.0);
  // A rate of 0 is accepted here; the duration is then not finite.
  auto zero = open_bytes(dir, riff(chunk("fmt ", fmt_body(1, 1, 0, 16)) + chunk("data", "abcd")));
  ASSERT_TRUE(zero.ok());
  EXPECT_TRUE(std::isinf(zero->info().duration_seconds));
}

// ---- conversion ---------------------------------------------------------------

TEST(UltraFastWavReader, ConvertsEachKindExactly) {
  TempDir dir;
  ByteString i16;
  for (int v : {-32768, -1, 0, 1, 32767}) testing::put_le(i16, static_cast<std::uint16_t>(v), 2);
  auto a = open_bytes(dir, riff(chunk("fmt ", fmt_body(1, 1, 8000, 16)) + chunk("data", i16)));
  ASSERT_TRUE(a.ok());
  EXPECT_EQ(a->convert_to_f64_minimal(std::nullopt),
            (std::vector<double>{-1.0, -1.0 / 32768, 0.0, 1.0 / 32768, 0.999969482421875}));

  const ByteString i24("\x00\x00\x80" "\xff\xff\xff" "\xff\xff\x7f" "\x01\x00\x00", 12);
  auto b = open_bytes(dir, riff(chunk("fmt ", fmt_body(1, 1, 8000, 24)) + chunk("data", i24)));
  ASSERT_TRUE(b.ok());
  EXPECT_EQ(b->convert_to_f64_minimal(std::nullopt),
            (std::vector<double>{-1.0, -1.0 / 8388608, 8388607.0 / 8388608, 1.0 / 8388608}));

  const float inf = std::numeric_limits<float>::infinity();
  ByteString f32;
  for (float f : {1.5f, -2.25f, inf}) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    testing::put_le(f32, u, 4);
  }
  auto c = open_bytes(dir, riff(chunk("fmt ", fmt_body(3, 1, 8000, 32)) + chunk("data", f32)));
  ASSERT_TRUE(c.ok());
  const std::vector<double> got = c->convert_to_f64_minimal(std::nullopt);
  ASSERT_EQ(got.size(), 3u);
  EXPECT_EQ(got[0], 1.5);
  EXPECT_EQ(got[1], -2.25);
  EXPECT_TRUE(std::isinf(got[2]));
}

TEST(UltraFastWavReader, MaxSamplesTruncatesOnly) {
  TempDir dir;
  auto r = open_bytes(dir, riff(plain_fmt() + chunk("data", encode({0.5, -0.5, 0.25, -0.25}, 16))));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->convert_to_f64_minimal(100).size(), 4u);
  EXPECT_EQ(r->convert_to_f64_minimal(3), (std::vector<double>{0.5, -0.5, 0.25}));
  EXPECT_TRUE(r->convert_to_f64_minimal(0).empty());
}

TEST(UltraFastWavReader, RangesAndChannelsMatchTheWholeConversion) {
  std::mt19937 gen(7);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  std::vector<double> s(3 * 101);
  for (double& x : s) x = u(gen);
  for (int bits : {16, 24, 32}) {
    TempDir dir;
    auto r = open_bytes(dir, testing::wav_file(s, 3, 44100, bits, bits == 32));
    ASSERT_TRUE(r.ok());
    const std::vector<double> all = r->convert_to_f64_minimal(std::nullopt);
    ASSERT_EQ(all.size(), s.size());
    std::vector<double> part(50);
    r->convert_range(17, 50, part.data());
    EXPECT_EQ(part, std::vector<double>(all.begin() + 17, all.begin() + 67));
    for (unsigned first = 0; first < 3; ++first) {
      for (unsigned count = 1; first + count <= 3; ++count) {
        std::vector<double> ch(40 * count);
        r->convert_channels(60, 40, first, count, ch.data());
        for (std::size_t i = 0; i < 40; ++i) {
          for (unsigned c = 0; c < count; ++c) {
            EXPECT_EQ(ch[i * count + c], all[(60 + i) * 3 + first + c]);
          }
        }
      }
    }
  }
}

// ---- malformed corpus ------------------------------------------------------------

// Mutations of valid files (bit flips, overwritten size fields, truncation)
// either open or fail with a message; whatever opens converts without reading
// outside the mapping (checked under the address sanitizer).
TEST(UltraFastWavReader, MalformedCorpusNeverCrashes) {
  std::mt19937 gen(12345);
  const std::vector<ByteString> bases = {
      testing::wav_file(testing::sine(0.01, 8000, 2, 0.5), 2, 8000, 16),
      testing::wav_file(testing::sine(0.01, 8000, 1, 0.5), 1, 8000, 24),
      testing::wav_file(testing::sine(0.01, 8000, 3, 0.5), 3, 8000, 32, true),
      riff(chunk("LIST", "abc") + chunk("data", encode({0.1, 0.2, 0.3}, 16)) +
           chunk("fmt ", fmt_body(0xFFFE, 1, 8000, 32, extensible_extension(32, 3)))),
  };
  TempDir dir;
  int opened = 0;
  int refused = 0;
  for (int i = 0; i < 400; ++i) {
    ByteString b = bases[static_cast<std::size_t>(i) % bases.size()];
    const int mutations = 1 + static_cast<int>(gen() % 4);
    for (int m = 0; m < mutations; ++m) {
      switch (gen() % 4) {
        case 0:  // random byte in the first 80 (headers)
          b[gen() % std::min<std::size_t>(80, b.size())] = static_cast<char>(gen());
          break;
        case 1: {  // a size field (after one of the first chunk ids) made huge or odd
          const std::size_t at = 16 + 4 * (gen() % 8);
          if (at + 4 <= b.size()) {
            const std::uint32_t v = (gen() % 2) ? 0xFFFFFFF0u + gen() % 16 : gen() % 64;
            for (int k = 0; k < 4; ++k) b[at + k] = static_cast<char>((v >> (8 * k)) & 0xFF);
          }
          break;
        }
        case 2:  // truncation
          b.resize(gen() % (b.size() + 1));
          break;
        default:  // any byte anywhere
          if (!b.empty()) b[gen() % b.size()] = static_cast<char>(gen());
      }
    }
    const std::string path = dir.write("m" + std::to_string(i) + ".wav", b);
    Result<UltraFastWavReader> r = UltraFastWavReader::open(path);
    if (!r) {
      EXPECT_FALSE(r.error().message().empty());
      ++refused;
      continue;
    }
    ++opened;
    EXPECT_GE(r->info().channels, 1u);
    EXPECT_LE(r->total_samples() * r->info().bits_per_sample / 8, b.size());
    const std::vector<double> s = r->convert_to_f64_minimal(std::nullopt);
    EXPECT_EQ(s.size(), r->total_samples());
  }
  EXPECT_GT(opened, 0);
  EXPECT_GT(refused, 0);
}

}  // namespace
}  // namespace sonorik
