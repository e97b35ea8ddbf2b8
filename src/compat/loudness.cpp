#include "compat/loudness.h"

#include "analysis/block_energies.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace sonorik::analysis {

namespace {

// Feeds every whole frame of the audio in consecutive chunks of
// `chunk_frames` (the last may be shorter) and calls after_feed(ok, frames)
// after each chunk. A trailing incomplete frame is never fed.
template <class AfterFeed>
void feed_whole_frames(Meter& meter, const AudioData& audio, std::size_t chunk_frames,
                       AfterFeed&& after_feed) {
  const std::size_t channels = meter.channels();
  const std::size_t frames = audio.samples.size() / channels;
  const double* data = audio.samples.data();
  chunk_frames = std::max<std::size_t>(chunk_frames, 1);
  for (std::size_t start = 0; start < frames; start += chunk_frames) {
    const std::size_t n = std::min(chunk_frames, frames - start);
    after_feed(meter.add_frames(data + start * channels, n), n);
  }
}

double loudness_or_floor(std::optional<double> v) {
  return v && std::isfinite(*v) ? *v : kLoudnessFloorLufs;
}

double range_or_fallback(std::optional<double> v) {
  return v && std::isfinite(*v) && *v >= 0.0 ? *v : kRangeFallbackLu;
}

// Raises `max` to a finite reading; failed reads and -inf leave it unchanged.
void raise_to(double& max, std::optional<double> v) {
  if (v && std::isfinite(*v) && *v > max) max = *v;
}

Result<Meter> make_meter(const AudioData& audio, int mode) {
  return Meter::create(audio.info.channels, audio.info.sample_rate, mode);
}

// The running maximum of one reading taken after every 100 ms step.
template <class Read>
Result<double> max_over_steps(const AudioData& audio, int mode, Read read) {
  auto meter = make_meter(audio, mode);
  if (!meter) return std::move(meter).error();
  double max = kLoudnessFloorLufs;
  feed_whole_frames(*meter, audio, loudness_step_frames(audio.info.sample_rate),
                    [&](bool fed, std::size_t) {
                      if (fed) raise_to(max, read(*meter));
                    });
  return max;
}

}  // namespace

std::size_t loudness_step_frames(unsigned long rate_hz) {
  return static_cast<std::size_t>(static_cast<double>(rate_hz) * 0.1);
}

Result<double> calculate_integrated_loudness(const AudioData& audio) {
  auto meter = make_meter(audio, Meter::kModeI);
  if (!meter) return std::move(meter).error();
  const double duration_s = audio.info.duration_seconds;
  std::size_t chunk_samples = 48000;
  if (duration_s < 5.0) {
    chunk_samples = 4800;
  } else if (duration_s < 30.0) {
    chunk_samples = 24000;
  }
  feed_whole_frames(*meter, audio, chunk_samples / meter->channels(), [](bool, std::size_t) {});
  return loudness_or_floor(meter->global());
}

Result<double> calculate_short_term_loudness(const AudioData& audio) {
  return max_over_steps(audio, Meter::kModeS, [](const Meter& m) { return m.shortterm(); });
}

Result<double> calculate_momentary_loudness(const AudioData& audio) {
  return max_over_steps(audio, Meter::kModeM, [](const Meter& m) { return m.momentary(); });
}

Result<LoudnessPass> LoudnessPass::create(const AudioData& audio, const LoudnessRequest& request) {
  LoudnessPass pass(audio, request);
  int mode = 0;
  if (request.integrated) mode |= Meter::kModeI;
  if (request.short_term) mode |= Meter::kModeS;
  if (request.momentary) mode |= Meter::kModeM;
  if (request.range) mode |= Meter::kModeLra;
  if (mode != 0) {
    auto meter = make_meter(audio, mode);
    if (!meter) return std::move(meter).error();
    pass.meter_.emplace(std::move(meter).value());
  }
  return pass;
}

LoudnessValues LoudnessPass::run() {
  LoudnessValues out;
  if (!meter_) return out;
  Meter& meter = *meter_;
  const unsigned long rate_hz = audio_->info.sample_rate;
  const bool reads_steps = request_.short_term || request_.momentary;
  // Without step readings the split of the frames is free: large chunks.
  const std::size_t step = reads_steps ? loudness_step_frames(rate_hz) : std::size_t{48000};

  // The meter's momentary and short-term windows are 4 and 30 of its 100 ms
  // blocks of (rate + 5) / 10 frames. Where a step is exactly one such block,
  // both readings at a step boundary are the means of the last 4 / 30 block
  // energies, so one 100 ms reading per step replaces summing the whole 3 s
  // window at every step. Other rates, the short last step and any failure
  // fall back to reading the windows directly.
  BlockEnergies history;
  bool composing = reads_steps && step == (rate_hz + 5) / 10;

  feed_whole_frames(meter, *audio_, step, [&](bool fed, std::size_t frames) {
    if (!fed) {
      composing = false;
      return;
    }
    if (!reads_steps) return;
    if (composing && frames == step) {
      if (const std::optional<double> block = meter.window(100)) {
        history.push(energy_of(*block));
        if (request_.momentary) raise_to(out.momentary_lufs, history.momentary_lufs());
        if (request_.short_term) raise_to(out.short_term_lufs, history.short_term_lufs());
        return;
      }
      composing = false;
    }
    if (request_.momentary) raise_to(out.momentary_lufs, meter.momentary());
    if (request_.short_term) raise_to(out.short_term_lufs, meter.shortterm());
  });
  if (request_.integrated) out.integrated_lufs = loudness_or_floor(meter.global());
  if (request_.range) out.range_lu = range_or_fallback(meter.range());
  meter_.reset();
  return out;
}

}  // namespace sonorik::analysis
