#include "audio/wav_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "audio/decoder.h"
#include "audio/ultra_fast_wav.h"
#include "core/bytes.h"
#include "core/file.h"

namespace sonorik {
namespace {

class TempDir {
 public:
  TempDir() {
    char templ[] = "/tmp/sonorik-wav-writer-XXXXXX";
    path_ = ::mkdtemp(templ);
  }
  ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::vector<std::uint8_t> read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Writes one file through a WavWriter; `body` adds the samples.
template <class Body>
std::vector<std::uint8_t> write_file(const std::string& path, const WavSpec& spec, Body body,
                                     WavWriteFunction write = {}) {
  File f(::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
  EXPECT_TRUE(f.is_open());
  Result<WavWriter> w = WavWriter::create(f.fd(), spec, std::move(write));
  EXPECT_TRUE(w.ok()) << (w.ok() ? "" : w.error().message());
  body(*w);
  Status fin = w->finalize();
  EXPECT_TRUE(fin.ok()) << (fin.ok() ? "" : fin.error().message());
  EXPECT_TRUE(f.close().ok());
  return read_all(path);
}

// A minimal independent chunk walk: returns the offset of a chunk's body.
std::size_t chunk_body(const std::vector<std::uint8_t>& b, const char (&id)[5], std::uint32_t* size) {
  std::size_t at = 12;
  while (at + 8 <= b.size()) {
    const std::uint32_t n = load_le32(&b[at + 4]);
    if (std::memcmp(&b[at], id, 4) == 0) {
      *size = n;
      return at + 8;
    }
    at += 8 + n + (n & 1u);
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
  TempDir dir;
  const WavSpec spec{1, 48000, c.bits, c.kind};
  const auto bytes = write_file(dir.file("v.wav"), spec,
                                [&](WavWriter& w) { ASSERT_TRUE(w.write_samples({&c.input, 1}).ok()); });
  std::uint32_t size = 0;
  const std::size_t at = chunk_body(bytes, "data", &size);
  ASSERT_EQ(size, c.bits / 8u);
  std::int64_t got = 0;
  switch (c.bits) {
    case 8: got = bytes[at]; break;
    case 16: got = load_le_i16(&bytes[at]); break;
    case 24: got = load_le_i24(&bytes[at]); break;
    case 32:
      if (c.kind == WavEncoding::Float) {
        got = load_le32(&bytes[at]);
      } else {
        got = load_le_i32(&bytes[at]);
      }
      break;
  }
  EXPECT_EQ(got, c.stored);
}

std::int64_t float_bits(float f) {
  std::uint32_t u;
  std::memcpy(&u, &f, 4);
  return u;
}

INSTANTIATE_TEST_SUITE_P(
    Formats, StoredValue,
    ::testing::Values(
        StoredCase{16, WavEncoding::Int, 1.0, 32767}, StoredCase{16, WavEncoding::Int, -1.0, -32767},
        StoredCase{16, WavEncoding::Int, 0.5, 16384}, StoredCase{16, WavEncoding::Int, -0.5, -16384},
        StoredCase{16, WavEncoding::Int, 0.0, 0}, StoredCase{16, WavEncoding::Int, 1.5, 32767},
        StoredCase{16, WavEncoding::Int, -1.5, -32768},
        StoredCase{16, WavEncoding::Int, std::nan(""), 0},
        StoredCase{24, WavEncoding::Int, 1.0, 8388607}, StoredCase{24, WavEncoding::Int, -1.0, -8388607},
        StoredCase{24, WavEncoding::Int, -2.0, -8388608},
        StoredCase{32, WavEncoding::Int, 1.0, 2147483647},
        StoredCase{32, WavEncoding::Int, -1.0, -2147483647},
        StoredCase{32, WavEncoding::Int, -3.0, -2147483648LL},
        // 8-bit: the inverse of the decoder's byte / 255 * 2 - 1.
        StoredCase{8, WavEncoding::Int, -1.0, 0}, StoredCase{8, WavEncoding::Int, 1.0, 255},
        StoredCase{8, WavEncoding::Int, 1.0 / 255.0, 128}, StoredCase{8, WavEncoding::Int, 0.0, 128},
        StoredCase{8, WavEncoding::Int, 2.0, 255}, StoredCase{8, WavEncoding::Int, -2.0, 0},
        StoredCase{32, WavEncoding::Float, 0.1, float_bits(0.1f)},
        StoredCase{32, WavEncoding::Float, 1.25, float_bits(1.25f)}));

TEST(WavWriter, EightBitRoundTripsEveryByteThroughTheDecoderMapping) {
  TempDir dir;
  std::vector<double> decoded;
  for (int b = 0; b < 256; ++b) decoded.push_back((static_cast<double>(b - 128) + 128.0) / 255.0 * 2.0 - 1.0);
  const auto bytes = write_file(dir.file("u8.wav"), {1, 8000, 8, WavEncoding::Int},
                                [&](WavWriter& w) { ASSERT_TRUE(w.write_samples(decoded).ok()); });
  std::uint32_t size = 0;
  const std::size_t at = chunk_body(bytes, "data", &size);
  ASSERT_EQ(size, 256u);
  for (int b = 0; b < 256; ++b) EXPECT_EQ(bytes[at + b], b);
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

TEST_P(Header, StandardLayoutForTheSpecification) {
  const HeaderCase c = GetParam();
  TempDir dir;
  const std::size_t frames = 3;  // odd, so 8- and 24-bit mono data need a pad byte
  std::vector<double> samples(frames * c.spec.channels, 0.25);
  const auto b = write_file(dir.file("h.wav"), c.spec,
                            [&](WavWriter& w) { ASSERT_TRUE(w.write_samples(samples).ok()); });
  ASSERT_GE(b.size(), 44u);
  EXPECT_EQ(std::string(b.begin(), b.begin() + 4), "RIFF");
  EXPECT_EQ(std::string(b.begin() + 8, b.begin() + 12), "WAVE");
  EXPECT_EQ(load_le32(&b[4]), b.size() - 8);
  EXPECT_EQ(b.size() % 2, 0u);

  std::uint32_t fmt_size = 0;
  const std::size_t f = chunk_body(b, "fmt ", &fmt_size);
  EXPECT_EQ(fmt_size, c.fmt_size);
  const std::uint32_t bytes_per = c.spec.bits_per_sample / 8u;
  EXPECT_EQ(load_le16(&b[f]), c.tag);
  EXPECT_EQ(load_le16(&b[f + 2]), c.spec.channels);
  EXPECT_EQ(load_le32(&b[f + 4]), c.spec.sample_rate);
  EXPECT_EQ(load_le32(&b[f + 8]), c.spec.sample_rate * c.spec.channels * bytes_per);
  EXPECT_EQ(load_le16(&b[f + 12]), c.spec.channels * bytes_per);
  EXPECT_EQ(load_le16(&b[f + 14]), c.spec.bits_per_sample);
  if (c.fmt_size >= 18) {
    EXPECT_EQ(load_le16(&b[f + 16]), c.fmt_size - 18);
  }
  if (c.tag == 0xFFFE) {
    EXPECT_EQ(load_le16(&b[f + 18]), c.spec.bits_per_sample);
    EXPECT_EQ(load_le32(&b[f + 20]), c.mask);
    EXPECT_EQ(load_le16(&b[f + 24]), c.sub_tag);
    const std::uint8_t tail[14] = {0, 0, 0, 0, 0x10, 0, 0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71};
    EXPECT_EQ(std::memcmp(&b[f + 26], tail, 14), 0);
  }
  std::uint32_t fact_size = 0;
  if (c.fact) {
    const std::size_t at = chunk_body(b, "fact", &fact_size);
    EXPECT_EQ(fact_size, 4u);
    EXPECT_EQ(load_le32(&b[at]), frames);
  }
  std::uint32_t data_size = 0;
  const std::size_t d = chunk_body(b, "data", &data_size);
  EXPECT_EQ(data_size, frames * c.spec.channels * bytes_per);
  EXPECT_EQ(d, WavWriter::header_bytes(c.spec));
  EXPECT_EQ(b.size(), d + data_size + (data_size & 1u));
}

INSTANTIATE_TEST_SUITE_P(
    Specs, Header,
    ::testing::Values(HeaderCase{{2, 44100, 16, WavEncoding::Int}, 1, 16, 0, 0, false},
                      HeaderCase{{1, 8000, 8, WavEncoding::Int}, 1, 16, 0, 0, false},
                      HeaderCase{{1, 48000, 24, WavEncoding::Int}, 0xFFFE, 40, 1, 0x4, true},
                      HeaderCase{{2, 96000, 32, WavEncoding::Int}, 0xFFFE, 40, 1, 0x3, true},
                      HeaderCase{{6, 48000, 16, WavEncoding::Int}, 0xFFFE, 40, 1, 0x3F, true},
                      HeaderCase{{3, 22050, 8, WavEncoding::Int}, 0xFFFE, 40, 1, 0x7, true},
                      HeaderCase{{1, 44100, 32, WavEncoding::Float}, 3, 18, 0, 0, true},
                      HeaderCase{{2, 44100, 32, WavEncoding::Float}, 3, 18, 0, 0, true},
                      HeaderCase{{8, 48000, 32, WavEncoding::Float}, 0xFFFE, 40, 3, 0x63F, true},
                      HeaderCase{{12, 48000, 24, WavEncoding::Int}, 0xFFFE, 40, 1, 0, true}));

TEST(WavWriter, EmptyAudioGivesAHeaderAndAnEmptyDataChunk) {
  TempDir dir;
  const auto b = write_file(dir.file("e.wav"), {2, 44100, 16, WavEncoding::Int}, [](WavWriter&) {});
  ASSERT_EQ(b.size(), 44u);
  EXPECT_EQ(load_le32(&b[4]), 36u);
  EXPECT_EQ(std::string(b.begin() + 36, b.begin() + 40), "data");
  EXPECT_EQ(load_le32(&b[40]), 0u);
  EXPECT_EQ(b, wav_header({2, 44100, 16, WavEncoding::Int}, 0));
}

class RefusedSpec : public ::testing::TestWithParam<WavSpec> {};
TEST_P(RefusedSpec, UnsupportedFormatMessage) {
  TempDir dir;
  File f(::open(dir.file("x.wav").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  Result<WavWriter> w = WavWriter::create(f.fd(), GetParam());
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().message(), "The wave format of the file is not supported.");
  EXPECT_TRUE(read_all(dir.file("x.wav")).empty());  // refused before writing anything
}
INSTANTIATE_TEST_SUITE_P(Specs, RefusedSpec,
                         ::testing::Values(WavSpec{1, 44100, 12, WavEncoding::Int},
                                           WavSpec{1, 44100, 20, WavEncoding::Int},
                                           WavSpec{1, 44100, 64, WavEncoding::Int},
                                           WavSpec{1, 44100, 64, WavEncoding::Float},
                                           WavSpec{1, 44100, 16, WavEncoding::Float},
                                           WavSpec{0, 44100, 16, WavEncoding::Int},
                                           WavSpec{65535, 0xFFFFFFFFu, 32, WavEncoding::Int}));

TEST(WavWriter, IntegerCodesMustFitTheWidth) {
  TempDir dir;
  const auto b = write_file(dir.file("i.wav"), {1, 8000, 8, WavEncoding::Int}, [](WavWriter& w) {
    const std::int32_t ok[] = {-128, 0, 127};
    ASSERT_TRUE(w.write_int_samples(ok).ok());
    const std::int32_t wide[] = {128};
    Status s = w.write_int_samples(wide);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "The sample has more bits than the destination type.");
    const float f[] = {0.5f};
    Status kind = w.write_float_samples(f);
    ASSERT_FALSE(kind.ok());
    EXPECT_EQ(kind.error().message(), "The wave format of the file is not supported.");
  });
  std::uint32_t size = 0;
  const std::size_t at = chunk_body(b, "data", &size);
  ASSERT_EQ(size, 3u);
  EXPECT_EQ(b[at], 0);
  EXPECT_EQ(b[at + 1], 128);
  EXPECT_EQ(b[at + 2], 255);
}

TEST(WavWriter, FloatWriterRefusesIntegerCodes) {
  TempDir dir;
  write_file(dir.file("f.wav"), {1, 8000, 32, WavEncoding::Float}, [](WavWriter& w) {
    const std::int32_t codes[] = {1};
    Status s = w.write_int_samples(codes);
    ASSERT_FALSE(s.ok());
    EXPECT_EQ(s.error().message(), "The wave format of the file is not supported.");
  });
}

// Data far larger than the buffer, written through a disk that accepts at
// most 1000 bytes per call: every sample arrives, in order.
TEST(WavWriter, StreamsThroughTheBufferAcrossShortWrites) {
  TempDir dir;
  std::vector<double> samples(200001);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<double>(static_cast<std::int64_t>(i % 16777216) - 8388608) / 8388607.0;
  int calls = 0;
  auto trickle = [&](int fd, const void* data, std::size_t size) -> long {
    ++calls;
    return ::write(fd, data, std::min<std::size_t>(size, 1000));
  };
  const auto b = write_file(dir.file("big.wav"), {1, 48000, 24, WavEncoding::Int},
                            [&](WavWriter& w) {
                              // in pieces that do not line up with the buffer
                              ASSERT_TRUE(w.write_samples(std::span(samples).first(12345)).ok());
                              ASSERT_TRUE(w.write_samples(std::span(samples).subspan(12345)).ok());
                              EXPECT_EQ(w.samples_written(), samples.size());
                            },
                            trickle);
  EXPECT_GT(calls, 600);
  std::uint32_t size = 0;
  const std::size_t at = chunk_body(b, "data", &size);
  ASSERT_EQ(size, samples.size() * 3);
  for (std::size_t i = 0; i < samples.size(); ++i) {
    ASSERT_EQ(load_le_i24(&b[at + 3 * i]), std::lround(samples[i] * 8388607.0)) << i;
  }
}

TEST(WavWriter, FailedWriteIsTheOperatingSystemError) {
  TempDir dir;
  File f(::open(dir.file("full.wav").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
  auto full = [](int, const void*, std::size_t) -> long {
    errno = ENOSPC;
    return -1;
  };
  Result<WavWriter> w = WavWriter::create(f.fd(), {2, 44100, 16, WavEncoding::Int}, full);
  ASSERT_TRUE(w.ok());
  std::vector<double> samples(100000, 0.1);  // more than one buffer: forces a write
  Status s = w->write_samples(samples);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "No space left on device (os error 28)");
}

TEST(WavWriter, RefusesSizesARiffHeaderCannotHold) {
  const WavSpec spec{2, 48000, 16, WavEncoding::Int};
  const std::uint64_t max_data = 0xFFFFFFFFull - (WavWriter::header_bytes(spec) - 8);
  EXPECT_TRUE(WavWriter::check_size(spec, (max_data - 1) / 2).ok());
  Status s = WavWriter::check_size(spec, (max_data + 1) / 2 + 1);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().message(), "The audio is too large for a WAV file: " +
                                     std::to_string(((max_data + 1) / 2 + 1) * 2) +
                                     " bytes of samples exceed the 4 GiB limit of its header.");
  EXPECT_FALSE(WavWriter::check_size({1, 8000, 8, WavEncoding::Int}, max_data).ok());  // pad byte
  EXPECT_FALSE(WavWriter::check_size(spec, ~0ull).ok());
}

// Our own two readers take back what we write: the decoder for every format,
// the fast path for 16-bit, 24-bit and float data.
struct RoundTripCase {
  WavSpec spec;
  SampleFormat format;
  double decoder_scale;  // the decoder's divisor; 0 for float data
  bool fast_path;
};
class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, OurReadersReadBackWhatWeWrote) {
  const RoundTripCase c = GetParam();
  TempDir dir;
  const std::string path = dir.file("rt.wav");
  const std::size_t frames = 1001;
  std::vector<double> in(frames * c.spec.channels);
  for (std::size_t i = 0; i < in.size(); ++i) in[i] = std::sin(0.01 * static_cast<double>(i)) * 0.9;
  write_file(path, c.spec, [&](WavWriter& w) { ASSERT_TRUE(w.write_samples(in).ok()); });

  // What the writer stored, as the readers should see it.
  std::vector<double> expected(in.size());
  for (std::size_t i = 0; i < in.size(); ++i) {
    if (c.spec.kind == WavEncoding::Float) {
      expected[i] = static_cast<float>(in[i]);
    } else if (c.spec.bits_per_sample == 8) {
      expected[i] = std::round((in[i] + 1.0) / 2.0 * 255.0) / 255.0 * 2.0 - 1.0;
    } else {
      expected[i] = std::round(in[i] * (c.decoder_scale - 1.0)) / c.decoder_scale;
    }
  }

  Result<AudioData> decoded = decode_audio_file(path);
  ASSERT_TRUE(decoded.ok()) << decoded.error().chain();
  EXPECT_EQ(decoded->info.channels, c.spec.channels);
  EXPECT_EQ(decoded->info.sample_rate, c.spec.sample_rate);
  EXPECT_EQ(decoded->info.bit_depth, c.spec.bits_per_sample);
  EXPECT_EQ(decoded->info.sample_format, c.format);
  EXPECT_EQ(decoded->info.total_samples, in.size());
  ASSERT_EQ(decoded->samples.size(), in.size());
  for (std::size_t i = 0; i < in.size(); ++i) ASSERT_DOUBLE_EQ(decoded->samples[i], expected[i]) << i;

  if (c.fast_path) {
    Result<UltraFastWavReader> fast = UltraFastWavReader::open(path);
    ASSERT_TRUE(fast.ok()) << fast.error().chain();
    EXPECT_EQ(fast->info().frames, frames);
    EXPECT_EQ(fast->info().channels, c.spec.channels);
    EXPECT_EQ(fast->convert_to_f64_minimal(std::nullopt), decoded->samples);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Specs, RoundTrip,
    ::testing::Values(RoundTripCase{{1, 8000, 8, WavEncoding::Int}, SampleFormat::U8, 0, false},
                      RoundTripCase{{3, 8000, 8, WavEncoding::Int}, SampleFormat::U8, 0, false},
                      RoundTripCase{{2, 44100, 16, WavEncoding::Int}, SampleFormat::I16, 32768.0, true},
                      RoundTripCase{{6, 48000, 16, WavEncoding::Int}, SampleFormat::I16, 32768.0, true},
                      RoundTripCase{{1, 48000, 24, WavEncoding::Int}, SampleFormat::I24, 8388608.0, true},
                      RoundTripCase{{2, 96000, 32, WavEncoding::Int}, SampleFormat::I32, 2147483648.0, false},
                      RoundTripCase{{2, 44100, 32, WavEncoding::Float}, SampleFormat::F32, 0, true},
                      RoundTripCase{{5, 44100, 32, WavEncoding::Float}, SampleFormat::F32, 0, true}));

}  // namespace
}  // namespace sonorik
