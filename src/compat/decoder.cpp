#include "compat/decoder.h"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <optional>
#include <utility>

#include "compat/extensions.h"
#include "compat/wav_reader.h"
#include "core/interrupt.h"
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

// Lets the system take back the whole pages of `bytes` from this process
// (a read-only shared mapping: they are read again from the file if needed).
void drop_pages(Bytes bytes) {
  static const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
  const auto begin = reinterpret_cast<std::uintptr_t>(bytes.data());
  const std::uintptr_t first = (begin + page - 1) / page * page;
  const std::uintptr_t last = (begin + bytes.size()) / page * page;
  if (last > first) (void)::madvise(reinterpret_cast<void*>(first), last - first, MADV_DONTNEED);
}

}  // namespace

Result<WavSamples> WavSamples::parse(Bytes file) {
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

  WavSamples out;
  out.layout_ = {*format, wav.container_bytes};
  out.first_ = wav.sample_bytes.data();
  AudioInfo& info = out.info_;
  info.sample_rate = wav.sample_rate_hz;
  info.channels = wav.channels;
  info.bit_depth = wav.bits_per_sample;
  info.sample_format = *format;
  info.total_samples = declared;
  info.duration_seconds =
      static_cast<double>(declared / std::uint32_t{wav.channels}) / wav.sample_rate_hz;
  return out;
}

void WavSamples::convert(std::uint64_t first, std::size_t count, double* out) const noexcept {
  convert_samples(layout_, first_ + first * layout_.container_bytes, layout_.container_bytes, count,
                  out);
}

Bytes WavSamples::sample_bytes(std::uint64_t first, std::size_t count) const noexcept {
  return {first_ + first * layout_.container_bytes, count * layout_.container_bytes};
}

Result<WavFileSamples> WavFileSamples::open(const std::string& path) {
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
  Result<WavSamples> wav = WavSamples::parse(mapped->bytes());
  if (!wav) return std::move(wav).error();
  // A file that shrank under the header read gave zeros past its new end.
  if (Status unchanged = mapped->check_unchanged(); !unchanged) return std::move(unchanged).error();
  return WavFileSamples(std::move(mapped).value(), *wav);
}

Status WavFileSamples::read(std::uint64_t first, std::size_t count, double* out) const {
  if (interrupted()) return Error(kInterrupted);
  wav_.convert(first, count, out);
  drop_pages(wav_.sample_bytes(first, count));
  return mapping_.check_unchanged();
}

Result<WavFileSamples> open_for_loading(const std::string& path) {
  if (audio_extension_of(path) == AudioExtension::Other) {
    return Error("Unsupported audio format: " + quoted_path(path));
  }
  Result<WavFileSamples> file = WavFileSamples::open(path);
  if (!file) {
    return Error("Failed to decode audio file: " + quoted_path(path), std::move(file).error());
  }
  if (Status rate = check_sample_rate(path, file->info().sample_rate); !rate) {
    return std::move(rate).error();
  }
  return file;
}

Result<AudioData> decode_wav_file(const WavFileSamples& file) {
  AudioData audio;
  audio.info = file.info();
  // Grown block by block inside its final capacity, so that no pass over
  // the whole list (filling it with zeros) comes before the first interrupt
  // check.
  audio.samples.reserve(file.sample_count());
  for (std::uint64_t at = 0; at < file.sample_count(); at += kDecodeBlockSamples) {
    const auto n = static_cast<std::size_t>(
        std::min<std::uint64_t>(kDecodeBlockSamples, file.sample_count() - at));
    audio.samples.resize(at + n);
    if (Status s = file.read(at, n, audio.samples.data() + at); !s) return std::move(s).error();
  }
  if (Status unchanged = file.check_unchanged(); !unchanged) return std::move(unchanged).error();
  return audio;
}

Result<AudioData> decode_audio_file(const std::string& path) {
  Result<WavFileSamples> file = WavFileSamples::open(path);
  if (!file) return std::move(file).error();
  return decode_wav_file(*file);
}

Result<AudioData> decode_wav_bytes(Bytes file) {
  Result<WavSamples> wav = WavSamples::parse(file);
  if (!wav) return std::move(wav).error();
  AudioData audio;
  audio.info = wav->info();
  audio.samples.resize(wav->sample_count());
  wav->convert(0, audio.samples.size(), audio.samples.data());
  return audio;
}

}  // namespace sonorik
