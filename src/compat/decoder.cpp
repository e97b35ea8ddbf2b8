#include "compat/decoder.h"

#include <algorithm>
#include <array>
#include <optional>
#include <utility>

#include "compat/wav_reader.h"
#include "core/file.h"
#include "core/text.h"

namespace sonorik {
namespace {

std::optional<SampleFormat> choose_format(WavSampleKind kind, std::uint16_t bits) {
  if (kind == WavSampleKind::Float) {
    if (bits == 32) return SampleFormat::F32;
    if (bits == 64) return SampleFormat::F64;  // the parser never lets this through
    return std::nullopt;
  }
  switch (bits) {
    case 8:
      return SampleFormat::U8;
    case 16:
      return SampleFormat::I16;
    case 24:
      return SampleFormat::I24;
    case 32:
      return SampleFormat::I32;
    default:
      return std::nullopt;
  }
}

// 8-bit data is unsigned around 128 and scaled by 255, so that byte 0 gives
// -1.0 and byte 255 gives +1.0. `s` is the byte minus 128.
inline double from_u8(int s) { return ((s + 128.0) / 255.0) * 2.0 - 1.0; }

const std::array<double, 256>& u8_table() {
  static const std::array<double, 256> table = [] {
    std::array<double, 256> t{};
    for (int b = 0; b < 256; ++b) t[static_cast<std::size_t>(b)] = from_u8(b - 128);
    return t;
  }();
  return table;
}

// A signed sample of `bits` stored in the high bits of a little-endian
// container of `container` bytes (2 or more), as WAVE stores samples that
// are narrower than their container. Only the top four bytes can matter.
inline std::int32_t load_left_justified(const std::uint8_t* p, unsigned container, unsigned bits) {
  const unsigned take = std::min(container, 4u);
  const std::uint8_t* top = p + (container - take);
  std::uint32_t v = 0;
  for (unsigned k = 0; k < take; ++k) v |= std::uint32_t{top[k]} << (8 * (k + 4 - take));
  return static_cast<std::int32_t>(v) >> (32 - bits);
}

// Appends `count` samples of `stride` bytes each, converted by `convert`.
template <std::size_t Stride, class Convert>
void convert_packed(const std::uint8_t* p, std::size_t count, std::vector<double>& out,
                    Convert convert) {
  for (std::size_t i = 0; i < count; ++i, p += Stride) out.push_back(convert(p));
}

void convert_samples(const WavReader& wav, SampleFormat format, std::size_t count,
                     std::vector<double>& out) {
  const std::uint8_t* p = wav.sample_bytes.data();
  const unsigned container = wav.container_bytes;
  const unsigned bits = wav.bits_per_sample;

  if (format == SampleFormat::F32) {  // the parser guarantees a 4-byte container
    convert_packed<4>(p, count, out,
                      [](const std::uint8_t* q) { return static_cast<double>(load_le_f32(q)); });
    return;
  }
  constexpr double k15 = 32768.0, k23 = 8388608.0, k31 = 2147483648.0;
  if (format == SampleFormat::U8 && container == 1) {
    const std::array<double, 256>& table = u8_table();
    convert_packed<1>(p, count, out, [&table](const std::uint8_t* q) { return table[*q]; });
  } else if (format == SampleFormat::I16 && container == 2) {
    convert_packed<2>(p, count, out, [](const std::uint8_t* q) { return load_le_i16(q) / k15; });
  } else if (format == SampleFormat::I24 && container == 3) {
    convert_packed<3>(p, count, out, [](const std::uint8_t* q) { return load_le_i24(q) / k23; });
  } else if (format == SampleFormat::I32 && container == 4) {
    convert_packed<4>(p, count, out, [](const std::uint8_t* q) { return load_le_i32(q) / k31; });
  } else if (format == SampleFormat::I24 && container == 4) {
    convert_packed<4>(p, count, out,
                      [](const std::uint8_t* q) { return (load_le_i32(q) >> 8) / k23; });
  } else {
    // Any other narrower-than-container layout (e.g. 16 bits in 4 bytes).
    const double scale = format == SampleFormat::U8    ? 0.0
                         : format == SampleFormat::I16 ? k15
                         : format == SampleFormat::I24 ? k23
                                                       : k31;
    for (std::size_t i = 0; i < count; ++i, p += container) {
      const std::int32_t s = load_left_justified(p, container, bits);
      out.push_back(format == SampleFormat::U8 ? from_u8(s) : s / scale);
    }
  }
}

}  // namespace

Result<AudioData> decode_audio_file(const std::string& path) {
  const std::string ext = lower_extension(path);
  if (ext == "aif" || ext == "aiff") return Error("AIFF decoding not yet implemented");
  if (ext != "wav") return Error("Unsupported file format: " + ext);

  Result<MappedFile> mapped = MappedFile::open(path);
  if (!mapped) return std::move(mapped).error();
  return decode_wav_bytes(mapped->bytes());
}

Result<AudioData> decode_wav_bytes(Bytes file) {
  Result<WavReader> reader = WavReader::create(file);
  if (!reader) return Error("Failed to create WAV reader", std::move(reader).error());
  const WavReader& wav = reader.value();

  const std::optional<SampleFormat> format = choose_format(wav.kind, wav.bits_per_sample);
  if (!format) {
    return Error("Unsupported sample format: " + std::string(wav_sample_kind_name(wav.kind)) + "/" +
                 std::to_string(wav.bits_per_sample) + " bits");
  }

  const std::uint32_t declared = wav.declared_samples;
  if (wav.present_samples() < declared) {
    return Error("Failed to read " + std::string(sample_format_name(*format)) + " samples",
                 Error("data chunk declares " + std::to_string(declared) +
                       " samples but the file holds " + std::to_string(wav.present_samples())));
  }

  AudioData audio;
  audio.samples.reserve(declared);
  convert_samples(wav, *format, declared, audio.samples);

  AudioInfo& info = audio.info;
  info.sample_rate = wav.sample_rate_hz;
  info.channels = wav.channels;
  info.bit_depth = wav.bits_per_sample;
  info.sample_format = *format;
  info.total_samples = declared;
  info.duration_seconds =
      static_cast<double>(declared / std::uint32_t{wav.channels}) / wav.sample_rate_hz;
  return audio;
}

}  // namespace sonorik
