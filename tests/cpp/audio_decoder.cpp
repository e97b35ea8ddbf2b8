#include "audio/decoder.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "audio_test_wav.h"

namespace sonorik {
namespace {

using testing::ByteVec;
using testing::TempDir;
using testing::WavSpec;

constexpr std::int32_t kI32Min = std::numeric_limits<std::int32_t>::min();
constexpr std::int32_t kI32Max = std::numeric_limits<std::int32_t>::max();

// Samples stored in the high bits of a wider container, as WAVE stores them.
ByteVec left_justified32(const std::vector<std::int32_t>& v, int shift) {
  std::vector<std::int32_t> shifted;
  for (auto s : v) shifted.push_back(static_cast<std::int32_t>(static_cast<std::uint32_t>(s) << shift));
  return testing::pcm32(shifted);
}

struct ConversionCase {
  const char* name;
  WavSpec spec;
  ByteVec data;
  SampleFormat format;
  std::uint16_t bit_depth;
  std::vector<double> expected;
  // 0: exact (integer scaling is by powers of two). 8-bit data goes through
  // (s + 128) / 255 * 2 - 1, whose final subtraction cancels the low bits.
  double tolerance = 0.0;
};

class Conversion : public ::testing::TestWithParam<ConversionCase> {};

TEST_P(Conversion, EdgeValuesMapExactly) {
  const ConversionCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.write("edge.wav", testing::make_wav(c.spec, c.data));
  Result<AudioData> audio = decode_audio_file(path);
  ASSERT_TRUE(audio.ok()) << audio.error().chain();
  EXPECT_EQ(audio->info.sample_format, c.format);
  EXPECT_EQ(audio->info.bit_depth, c.bit_depth);
  ASSERT_EQ(audio->samples.size(), c.expected.size());
  for (std::size_t i = 0; i < c.expected.size(); ++i) {
    if (c.tolerance == 0.0 || std::abs(c.expected[i]) == 1.0) {  // the ends are exact
      EXPECT_EQ(audio->samples[i], c.expected[i]) << "sample " << i;
    } else {
      EXPECT_NEAR(audio->samples[i], c.expected[i], c.tolerance) << "sample " << i;
    }
  }
}

WavSpec pcm(std::uint16_t bits) {
  WavSpec s;
  s.bits = bits;
  return s;
}
WavSpec ieee_float() {
  WavSpec s;
  s.format_tag = 3;
  s.bits = 32;
  return s;
}
WavSpec extensible(std::uint16_t container_bits, std::uint16_t valid_bits, std::uint16_t sub = 1) {
  WavSpec s;
  s.format_tag = 0xFFFE;
  s.bits = container_bits;
  s.valid_bits = valid_bits;
  s.sub_format = sub;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, Conversion,
    ::testing::Values(
        ConversionCase{"U8", pcm(8), {0, 128, 255, 1}, SampleFormat::U8, 8,
                       {-1.0, 1.0 / 255.0, 1.0, -253.0 / 255.0}, 1e-15},
        ConversionCase{"I16", pcm(16), testing::pcm16({-32768, 32767, 0, 1, -1}), SampleFormat::I16,
                       16, {-1.0, 32767.0 / 32768.0, 0.0, 1.0 / 32768.0, -1.0 / 32768.0}},
        ConversionCase{"I24", pcm(24), testing::pcm24({-8388608, 8388607, -1, 1}), SampleFormat::I24,
                       24, {-1.0, 8388607.0 / 8388608.0, -1.0 / 8388608.0, 1.0 / 8388608.0}},
        ConversionCase{"I32", pcm(32), testing::pcm32({kI32Min, kI32Max, -1}), SampleFormat::I32, 32,
                       {-1.0, 2147483647.0 / 2147483648.0, -1.0 / 2147483648.0}},
        ConversionCase{"F32", ieee_float(), testing::f32({1.5f, -2.25f, 0.1f, 0.0f}),
                       SampleFormat::F32, 32, {1.5, -2.25, static_cast<double>(0.1f), 0.0}},
        ConversionCase{"ExtensibleI16", extensible(16, 16), testing::pcm16({-32768, 16384}),
                       SampleFormat::I16, 16, {-1.0, 0.5}},
        ConversionCase{"ExtensibleValidBitsZero", extensible(24, 0), testing::pcm24({-8388608}),
                       SampleFormat::I24, 24, {-1.0}},
        ConversionCase{"ExtensibleFloat", extensible(32, 32, 3), testing::f32({-3.0f}),
                       SampleFormat::F32, 32, {-3.0}},
        ConversionCase{"Extensible24In32", extensible(32, 24),
                       left_justified32({-8388608, 8388607, -1}, 8), SampleFormat::I24, 24,
                       {-1.0, 8388607.0 / 8388608.0, -1.0 / 8388608.0}},
        ConversionCase{"Extensible16In32", extensible(32, 16), left_justified32({32767, -32768}, 16),
                       SampleFormat::I16, 16, {32767.0 / 32768.0, -1.0}},
        ConversionCase{"Extensible8In16", extensible(16, 8), testing::pcm16({-128 * 256, 127 * 256}),
                       SampleFormat::U8, 8, {-1.0, 1.0}, 1e-15},
        ConversionCase{"ValidBitsLargerThanContainer", extensible(16, 24),
                       testing::pcm16({-32768}), SampleFormat::I16, 16, {-1.0}}),
    [](const ::testing::TestParamInfo<ConversionCase>& info) { return info.param.name; });

TEST(DecodeInfo, StereoSixteenBitThousandBytes) {
  WavSpec s;
  s.channels = 2;
  s.sample_rate = 48000;
  TempDir dir;
  const std::string path = dir.write("s.WAV", testing::make_wav(s, ByteVec(1000, 0)));
  Result<AudioData> audio = decode_audio_file(path);
  ASSERT_TRUE(audio.ok()) << audio.error().chain();
  EXPECT_EQ(audio->samples.size(), 500u);
  EXPECT_EQ(audio->info.total_samples, 500u);
  EXPECT_EQ(audio->info.channels, 2);
  EXPECT_EQ(audio->info.sample_rate, 48000u);
  EXPECT_EQ(audio->info.duration_seconds, 250.0 / 48000.0);
}

TEST(DecodeInfo, DurationUsesWholeFramesOfTheDeclaredCount) {
  WavSpec s;
  s.channels = 2;
  s.sample_rate = 10;
  TempDir dir;
  // Three samples: one whole frame and a partial one, all decoded.
  const std::string path = dir.write("odd.wav", testing::make_wav(s, testing::pcm16({1, 2, 3})));
  Result<AudioData> audio = decode_audio_file(path);
  ASSERT_TRUE(audio.ok()) << audio.error().chain();
  EXPECT_EQ(audio->samples.size(), 3u);
  EXPECT_EQ(audio->info.total_samples, 3u);
  EXPECT_EQ(audio->info.duration_seconds, 0.1);
}

// Layouts other than the plain "fmt " then "data".
struct LayoutCase {
  const char* name;
  WavSpec spec;
  ByteVec data;
  std::vector<double> expected;
  bool append_garbage = false;  // bytes after the last chunk
};
class Layout : public ::testing::TestWithParam<LayoutCase> {};

TEST_P(Layout, SamplesAreFound) {
  const LayoutCase& c = GetParam();
  ByteVec bytes = testing::make_wav(c.spec, c.data);
  if (c.append_garbage) bytes.insert(bytes.end(), {'L', 'I', 'S'});
  TempDir dir;
  Result<AudioData> audio = decode_audio_file(dir.write("l.wav", bytes));
  ASSERT_TRUE(audio.ok()) << audio.error().chain();
  EXPECT_EQ(audio->samples, c.expected);
}

WavSpec with_chunks(std::vector<testing::Chunk> chunks, bool data_first = false) {
  WavSpec s;
  s.chunks_before = std::move(chunks);
  s.data_first = data_first;
  return s;
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, Layout,
    ::testing::Values(
        LayoutCase{"DataBeforeFmt", with_chunks({}, true), testing::pcm16({16384}), {0.5}},
        LayoutCase{"OddListChunkWithPad", with_chunks({{"LIST", ByteVec(7, 'x')}}),
                   testing::pcm16({-16384}), {-0.5}},
        LayoutCase{"FactAndJunk",
                   with_chunks({{"fact", ByteVec(4, 0)}, {"JUNK", ByteVec(3, 0)}}),
                   testing::pcm16({16384, 0}), {0.5, 0.0}},
        LayoutCase{"ChunksAroundDataFirst", with_chunks({{"LIST", ByteVec(1, 0)}}, true),
                   testing::pcm16({0}), {0.0}},
        LayoutCase{"TrailingPartialSampleIgnored", WavSpec{}, ByteVec{0x00, 0x40, 0x00, 0xC0, 0x7F},
                   {0.5, -0.5}},
        LayoutCase{"TruncatedChunkHeaderAfterData", WavSpec{}, testing::pcm16({16384}), {0.5}, true},
        LayoutCase{"EmptyData", WavSpec{}, ByteVec{}, {}}),
    [](const ::testing::TestParamInfo<LayoutCase>& info) { return info.param.name; });

// Errors: outermost message, and the cause's message ("" for none).
struct ErrorCase {
  const char* name;
  std::string file_name;
  ByteVec bytes;
  std::string message;
  std::string cause;
};
class DecodeError : public ::testing::TestWithParam<ErrorCase> {};

TEST_P(DecodeError, MessageAndCause) {
  const ErrorCase& c = GetParam();
  TempDir dir;
  const std::string path = dir.write(c.file_name, c.bytes);
  Result<AudioData> audio = decode_audio_file(path);
  ASSERT_FALSE(audio.ok());
  EXPECT_EQ(audio.error().message(), c.message);
  if (c.cause.empty()) {
    EXPECT_EQ(audio.error().cause(), nullptr);
  } else {
    ASSERT_NE(audio.error().cause(), nullptr);
    EXPECT_EQ(audio.error().cause()->message(), c.cause);
  }
}

ByteVec wav(WavSpec s, ByteVec data = testing::pcm16({0, 0})) { return testing::make_wav(s, data); }
WavSpec mutate(void (*f)(WavSpec&)) {
  WavSpec s;
  f(s);
  return s;
}
ByteVec with_fmt_size(std::uint32_t declared) {
  ByteVec b = wav({});
  std::memcpy(b.data() + 16, &declared, 4);
  return b;
}
ByteVec riff_only_with(const std::vector<testing::Chunk>& chunks) {
  ByteVec b;
  testing::put_tag(b, "RIFF");
  testing::put32(b, 4);
  testing::put_tag(b, "WAVE");
  for (const auto& c : chunks) testing::put_chunk(b, c.id, c.body);
  return b;
}

const std::string kReader = "Failed to create WAV reader";

INSTANTIATE_TEST_SUITE_P(
    Files, DecodeError,
    ::testing::Values(
        ErrorCase{"Mp3", "a.mp3", wav({}), "Unsupported file format: mp3", ""},
        ErrorCase{"NoExtension", "plain", wav({}), "Unsupported file format: ", ""},
        ErrorCase{"Dotfile", ".wav", wav({}), "Unsupported file format: ", ""},
        ErrorCase{"AifUpper", "a.AIF", wav({}), "AIFF decoding not yet implemented", ""},
        ErrorCase{"Aiff", "a.aiff", wav({}), "AIFF decoding not yet implemented", ""},
        ErrorCase{"Empty", "a.wav", {}, kReader, "File too short for a RIFF header (0 bytes)"},
        ErrorCase{"NotRiff", "a.wav", ByteVec(64, 'x'), kReader, "Not a RIFF file (no \"RIFF\" tag)"},
        ErrorCase{"NotWave", "a.wav", ByteVec{'R', 'I', 'F', 'F', 4, 0, 0, 0, 'A', 'V', 'I', ' '},
                  kReader, "Not a WAVE file (no \"WAVE\" tag)"},
        ErrorCase{"NoFmt", "a.wav", riff_only_with({{"data", ByteVec(4, 0)}}), kReader,
                  "Missing fmt chunk"},
        ErrorCase{"NoData", "a.wav", riff_only_with({{"fmt ", testing::fmt_body({})}}), kReader,
                  "Missing data chunk"},
        ErrorCase{"ShortFmt", "a.wav", riff_only_with({{"fmt ", ByteVec(14, 1)}}), kReader,
                  "fmt chunk too short (14 bytes, at least 16 needed)"},
        ErrorCase{"FmtPastEnd", "a.wav", with_fmt_size(5000), kReader,
                  "fmt chunk extends past the end of the file"},
        ErrorCase{"ExtensibleFmtOf16Bytes", "a.wav",
                  riff_only_with({{"fmt ", ByteVec{0xFE, 0xFF, 1, 0, 0x44, 0xAC, 0, 0, 0, 0, 0, 0,
                                                   2, 0, 16, 0}}}),
                  kReader, "fmt chunk too short (16 bytes, at least 40 needed)"},
        ErrorCase{"UnknownTag", "a.wav", wav(mutate([](WavSpec& s) { s.format_tag = 2; })), kReader,
                  "Unknown format tag 0x0002"},
        ErrorCase{"UnknownSubFormat", "a.wav", wav(extensible(16, 16, 0x55)), kReader,
                  "Unknown extensible sub-format 0x0055"},
        ErrorCase{"ZeroChannels", "a.wav",
                  wav(mutate([](WavSpec& s) {
                    s.channels = 0;
                    s.block_align = 2;
                  })),
                  kReader, "Channel count is zero"},
        ErrorCase{"ZeroRate", "a.wav", wav(mutate([](WavSpec& s) { s.sample_rate = 0; })), kReader,
                  "Sample rate is zero"},
        ErrorCase{"ZeroBits", "a.wav",
                  wav(mutate([](WavSpec& s) {
                    s.bits = 0;
                    s.block_align = 2;
                  })),
                  kReader, "Bits per sample is zero"},
        ErrorCase{"Float64", "a.wav",
                  wav(mutate([](WavSpec& s) {
                    s.format_tag = 3;
                    s.bits = 64;
                  })),
                  kReader, "Float data must be 32 bits per sample (got 64)"},
        ErrorCase{"FloatValid24", "a.wav", wav(extensible(32, 24, 3)), kReader,
                  "Float data must be 32 bits per sample (got 24)"},
        ErrorCase{"BlockAlign", "a.wav",
                  wav(mutate([](WavSpec& s) {
                    s.channels = 2;
                    s.block_align = 2;
                  })),
                  kReader, "Block align 2 does not match 2 channels of 2 bytes"},
        ErrorCase{"Int20", "a.wav", wav(extensible(24, 20), testing::pcm24({0})),
                  "Unsupported sample format: Int/20 bits", ""},
        ErrorCase{"Int12", "a.wav", wav(mutate([](WavSpec& s) { s.bits = 12; })),
                  "Unsupported sample format: Int/12 bits", ""},
        ErrorCase{"TruncatedData", "a.wav",
                  wav(mutate([](WavSpec& s) { s.declared_data_bytes = 1000; }),
                      testing::pcm16({1, 2, 3, 4, 5})),
                  "Failed to read I16 samples",
                  "data chunk declares 500 samples but the file holds 5"},
        ErrorCase{"HugeDeclaredFloat", "a.wav",
                  wav(mutate([](WavSpec& s) {
                    s.format_tag = 3;
                    s.bits = 32;
                    s.declared_data_bytes = 0xFFFFFFF0u;
                  })),
                  "Failed to read F32 samples",
                  "data chunk declares 1073741820 samples but the file holds 1"},
        ErrorCase{"TruncatedU8", "a.wav",
                  wav(mutate([](WavSpec& s) {
                    s.bits = 8;
                    s.declared_data_bytes = 3;
                  }),
                      ByteVec{1, 2}),
                  "Failed to read U8 samples", "data chunk declares 3 samples but the file holds 2"}),
    [](const ::testing::TestParamInfo<ErrorCase>& info) { return info.param.name; });

TEST(DecodeErrorOs, MissingFileAndDirectoryKeepTheSystemMessage) {
  TempDir dir;
  Result<AudioData> missing = decode_audio_file(dir.path("none.wav"));
  ASSERT_FALSE(missing.ok());
  EXPECT_EQ(missing.error().message(), "No such file or directory (os error 2)");
  EXPECT_EQ(missing.error().cause(), nullptr);

  std::filesystem::create_directory(dir.path("d.wav"));
  Result<AudioData> directory = decode_audio_file(dir.path("d.wav"));
  ASSERT_FALSE(directory.ok());
  EXPECT_EQ(directory.error().message(), "Is a directory (os error 21)");
}

}  // namespace
}  // namespace sonorik
