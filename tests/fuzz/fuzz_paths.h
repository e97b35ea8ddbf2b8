// The code paths the fuzzers drive (fuzz_main.cpp), replayed over every past
// finding by tests/cpp/compat_fuzz_regressions.cpp: the mapped reader as the
// analysis entry reads it (checked against the decoder), the decoder (and
// the header-only information against the loaded record), both
// analysers, normalize_batch (a normalisation, streamed and compared byte for
// byte with one of the whole decoded record, the batch loop and an export
// with one of the 128 flag sets), and the door (any format libsndfile reads,
// from memory, with its integrity checks, measured by the standards' path).
// A broken invariant aborts.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/channel_layout.h"
#include "analysis/measurable.h"
#include "analysis/standard_measurement.h"
#include "audio/finite_check.h"
#include "audio/source.h"
#include "compat/analyzer.h"
#include "compat/audio_data.h"
#include "compat/batch.h"
#include "compat/decoder.h"
#include "compat/export.h"
#include "compat/normalize_file.h"
#include "compat/processor.h"
#include "compat/robust_analyzer.h"
#include "compat/ultra_fast_wav.h"
#include "core/bytes.h"
#include "core/file.h"
#include "core/metric.h"

namespace sonorik::fuzz {

#define SONORIK_FUZZ_CHECK(cond)                                                           \
  ((cond) ? void()                                                                         \
          : (std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond), \
             std::abort()))

// Not measured above this rate x channels (short audio is repeated to over
// 10 s); parsing and decoding still see every input.
inline constexpr std::uint64_t kMaxMeasuredSamplesPerSecond = 48'000;

// A private directory: the readers, normalisation and export need real .wav paths.
inline const std::string& scratch_dir() {
  static const std::string dir = [] {
    char name[] = "/tmp/sonorik-fuzz-XXXXXX";
    SONORIK_FUZZ_CHECK(::mkdtemp(name) != nullptr);
    return std::string(name);
  }();
  return dir;
}

inline std::string write_input(Bytes bytes) {
  const std::string input = scratch_dir() + "/in.wav";
  std::FILE* f = std::fopen(input.c_str(), "wb");
  SONORIK_FUZZ_CHECK(f != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size());
  SONORIK_FUZZ_CHECK(std::fclose(f) == 0);
  return input;
}

inline bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }

inline void fast_reader(Bytes bytes) {
  const Result<WavLayout> parsed = UltraFastWavReader::parse(bytes);
  const Result<UltraFastWavReader> reader = UltraFastWavReader::open(write_input(bytes));
  SONORIK_FUZZ_CHECK(reader.ok() == parsed.ok());
  if (!reader) {
    SONORIK_FUZZ_CHECK(reader.error().message() == parsed.error().message());
    return;
  }
  const WavFormatInfo& info = reader->info();
  const WavLayout& layout = parsed.value();
  SONORIK_FUZZ_CHECK(info.frames == layout.info.frames && info.channels == layout.info.channels &&
                     info.channels >= 1 && info.sample_rate == layout.info.sample_rate);
  SONORIK_FUZZ_CHECK(reader->kind() == layout.kind &&
                     layout.data_offset <= bytes.size());  // samples in the file
  SONORIK_FUZZ_CHECK(reader->total_samples() * (info.bits_per_sample / 8u) <=
                     bytes.size() - layout.data_offset);

  // Read as the analysis entry reads it: through a SampleSource over the mapping.
  const analysis::SampleSource source(reader.value());
  SONORIK_FUZZ_CHECK(source.frames() == info.frames && source.channels() == info.channels);
  std::vector<double> all(static_cast<std::size_t>(reader->total_samples()));
  source.read(0, static_cast<std::size_t>(info.frames), all.data());

  // Where the decoder reads the same layout, it gives the same values.
  const Result<AudioData> decoded = decode_wav_bytes(bytes);
  if (decoded && decoded->info.sample_format == reader->kind() &&
      decoded->info.bit_depth == info.bits_per_sample) {
    SONORIK_FUZZ_CHECK(all.size() <= decoded->samples.size());
    for (std::size_t i = 0; i < all.size(); ++i) {
      SONORIK_FUZZ_CHECK(same_bits(all[i], decoded->samples[i]));
    }
  }

  if (all.empty()) return;
  // The last frame alone, then every channel and every pair of neighbours in every frame.
  const unsigned channels = info.channels;
  std::vector<double> last(channels);
  source.read(info.frames - 1, 1, last.data());
  for (unsigned c = 0; c < channels; ++c) {
    SONORIK_FUZZ_CHECK(same_bits(last[c], all[all.size() - channels + c]));
  }
  for (unsigned width = 1; width <= 2; ++width) {
    std::vector<double> got(static_cast<std::size_t>(info.frames) * width);
    for (unsigned c = 0; c + width <= channels; ++c) {
      source.read_channels(0, static_cast<std::size_t>(info.frames), c, width, got.data());
      for (std::size_t i = 0; i < got.size(); ++i) {
        SONORIK_FUZZ_CHECK(same_bits(got[i], all[i / width * channels + c + i % width]));
      }
    }
  }
}

inline bool cheap_to_measure(std::uint32_t rate_hz, std::uint16_t channels) {
  return std::uint64_t{rate_hz} * channels <= kMaxMeasuredSamplesPerSecond;
}

inline bool same_info(const AudioInfo& a, const AudioInfo& b) {
  return a.sample_rate == b.sample_rate && a.channels == b.channels && a.bit_depth == b.bit_depth &&
         a.sample_format == b.sample_format && a.total_samples == b.total_samples &&
         (a.duration_seconds == b.duration_seconds ||
          (std::isnan(a.duration_seconds) && std::isnan(b.duration_seconds)));
}

// get_audio_info_py's header-only read gives what the loader gives after
// decoding and looping, or the same error.
inline void info_from_header(Bytes bytes) {
  const std::string input = write_input(bytes);
  Result<AudioInfo> info = AudioData::load_info(input);
  if (info && !cheap_to_measure(info->sample_rate, info->channels)) return;
  const Result<AudioData> loaded = AudioData::load_from_file_with_options(input, {});
  SONORIK_FUZZ_CHECK(info.ok() == loaded.ok());
  if (!info) {
    SONORIK_FUZZ_CHECK(info.error().message() == loaded.error().message());
    return;
  }
  SONORIK_FUZZ_CHECK(same_info(*info, loaded->info));
}

inline void decoder(Bytes bytes) {
  info_from_header(bytes);
  const Result<AudioData> audio = decode_wav_bytes(bytes);
  if (!audio) {
    SONORIK_FUZZ_CHECK(!audio.error().message().empty());
    return;
  }
  const AudioInfo& info = audio->info;
  SONORIK_FUZZ_CHECK(info.channels >= 1 && audio->samples.size() == info.total_samples &&
                     audio->samples.size() <= bytes.size());
  for (double s : audio->samples)
    SONORIK_FUZZ_CHECK(info.sample_format == SampleFormat::F32 || std::fabs(s) <= 1.0);
}

inline void analysis(Bytes bytes) {
  const MetricList all = metrics_from_flags(MeasureFlags::all());

  Result<AudioData> audio = decode_wav_bytes(bytes);
  if (audio && cheap_to_measure(audio->info.sample_rate, audio->info.channels)) {
    audio->ensure_minimum_duration(kMinimumDurationSeconds);
    const Result<AnalysisResults> r = analysis::AudioAnalyzer::analyze(*audio, all);
    if (r) SONORIK_FUZZ_CHECK(r->rms_max.has_value() && r->true_peak.has_value());
  }

  const Result<UltraFastWavReader> reader = UltraFastWavReader::open(write_input(bytes));
  if (reader && cheap_to_measure(reader->info().sample_rate, reader->info().channels)) {
    const Result<AnalysisResults> r =
        analysis::RobustAnalyzer::analyze_with_fallback(reader.value(), all);
    if (r) SONORIK_FUZZ_CHECK(r->true_peak.has_value() && r->rms_average.has_value());
  }
}

// The streamed normalisation wrote the bytes the whole decoded record gives:
// looped for the measurement, the gain applied to its own whole frames.
inline void same_as_in_memory(AudioData audio, const normalize::NormalizationTarget& target,
                              const std::string& streamed) {
  const std::size_t own = audio.samples.size() / audio.info.channels * audio.info.channels;
  audio.ensure_minimum_duration(kMinimumDurationSeconds);
  Result<double> gain = normalize::normalization_gain_db(audio, target);
  SONORIK_FUZZ_CHECK(gain.ok());
  const std::span<double> samples(audio.samples.data(), std::min(own, audio.samples.size()));
  normalize::apply_gain_db(samples, *gain);
  const std::string reference = scratch_dir() + "/reference.wav";
  SONORIK_FUZZ_CHECK(normalize::write_normalized_samples(reference, audio.info, samples).ok());
  const Result<MappedFile> a = MappedFile::open(streamed), b = MappedFile::open(reference);
  SONORIK_FUZZ_CHECK(a.ok() && b.ok() && a->size() == b->size() &&
                     std::memcmp(a->bytes().data(), b->bytes().data(), a->size()) == 0);
}

// selector % 128: the measure flags; selector / 128 % 6: the normalisation
// kind; selector / 768 % 2: a target range instead of an exact target.
inline void normalize_batch(Bytes bytes, unsigned selector) {
  const std::string input = write_input(bytes), output = scratch_dir() + "/out.wav";
  const Result<AudioData> audio = decode_wav_bytes(bytes);
  if (!audio || !cheap_to_measure(audio->info.sample_rate, audio->info.channels)) return;

  normalize::NormalizationTarget target;
  target.kind = static_cast<normalize::NormalizationKind>(selector / 128 % 6);
  target.target = -23.0;
  if (selector / 768 % 2 == 1) target.range_bound = -16.0;
  if (const auto failed = normalize::normalize_file(input, target, output); !failed) {
    // What was written reads back with the input's own frames.
    const Result<AudioData> written = AudioData::load_without_looping(output);
    SONORIK_FUZZ_CHECK(written.ok() && written->info.channels == audio->info.channels &&
                       written->samples.size() ==
                           audio->samples.size() / audio->info.channels * audio->info.channels);
    same_as_in_memory(audio.value(), target, output);
  }

  const unsigned b = selector % 128;
  const MeasureFlags flags{(b & 1u) != 0,  (b & 2u) != 0,  (b & 4u) != 0, (b & 8u) != 0,
                           (b & 16u) != 0, (b & 32u) != 0, (b & 64u) != 0};
  const std::vector<BatchEntry> entries = batch_analyze({input}, flags);
  SONORIK_FUZZ_CHECK(entries.size() <= 1);
  for (const BatchEntry& e : entries) {
    SONORIK_FUZZ_CHECK(e.results.rms_max.has_value() == flags.rms_max &&
                       e.results.true_peak.has_value() == flags.true_peak);
  }
  const auto format = static_cast<report::OutputFormat>(selector % 4);
  const std::string report = scratch_dir() + "/report";
  ::unlink(report.c_str());
  const std::optional<report::ExportError> exported =
      report::export_files({input}, report, format, flags);
  SONORIK_FUZZ_CHECK(exported.has_value() == entries.empty());
}

inline void normalize_batch(Bytes bytes) {
  const unsigned selector =
      bytes.size() < 2 ? 0u
                       : unsigned{bytes[bytes.size() - 1]} | unsigned{bytes[bytes.size() - 2]} << 8;
  normalize_batch(bytes, selector);
}

// The same bytes opened twice and measured side by side: each measurement
// is the one of the bytes measured alone (`alone`), to the bit.
inline void together(Bytes bytes, const std::vector<int>& roles,
                     const Result<analysis::StandardMeasurement>& alone) {
  std::vector<AudioSource> sources;
  std::vector<analysis::StandardSession> sessions;
  for (int i = 0; i < 2; ++i) {
    Result<AudioSource> s = open_audio(std::make_unique<MemoryFile>(bytes));
    if (!s) return;
    Result<analysis::StandardSession> session = analysis::StandardSession::create(
        s->info.channels, s->info.rate_hz, roles, false, {}, s->info.frames);
    if (!session) return;
    sources.push_back(std::move(s).value());
    sessions.push_back(std::move(session).value());
  }
  std::vector<analysis::Engine::Reader> readers;
  for (AudioSource& s : sources) {
    readers.emplace_back([&s](double* out, std::size_t n) {
      Result<std::size_t> got = s.reader.read(out, std::min<std::size_t>(n, 4096));
      if (got) (void)first_non_finite(out, *got, s.info.channels, 0);
      return got;
    });
  }
  std::vector<analysis::StandardSession*> running = {&sessions[0], &sessions[1]};
  std::vector<const analysis::Engine::Reader*> reading = {&readers[0], &readers[1]};
  const auto got = analysis::StandardSession::finish_together(running, reading);
  const auto same = [](double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; };
  for (const Result<analysis::StandardMeasurement>& m : got) {
    SONORIK_FUZZ_CHECK(m.ok() == alone.ok());
    if (m.ok()) {
      SONORIK_FUZZ_CHECK(m->frames == alone->frames);
      SONORIK_FUZZ_CHECK(same(m->integrated_lufs, alone->integrated_lufs));
      SONORIK_FUZZ_CHECK(same(m->true_peak_dbtp, alone->true_peak_dbtp));
      SONORIK_FUZZ_CHECK(same(m->rms_average_dbfs, alone->rms_average_dbfs));
      for (const auto member : {&analysis::StandardMeasurement::momentary_max_lufs,
                                &analysis::StandardMeasurement::short_term_max_lufs}) {
        const std::optional<double>& a = m.value().*member;
        const std::optional<double>& b = alone.value().*member;
        SONORIK_FUZZ_CHECK(a.has_value() == b.has_value() && (!a || same(*a, *b)));
      }
      const std::vector<double>& rms = m->channel_rms_average_dbfs;
      const std::vector<double>& rms_alone = alone->channel_rms_average_dbfs;
      SONORIK_FUZZ_CHECK(rms.size() == rms_alone.size());
      for (std::size_t c = 0; c < rms.size(); ++c) SONORIK_FUZZ_CHECK(same(rms[c], rms_alone[c]));
    }
  }
}

inline constexpr std::uint64_t kFnvStart = 14695981039346656037ull;

// FNV-1a over the bytes of n values.
inline std::uint64_t fnv(std::uint64_t h, const double* p, std::size_t n) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  for (std::size_t i = 0; i < n * sizeof(double); ++i) h = (h ^ b[i]) * 1099511628211ull;
  return h;
}

// What one pass through a reader read: its frames, a hash of their
// samples, and how it stopped.
struct Pass {
  std::uint64_t frames = 0, hash = kFnvStart;
  bool failed = false, ended = false;
};

// Reads blocks to the end, the first error, or past `limit` frames, handing
// each block and the frames before it to `each`.
template <class Each>
Pass read_through(AudioReader& reader, std::vector<double>& block, unsigned channels,
                  std::uint64_t limit, Each each) {
  Pass pass;
  for (;;) {
    Result<std::size_t> got = reader.read(block.data(), block.size() / channels);
    if (!got) {
      pass.failed = true;
      return pass;
    }
    pass.ended = *got == 0;
    if (pass.ended || pass.frames > limit) return pass;
    each(block.data(), *got, pass.frames);
    pass.hash = fnv(pass.hash, block.data(), *got * channels);
    pass.frames += *got;
  }
}

// The door over the bytes in memory: open, read to the end (or the first
// error) into the standard measurement, rewind and read again; both passes
// must give the same frames.
inline void door(Bytes bytes) {
  Result<AudioSource> source = open_audio(std::make_unique<MemoryFile>(bytes));
  if (!source) return;
  const SourceInfo& info = source->info;
  if (analysis::unmeasurable_reason(info.channels, info.rate_hz)) return;
  const bool measured = std::uint64_t{info.rate_hz} * info.channels <= kMaxMeasuredSamplesPerSecond;
  std::vector<int> roles;
  for (const std::string& n : source->layout)
    roles.push_back(analysis::channel_role(n).value_or(0));
  std::vector<double> block(4096 * std::size_t{info.channels});
  std::optional<Result<analysis::StandardSession>> session;
  if (measured) {
    session.emplace(analysis::StandardSession::create(info.channels, info.rate_hz, roles, false));
  }
  // At most a minute of audio: the decoder's cost, not the meter's, is fuzzed.
  const std::uint64_t limit = std::uint64_t{info.rate_hz} * 60;
  const Pass first = read_through(source->reader, block, info.channels, limit,
                                  [&](const double* p, std::size_t n, std::uint64_t at) {
    (void)first_non_finite(p, n, info.channels, at);
    if (session && *session) SONORIK_FUZZ_CHECK((*session)->feed(p, n).ok());
  });
  // The same bytes as a file read once through by position: the same
  // frames, samples and ending.
  Result<AudioSource> once = open_audio_once(write_input(bytes));
  SONORIK_FUZZ_CHECK(once.ok() && once->info.frames == info.frames &&
                     once->layout == source->layout);
  const Pass again = read_through(once->reader, block, info.channels, limit,
                                  [](const double*, std::size_t, std::uint64_t) {});
  SONORIK_FUZZ_CHECK(again.frames == first.frames && again.hash == first.hash &&
                     again.failed == first.failed && again.ended == first.ended);
  std::optional<Result<analysis::StandardMeasurement>> alone;
  if (session && *session) alone.emplace((*session)->finish());
  if (alone && first.ended) together(bytes, roles, *alone);
  if (first.failed || !source->reader.rewind().ok()) return;
  std::uint64_t second_pass = 0;
  for (;;) {
    Result<std::size_t> got = source->reader.read(block.data(), 4096);
    if (!got || *got == 0 || second_pass >= first.frames) break;
    second_pass += *got;
  }
  SONORIK_FUZZ_CHECK(second_pass >= first.frames);
}

}  // namespace sonorik::fuzz
