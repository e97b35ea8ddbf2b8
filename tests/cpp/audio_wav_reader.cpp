#include "audio/wav_reader.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "audio/decoder.h"
#include "audio_test_wav.h"

namespace sonorik {
namespace {

using testing::ByteVec;
using testing::WavSpec;

// An exactly sized heap copy, so that the address sanitizer sees any read
// past the end.
struct ExactBuffer {
  explicit ExactBuffer(const ByteVec& b) : data(new std::uint8_t[b.size()]), size(b.size()) {
    if (size != 0) std::memcpy(data.get(), b.data(), size);
  }
  Bytes bytes() const { return {data.get(), size}; }
  std::unique_ptr<std::uint8_t[]> data;
  std::size_t size;
};

TEST(WavReader, ReportsFormatAndSampleSpan) {
  WavSpec s;
  s.format_tag = 0xFFFE;
  s.channels = 2;
  s.sample_rate = 96000;
  s.bits = 32;
  s.valid_bits = 24;
  s.chunks_before = {{"LIST", ByteVec(5, 'i')}};
  const ByteVec file = testing::make_wav(s, ByteVec(24, 0));
  ExactBuffer buf(file);
  Result<WavReader> r = WavReader::create(buf.bytes());
  ASSERT_TRUE(r.ok()) << r.error().chain();
  EXPECT_EQ(r->sample_rate_hz, 96000u);
  EXPECT_EQ(r->channels, 2);
  EXPECT_EQ(r->bits_per_sample, 24);
  EXPECT_EQ(r->container_bytes, 4);
  EXPECT_EQ(r->kind, WavSampleKind::Int);
  EXPECT_EQ(r->declared_samples, 6u);
  EXPECT_EQ(r->present_samples(), 6u);
  EXPECT_EQ(r->sample_bytes.data(), buf.data.get() + file.size() - 24);
  EXPECT_EQ(r->sample_bytes.size(), 24u);
}

TEST(WavReader, OversizedDataIsClampedToTheFile) {
  WavSpec s;
  s.declared_data_bytes = 0xFFFFFFFFu;
  const ByteVec file = testing::make_wav(s, ByteVec(7, 1));
  ExactBuffer buf(file);
  Result<WavReader> r = WavReader::create(buf.bytes());
  ASSERT_TRUE(r.ok()) << r.error().chain();
  EXPECT_EQ(r->declared_samples, 0x7FFFFFFFu);
  // Seven body bytes plus the pad byte the builder wrote: all present.
  EXPECT_EQ(r->sample_bytes.size(), 8u);
  EXPECT_EQ(r->present_samples(), 4u);
}

TEST(WavReader, OddSizedFmtIsSkippedWithItsPad) {
  ByteVec file;
  testing::put_tag(file, "RIFF");
  testing::put32(file, 0);
  testing::put_tag(file, "WAVE");
  ByteVec fmt = testing::fmt_body({});
  fmt.push_back(0xEE);  // 17 bytes: one extra, then the pad byte
  testing::put_chunk(file, "fmt ", fmt);
  testing::put_chunk(file, "data", testing::pcm16({1}));
  ExactBuffer buf(file);
  Result<WavReader> r = WavReader::create(buf.bytes());
  ASSERT_TRUE(r.ok()) << r.error().chain();
  EXPECT_EQ(r->declared_samples, 1u);
}

// Valid files of every layout the decoder handles, to be damaged below.
std::vector<ByteVec> corpus() {
  std::vector<ByteVec> files;
  auto add = [&files](WavSpec s, ByteVec data) { files.push_back(testing::make_wav(s, data)); };
  WavSpec stereo16;
  stereo16.channels = 2;
  add(stereo16, testing::pcm16({1, -2, 3, -4, 5, -6}));
  WavSpec u8;
  u8.bits = 8;
  u8.chunks_before = {{"LIST", ByteVec(9, 'l')}};
  add(u8, ByteVec{0, 128, 255});
  WavSpec i24;
  i24.bits = 24;
  i24.data_first = true;
  add(i24, testing::pcm24({-8388608, 8388607}));
  WavSpec i32;
  i32.bits = 32;
  add(i32, testing::pcm32({-5, 5}));
  WavSpec fl;
  fl.format_tag = 3;
  fl.bits = 32;
  fl.chunks_before = {{"fact", ByteVec(4, 0)}};
  add(fl, testing::f32({1.5f, -0.5f}));
  WavSpec ext;
  ext.format_tag = 0xFFFE;
  ext.channels = 3;
  ext.bits = 32;
  ext.valid_bits = 24;
  add(ext, ByteVec(36, 0x80));
  WavSpec ext16in32 = ext;
  ext16in32.valid_bits = 16;
  ext16in32.channels = 1;
  add(ext16in32, ByteVec(8, 0xFF));
  return files;
}

// Random truncations and byte changes, mostly in the header, must give an
// error or a consistent record: never a crash or a read past the buffer.
TEST(WavReaderCorpus, DamagedFilesNeverCrash) {
  std::mt19937 rng(20240611);
  std::size_t accepted = 0, refused = 0;
  for (const ByteVec& original : corpus()) {
    ASSERT_TRUE(decode_wav_bytes(ExactBuffer(original).bytes()).ok());
    for (int round = 0; round < 3000; ++round) {
      ByteVec file = original;
      const unsigned mode = rng() % 4;
      if (mode != 1) {  // change 1..4 bytes, mostly among the first 72
        const unsigned changes = 1 + rng() % 4;
        for (unsigned k = 0; k < changes; ++k) {
          const std::size_t span = (rng() % 4 != 0) ? std::min<std::size_t>(72, file.size()) : file.size();
          file[rng() % span] = static_cast<std::uint8_t>(rng());
        }
      }
      if (mode != 0) file.resize(rng() % (file.size() + 1));  // truncate

      ExactBuffer buf(file);
      Result<WavReader> r = WavReader::create(buf.bytes());
      Result<AudioData> decoded = decode_wav_bytes(buf.bytes());
      if (!r.ok()) {
        ++refused;
        ASSERT_FALSE(decoded.ok());
        EXPECT_EQ(decoded.error().message(), "Failed to create WAV reader");
        ASSERT_NE(decoded.error().cause(), nullptr);
        EXPECT_EQ(decoded.error().cause()->message(), r.error().message());
        continue;
      }
      ++accepted;
      EXPECT_GT(r->channels, 0);
      EXPECT_GT(r->sample_rate_hz, 0u);
      EXPECT_GT(r->bits_per_sample, 0);
      EXPECT_LE(r->bits_per_sample, r->container_bytes * 8);
      const std::uint8_t* begin = buf.data.get();
      ASSERT_GE(r->sample_bytes.data(), begin);
      ASSERT_LE(r->sample_bytes.data() + r->sample_bytes.size(), begin + buf.size);
      if (decoded.ok()) {
        EXPECT_EQ(decoded->samples.size(), r->declared_samples);
        EXPECT_EQ(decoded->info.total_samples, r->declared_samples);
      }
    }
  }
  // Both outcomes occur, so the corpus exercises the parser's paths.
  EXPECT_GT(accepted, 1000u);
  EXPECT_GT(refused, 1000u);
}

}  // namespace
}  // namespace sonorik
