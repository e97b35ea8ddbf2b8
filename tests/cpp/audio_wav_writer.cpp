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
std::string write_file(const std::string& path, const WavSpec& spec, Body body, WavWriteFunction write = {}) {
  File f(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  Result<WavWriter> w = WavWriter::create(f.fd(), spec, std::move(write));
  EXPECT_TRUE(w.ok());
  if (!w.ok()) return {};
  body(*w);
  EXPECT_TRUE(w->finalize().ok());
  EXPECT_TRUE(f.close().ok());
  return testing::read_all(path);
}

const std::uint8_t* at(const std::string& b, std::size_t i) { return reinterpret_cast<const std::uint8_t*>(b.data()) + i; }

// A minimal independent chunk walk: the offset of a chunk's body and its size.
std::size_t chunk_body(const std::string& b, const char (&id)[5], std::uint32_t* size) {
  for (std::size_t pos = 12; pos + 8 <= b.size();) {
    const std::uint32_t n = load_le32(at(b, pos + 4));
    if (b.compare(pos, 4, id) == 0) {
      *size = n;
      return pos + 8;
    }
    pos += 8 + n + (n & 1u);
  }
  ADD_FAILURE() << "chunk " << id << " missing";
  return 0;
}

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
  const std::string b = write_file(dir.path("v.wav"), {1, 48000, c.bits, c.kind},
                                   [&](WavWriter& w) { ASSERT_TRUE(w.write_samples({&c.input, 1}).ok()); });
  std::uint32_t size = 0;
  const std::size_t d = chunk_body(b, "data", &size);
  ASSERT_EQ(size, c.bits / 8u);
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
  std::uint32_t size = 0;
  const std::size_t d = chunk_body(b, "data", &size);
  ASSERT_EQ(size, 256u);
  for (int i = 0; i < 256; ++i) EXPECT_EQ(*at(b, d + i), i);
}

struct HeaderCase {
  WavSpec spec;
  std::uint16_t tag;
  std::uint32_t fmt_size;
  std::uint16_t sub_tag;  // 0 when not extensible
  std::uint32_t mask;
  bool fact;
};
class Header : public ::testing::TestWithParam<HeaderCase> {};

TEST_P(Header, StandardLayout) {
  const HeaderCase c = GetParam();
  testing::TempDir dir;
  const std::size_t frames = 3;  // odd, so 8- and 24-bit mono data need a pad byte
  const std::vector<double> samples(frames * c.spec.channels, 0.25);
  const std::string b = write_file(dir.path("h.wav"), c.spec,
                                   [&](WavWriter& w) { ASSERT_TRUE(w.write_samples(samples).ok()); });
  ASSERT_GE(b.size(), 44u);
  EXPECT_EQ(b.substr(0, 4) + b.substr(8, 4), "RIFFWAVE");
  EXPECT_EQ(load_le32(at(b, 4)), b.size() - 8);
  std::uint32_t fmt_size = 0;
  const std::size_t f = chunk_body(b, "fmt ", &fmt_size);
  EXPECT_EQ(fmt_size, c.fmt_size);
  const std::uint32_t bytes_per = c.spec.bits_per_sample / 8u;
  EXPECT_EQ(load_le16(at(b, f)), c.tag);
  EXPECT_EQ(load_le16(at(b, f + 2)), c.spec.channels);
  EXPECT_EQ(load_le32(at(b, f + 4)), c.spec.sample_rate);
  EXPECT_EQ(load_le32(at(b, f + 8)), c.spec.sample_rate * c.spec.channels * bytes_per);
  EXPECT_EQ(load_le16(at(b, f + 12)), c.spec.channels * bytes_per);
  EXPECT_EQ(load_le16(at(b, f + 14)), c.spec.bits_per_sample);
  if (c.fmt_size >= 18) {
    EXPECT_EQ(load_le16(at(b, f + 16)), c.fmt_size - 18);
  }
  if (c.tag == 0xFFFE) {
    EXPECT_EQ(load_le16(at(b, f + 18)), c.spec.bits_per_sample);
    EXPECT_EQ(load_le32(at(b, f + 20)), c.mask);
    EXPECT_EQ(b.substr(f + 24, 16), testing::extensible(0, c.sub_tag).substr(8));
  }
  std::uint32_t size = 0;
  if (c.fact) {
    const std::size_t fact = chunk_body(b, "fact", &size);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(load_le32(at(b, fact)), frames);
  }
  const std::size_t d = chunk_body(b, "data", &size);
  EXPECT_EQ(size, frames * c.spec.channels * bytes_per);
  EXPECT_EQ(d, WavWriter::header_bytes(c.spec));
  EXPECT_EQ(b.size(), d + size + (size & 1u));
}
// Plain PCM up to 16 bits and 2 channels; float gets fmt of 18 bytes and a
// fact chunk; everything else is extensible with a fact chunk and the
// standard speaker mask (0 above 8 channels).
INSTANTIATE_TEST_SUITE_P(
    Specs, Header,
    ::testing::Values(HeaderCase{{2, 44100, 16, I}, 1, 16, 0, 0, false}, HeaderCase{{1, 8000, 8, I}, 1, 16, 0, 0, false},
                      HeaderCase{{1, 48000, 24, I}, 0xFFFE, 40, 1, 0x4, true},
                      HeaderCase{{6, 48000, 16, I}, 0xFFFE, 40, 1, 0x3F, true},
                      HeaderCase{{3, 22050, 8, I}, 0xFFFE, 40, 1, 0x7, true},
                      HeaderCase{{2, 44100, 32, WavEncoding::Float}, 3, 18, 0, 0, true},
                      HeaderCase{{8, 48000, 32, WavEncoding::Float}, 0xFFFE, 40, 3, 0x63F, true},
                      HeaderCase{{12, 48000, 24, I}, 0xFFFE, 40, 1, 0, true}));

TEST(WavWriter, RefusesWhatItCannotWriteBeforeWritingAnything) {
  testing::TempDir dir;
  const std::string unsupported = "The wave format of the file is not supported.";
  for (const WavSpec spec : {WavSpec{1, 44100, 12, I}, WavSpec{1, 44100, 64, WavEncoding::Float},
                             WavSpec{1, 44100, 16, WavEncoding::Float}, WavSpec{0, 44100, 16, I}}) {
    File f(::open(dir.path("x.wav").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    Result<WavWriter> w = WavWriter::create(f.fd(), spec);
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
  const WavSpec spec{2, 48000, 16, I};
  const std::uint64_t max_data = 0xFFFFFFFFull - (WavWriter::header_bytes(spec) - 8);
  EXPECT_TRUE(WavWriter::check_size(spec, (max_data - 1) / 2).ok());
  EXPECT_EQ(WavWriter::check_size(spec, (max_data + 1) / 2 + 1).error().message(),
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
  std::uint32_t size = 0;
  const std::size_t d = chunk_body(b, "data", &size);
  ASSERT_EQ(size, samples.size() * 3);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    ASSERT_EQ(load_le_i24(at(b, d + 3 * i)), std::lround(samples[i] * 8388607.0)) << i;
  }
}

}  // namespace
}  // namespace sonorik
