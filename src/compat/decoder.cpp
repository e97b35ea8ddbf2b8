#include "compat/decoder.h"

#include <optional>
#include <utility>

#include "compat/extensions.h"
#include "compat/sample_converter.h"
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

}  // namespace

Result<AudioData> decode_audio_file(const std::string& path) {
  const std::string ext = lower_extension(path);
  switch (classify_extension(ext)) {
    case AudioExtension::Aiff:
      return Error("AIFF decoding not yet implemented");
    case AudioExtension::Other:
      return Error("Unsupported file format: " + ext);
    case AudioExtension::Wav:
      break;
  }

  Result<MappedFile> mapped = MappedFile::open(path);
  if (!mapped) return std::move(mapped).error();
  Result<AudioData> audio = decode_wav_bytes(mapped->bytes());
  // A file that shrank under the read gave zeros past its new end.
  if (Status unchanged = mapped->check_unchanged(); !unchanged) return std::move(unchanged).error();
  return audio;
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
  audio.samples.resize(declared);
  convert_samples({*format, wav.container_bytes}, wav.sample_bytes.data(), wav.container_bytes,
                  declared, audio.samples.data());

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
