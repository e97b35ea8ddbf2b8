#include "compat/audio_data.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <new>
#include <utility>

#include "compat/buffer_pool.h"
#include "compat/decoder.h"
#include "compat/extensions.h"
#include "core/text.h"

namespace sonorik {
namespace {

// trunc(x) as an unsigned 64-bit count: NaN and negatives give 0, values at
// or beyond 2^64 give the maximum.
std::uint64_t saturating_trunc_u64(double x) {
  if (!(x > 0.0)) return 0;
  if (x >= 18446744073709551616.0) return std::numeric_limits<std::uint64_t>::max();
  return static_cast<std::uint64_t>(x);
}

std::uint64_t saturating_mul_u64(std::uint64_t a, std::uint64_t b) {
  std::uint64_t product = 0;
  if (__builtin_mul_overflow(a, b, &product)) return std::numeric_limits<std::uint64_t>::max();
  return product;
}

}  // namespace

Status check_sample_rate(const std::string& path, std::uint32_t rate_hz) {
  if (rate_hz <= kMaxSampleRateHz) return ok_status();
  return Error(quoted_path(path) + ": rate must be at most " + std::to_string(kMaxSampleRateHz) +
               " Hz (got " + std::to_string(rate_hz) + ")");
}

// The metric list does not change the minimum: every request needs at least
// 0.1 s for the shortest measurement window.
Result<AudioData> AudioData::load_without_looping(const std::string& path) {
  Result<WavFileSamples> file = open_for_loading(path);
  if (!file) return std::move(file).error();
  Result<AudioData> decoded = decode_wav_file(*file);
  if (!decoded) {
    return Error("Failed to decode audio file: " + quoted_path(path), std::move(decoded).error());
  }
  return decoded;
}

Result<AudioData> AudioData::load_from_file_with_options(const std::string& path,
                                                         const MetricList& /*metrics*/) {
  Result<AudioData> audio = load_without_looping(path);
  if (audio) audio->ensure_minimum_duration(kMinimumDurationSeconds);
  return audio;
}

Result<AudioInfo> AudioData::load_info(const std::string& path) {
  Result<WavFileSamples> file = open_for_loading(path);
  if (!file) return std::move(file).error();
  return looped_info(file->info(), file->sample_count(), kMinimumDurationSeconds);
}

std::optional<std::uint64_t> looped_sample_count(const AudioInfo& info, std::uint64_t samples,
                                                 double min_seconds) {
  // Written so that a NaN duration or minimum leaves the record alone.
  if (!(info.duration_seconds < min_seconds)) return std::nullopt;
  if (samples == 0) return std::nullopt;
  const std::uint64_t target_frames =
      saturating_trunc_u64(min_seconds * static_cast<double>(info.sample_rate));
  const std::uint64_t target = saturating_mul_u64(target_frames, info.channels);
  // A target of no frames (rates under 10 Hz, or a hand-built record with no
  // channels) would throw the audio away: keep it.
  if (target == 0) return std::nullopt;
  return target;
}

AudioInfo looped_info(const AudioInfo& info, std::uint64_t samples, double min_seconds) {
  const std::optional<std::uint64_t> target = looped_sample_count(info, samples, min_seconds);
  if (!target) return info;
  AudioInfo out = info;
  out.total_samples = *target / info.channels;
  out.duration_seconds =
      static_cast<double>(out.total_samples) / static_cast<double>(info.sample_rate);
  return out;
}

void AudioData::ensure_minimum_duration(double min_seconds) {
  const std::optional<std::uint64_t> looped =
      looped_sample_count(info, samples.size(), min_seconds);
  if (!looped) return;
  const std::uint64_t target = *looped;
  const std::size_t length = samples.size();
  if (target > samples.max_size()) throw std::bad_alloc();

  std::vector<double> out;
  if (target <= detail::kBufferPoolMaxCapacitySamples) out = detail::buffer_pool_take(target);
  if (out.capacity() < target) out.reserve(target);

  // The audio repeated from its start, in whole blocks, the last one cut
  // where the target falls. Audio whose trailing incomplete frame already
  // takes it past the target is cut to the target, so the record always
  // ends on a whole frame and counts frames.
  while (out.size() < target) {
    const std::size_t n = std::min<std::uint64_t>(length, target - out.size());
    out.insert(out.end(), samples.begin(), samples.begin() + static_cast<std::ptrdiff_t>(n));
  }

  std::vector<double> previous = std::exchange(samples, std::move(out));
  info = looped_info(info, length, min_seconds);
  detail::buffer_pool_give(std::move(previous));
}

}  // namespace sonorik
