#include "compat/ultra_fast_wav.h"

#include <algorithm>
#include <optional>
#include <string>

#include "compat/riff_walker.h"

namespace sonorik {

namespace {

// The fast path's messages: the walker's checks, then its fmt rule's.
constexpr WaveMessages kMessages{
    .too_short = "File too small to be a valid WAV",
    .not_riff = "Not a valid WAV file",
    .not_wave = "Not a valid WAV file",
    .no_fmt = "Chunk \"fmt \" not found",
    .fmt_too_short = "Invalid fmt chunk size",
    .fmt_past_end = "Invalid fmt chunk: {} bytes declared but only {} left in the file",
    .no_data = "Chunk \"data\" not found",
};
constexpr const char* kUnsupportedFormat = "Unsupported audio format: {} {}bit";
constexpr const char* kNoChannels = "Invalid fmt chunk: 0 channels";

// The fast path takes no file shorter than a canonical 44-byte header.
constexpr std::size_t kMinimumFileBytes = 44;
// An extensible fmt body carries its sub-format GUID at bytes 24..39; the GUID
// starts with the format code of the samples.
constexpr std::size_t kSubFormatOffset = 24;
constexpr std::size_t kExtensibleFmtBytes = 40;

constexpr std::uint16_t kTagPcm = 1;
constexpr std::uint16_t kTagFloat = 3;
constexpr std::uint16_t kTagExtensible = 0xFFFE;

struct MappedFmt {
  SampleFormat kind = SampleFormat::I16;
  std::uint16_t channels = 0;
  std::uint32_t sample_rate = 0;
  std::uint16_t bits_per_sample = 0;
};

// The sample format for a format tag and bit depth, or nullopt when the pair
// is not one the fast path reads.
std::optional<SampleFormat> classify(std::uint16_t tag, std::uint16_t bits, Bytes fmt_body) {
  if (tag == kTagPcm || tag == kTagExtensible) {
    if (bits == 16) return SampleFormat::I16;
    if (bits == 24) return SampleFormat::I24;
  }
  if (tag == kTagFloat && bits == 32) return SampleFormat::F32;
  if (tag == kTagExtensible && bits == 32) {
    // Integer samples under an extensible header must not be read as floats.
    if (fmt_body.size() < kExtensibleFmtBytes) return SampleFormat::F32;
    if (load_le16(fmt_body.data() + kSubFormatOffset) == kTagFloat) return SampleFormat::F32;
  }
  return std::nullopt;
}

// The fast path's fmt rule: the (tag, bits) pairs of classify, then at least
// one channel. `body` holds the whole fmt chunk body (at least 16 bytes).
Result<MappedFmt> read_fmt(Bytes body) {
  MappedFmt f;
  const std::uint16_t tag = load_le16(body.data());
  f.channels = load_le16(body.data() + 2);
  f.sample_rate = load_le32(body.data() + 4);
  f.bits_per_sample = load_le16(body.data() + 14);
  const std::optional<SampleFormat> kind = classify(tag, f.bits_per_sample, body);
  if (!kind) {
    return Error(
        fill_message(kUnsupportedFormat, {std::to_string(tag), std::to_string(f.bits_per_sample)}));
  }
  if (f.channels == 0) return Error(kNoChannels);
  f.kind = *kind;
  return f;
}

constexpr WavePolicy<MappedFmt> kPolicy{kMinimumFileBytes, read_fmt, &kMessages};

}  // namespace

Result<WavLayout> UltraFastWavReader::parse(Bytes file) {
  Result<WaveHeader<MappedFmt>> header = read_wave_header(file, kPolicy);
  if (!header) return std::move(header).error();
  const MappedFmt& fmt = header->format;
  // A recording cut short is still read: only the bytes present count (the
  // walker clamped the body to the file).
  const auto present = static_cast<std::uint32_t>(header->data.body.size());

  WavLayout layout;
  layout.kind = fmt.kind;
  layout.data_offset = header->data.header_offset + kRiffChunkHeaderBytes;
  layout.info.sample_rate = fmt.sample_rate;
  layout.info.channels = fmt.channels;
  layout.info.bits_per_sample = fmt.bits_per_sample;
  layout.info.frames = (present / (static_cast<std::uint32_t>(fmt.bits_per_sample) / 8u)) /
                       std::uint32_t{fmt.channels};
  layout.info.duration_seconds =
      static_cast<double>(layout.info.frames) / static_cast<double>(fmt.sample_rate);
  return layout;
}

Result<UltraFastWavReader> UltraFastWavReader::open(const std::string& path) {
  Result<MappedFile> mapping = MappedFile::open(path);
  if (!mapping) return std::move(mapping).error();
  Result<WavLayout> layout = parse(mapping->bytes());
  if (!layout) return std::move(layout).error();
  return UltraFastWavReader(std::move(mapping).value(), *layout);
}

void UltraFastWavReader::convert_range(std::uint64_t first_sample, std::size_t count,
                                       double* out) const noexcept {
  const std::size_t width = bytes_per_sample();
  convert_samples(sample_layout(), data() + first_sample * width, width, count, out);
}

void UltraFastWavReader::convert_channels(std::uint64_t first_frame, std::size_t frames,
                                          unsigned first_channel, unsigned channel_count,
                                          double* out) const noexcept {
  const std::size_t width = bytes_per_sample();
  const std::size_t stride = width * layout_.info.channels;
  const std::uint8_t* base = data() + first_frame * stride + first_channel * width;
  if (channel_count == 1) {
    convert_samples(sample_layout(), base, stride, frames, out);
    return;
  }
  for (std::size_t f = 0; f < frames; ++f) {
    convert_samples(sample_layout(), base + f * stride, width, channel_count,
                    out + f * channel_count);
  }
}

}  // namespace sonorik
