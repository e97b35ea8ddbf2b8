#include "audio/wav_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "core/bytes.h"
#include "core/file.h"
#include "support.h"

namespace sonorik {
namespace {

// Writes one file through a WavWriter; `body` adds the samples.
template <class Body>
std::string write_file(const std::string& path, const WavFormat& format, Body body, WavWriteFunction write = {}) {
  File f(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Result<WavWriter> w = WavWriter::create(f.fd(), format, std::move(write));
  EXPECT_TRUE(w.ok());
  if (!w.ok()) return {};
  body(*w);
  EXPECT_TRUE(w->finalize().ok());
  EXPECT_TRUE(f.close().ok());
  return testing::read_all(path);
}

const std::uint8_t* at(const std::string& b, std::size_t i) { return reinterpret_cast<const std::uint8_t*>(b.data()) + i; }

// Where the samples start; the Header test checks this against an
// independently built header.
std::size_t data_at(const WavFormat& format) { return WavWriter::header_bytes(format); }

struct StoredCase {
  std::uint16_t bits;
  WavEncoding kind;
  double input;
  std::int64_t stored;  // integer code (8-bit: the unsigned byte); float: raw bits
};
class StoredValue : public ::testing::TestWithParam<StoredCase> {};

TEST_P(StoredValue, ScaledRoundedAndClamped) {
  const StoredCase c = GetParam();
  testing::TempDir dir;
  const WavFormat format{1, 48000, c.bits, c.kind};
  const std::string b = write_file(dir.path("v.wav"), format,
                                   [&](WavWriter& w) { ASSERT_TRUE(w.write_samples({&c.input, 1}).ok()); });
  const std::size_t d = data_at(format);
  ASSERT_EQ(b.size() - d, c.bits == 8 || c.bits == 24 ? c.bits / 8u + 1 : c.bits / 8u);
  const std::int64_t got = c.bits == 8                   ? *at(b, d)
                           : c.bits == 16                ? load_le_i16(at(b, d))
                           : c.bits == 24                ? load_le_i24(at(b, d))
                           : c.kind == WavEncoding::Float ? std::int64_t{load_le32(at(b, d))}
                                                          : load_le_i32(at(b, d));
  EXPECT_EQ(got, c.stored);
}

std::int64_t float_bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

constexpr WavEncoding I = WavEncoding::Int;
// Full scale is 2^(bits-1) - 1; halves round away from zero; beyond full
// scale the code clamps to the type's range; NaN is 0.
INSTANTIATE_TEST_SUITE_P(
    Formats, StoredValue,
    ::testing::Values(StoredCase{16, I, 1.0, 32767}, StoredCase{16, I, -1.0, -32767}, StoredCase{16, I, 0.5, 16384},
                      StoredCase{16, I, -0.5, -16384}, StoredCase{16, I, 1.5, 32767}, StoredCase{16, I, -1.5, -32768},
                      StoredCase{16, I, std::nan(""), 0}, StoredCase{24, I, -1.0, -8388607},
                      StoredCase{24, I, -2.0, -8388608}, StoredCase{32, I, 1.0, 2147483647},
                      StoredCase{32, I, -3.0, -2147483648LL},
                      // 8-bit: the inverse of the decoder's byte / 255 * 2 - 1.
                      StoredCase{8, I, -1.0, 0}, StoredCase{8, I, 1.0 / 255.0, 128}, StoredCase{8, I, 0.0, 128},
                      StoredCase{8, I, 2.0, 255},
                      StoredCase{32, WavEncoding::Float, 0.1, float_bits(0.1f)}));

TEST(WavWriter, EightBitRoundTripsEveryByteThroughTheDecoderMapping) {
  testing::TempDir dir;
  std::vector<double> decoded;
  for (int b = 0; b < 256; ++b) decoded.push_back(static_cast<double>(b) / 255.0 * 2.0 - 1.0);
  const std::string b = write_file(dir.path("u8.wav"), {1, 8000, 8, I},
                                   [&](WavWriter& w) { ASSERT_TRUE(w.write_samples(decoded).ok()); });
  const std::size_t d = data_at({1, 8000, 8, I});
  ASSERT_EQ(b.size() - d, 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(*at(b, d + i), i);
}

struct HeaderCase {
  WavFormat format;
  std::string fmt_body;  // as built independently
  bool fact;
};
class Header : public ::testing::TestWithParam<HeaderCase> {};

// Three frames: odd, so 8- and 24-bit mono data need a pad byte.
TEST_P(Header, StandardLayout) {
  const HeaderCase& c = GetParam();
  testing::TempDir dir;
  const std::vector<double> samples(3 * c.format.channels, 0.25);
  const std::string b = write_file(dir.path("h.wav"), c.format,
                                   [&](WavWriter& w) { ASSERT_TRUE(w.write_samples(samples).ok()); });
  const std::size_t data_bytes = samples.size() * c.format.bits_per_sample / 8;
  std::string header = testing::chunk("fmt ", c.fmt_body);
  if (c.fact) header += testing::chunk("fact", testing::ints({3}, 4));
  header = testing::riff(header + testing::chunk("data", "", static_cast<std::uint32_t>(data_bytes)));
  ASSERT_EQ(b.size(), header.size() + data_bytes + data_bytes % 2);
  EXPECT_EQ(load_le32(at(b, 4)), b.size() - 8);
  header.replace(4, 4, b.substr(4, 4));  // the RIFF size counts the data too
  EXPECT_EQ(b.substr(0, header.size()), header);
  EXPECT_EQ(header.size(), WavWriter::header_bytes(c.format));
}

using testing::extensible;
using testing::fmt;
const std::string kCb0(2, '\0');
// Plain PCM up to 16 bits and 2 channels; float gets a fmt of 18 bytes and a
// fact chunk; everything else is extensible with a fact chunk and the
// standard speaker mask (0 above 8 channels).
INSTANTIATE_TEST_SUITE_P(
    Specs, Header,
    ::testing::Values(HeaderCase{{2, 44100, 16, I}, fmt(1, 2, 44100, 16), false},
                      HeaderCase{{1, 8000, 8, I}, fmt(1, 1, 8000, 8), false},
                      HeaderCase{{1, 48000, 24, I}, fmt(0xFFFE, 1, 48000, 24, extensible(24, 1, 0x4)), true},
                      HeaderCase{{6, 48000, 16, I}, fmt(0xFFFE, 6, 48000, 16, extensible(16, 1, 0x3F)), true},
                      HeaderCase{{3, 22050, 8, I}, fmt(0xFFFE, 3, 22050, 8, extensible(8, 1, 0x7)), true},
                      HeaderCase{{2, 44100, 32, WavEncoding::Float}, fmt(3, 2, 44100, 32, kCb0), true},
                      HeaderCase{{8, 48000, 32, WavEncoding::Float}, fmt(0xFFFE, 8, 48000, 32, extensible(32, 3, 0x63F)), true},
                      HeaderCase{{12, 48000, 24, I}, fmt(0xFFFE, 12, 48000, 24, extensible(24, 1, 0)), true}));

TEST(WavWriter, RefusesWhatItCannotWriteBeforeWritingAnything) {
  testing::TempDir dir;
  const std::string unsupported = "The wave format of the file is not supported.";
  for (const WavFormat format : {WavFormat{1, 44100, 12, I}, WavFormat{1, 44100, 64, WavEncoding::Float},
                             WavFormat{1, 44100, 16, WavEncoding::Float}, WavFormat{0, 44100, 16, I}}) {
    File f(::open(dir.path("x.wav").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    Result<WavWriter> w = WavWriter::create(f.fd(), format);
    ASSERT_FALSE(w.ok());
    EXPECT_EQ(w.error().message(), unsupported);
    EXPECT_EQ(testing::read_all(dir.path("x.wav")), "");
  }
  write_file(dir.path("i.wav"), {1, 8000, 8, I}, [&](WavWriter& w) {
    const std::int32_t wide[] = {128};
    EXPECT_EQ(w.write_int_samples(wide).error().message(), "The sample has more bits than the destination type.");
    const float f[] = {0.5f};
    EXPECT_EQ(w.write_float_samples(f).error().message(), unsupported);
  });
  // The RIFF size field bounds the data (an odd 8-bit count adds a pad byte).
  const WavFormat format{2, 48000, 16, I};
  const std::uint64_t max_data = 0xFFFFFFFFull - (WavWriter::header_bytes(format) - 8);
  EXPECT_TRUE(WavWriter::check_size(format, (max_data - 1) / 2).ok());
  EXPECT_EQ(WavWriter::check_size(format, (max_data + 1) / 2 + 1).error().message(),
            "The audio is too large for a WAV file: " + std::to_string(((max_data + 1) / 2 + 1) * 2) +
                " bytes of samples exceed the 4 GiB limit of its header.");
  EXPECT_FALSE(WavWriter::check_size({1, 8000, 8, I}, max_data).ok());
}

// Data far larger than the buffer, written through a disk that accepts at
// most 1000 bytes per call: every sample arrives, in order.
TEST(WavWriter, StreamsThroughTheBufferAcrossShortWrites) {
  testing::TempDir dir;
  std::vector<double> samples(200001);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<double>(static_cast<std::int64_t>(i % 16777216) - 8388608) / 8388607.0;
  }
  int calls = 0;
  auto trickle = [&](int fd, const void* data, std::size_t size) -> long {
    ++calls;
    return ::write(fd, data, std::min<std::size_t>(size, 1000));
  };
  const std::string b = write_file(
      dir.path("big.wav"), {1, 48000, 24, I},
      [&](WavWriter& w) {  // in pieces that do not line up with the buffer
        ASSERT_TRUE(w.write_samples(std::span(samples).first(12345)).ok());
        ASSERT_TRUE(w.write_samples(std::span(samples).subspan(12345)).ok());
      },
      trickle);
  EXPECT_GT(calls, 600);
  const std::size_t d = data_at({1, 48000, 24, I});
  ASSERT_EQ(b.size() - d, samples.size() * 3 + 1);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    ASSERT_EQ(load_le_i24(at(b, d + 3 * i)), std::lround(samples[i] * 8388607.0)) << i;
  }
}

}  // namespace
}  // namespace sonorik
