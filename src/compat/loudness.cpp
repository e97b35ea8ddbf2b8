#include "compat/loudness.h"

#include "analysis/engine.h"

#include <algorithm>
#include <array>
#include <cmath>

namespace sonorik::analysis {

namespace {

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

int mode_of(const LoudnessRequest& request) {
  int mode = 0;
  if (request.integrated) mode |= Meter::kModeI;
  if (request.short_term) mode |= Meter::kModeS;
  if (request.momentary) mode |= Meter::kModeM;
  if (request.range) mode |= Meter::kModeLra;
  return mode;
}

// The requested measures of every whole frame of the audio through the
// engine (loudness only): momentary and short-term read after every 100 ms
// step of trunc(rate x 0.1) frames, integrated and range once at the end.
// A trailing incomplete frame is never fed.
LoudnessValues measure_through_engine(const AudioData& audio, const LoudnessRequest& request) {
  LoudnessValues out;
  const unsigned channels = audio.info.channels;
  EngineConfig c;
  c.channels = channels;
  c.rate_hz = audio.info.sample_rate;
  c.loudness = true;
  c.loudness_mode = mode_of(request);
  c.step_readings = request.short_term || request.momentary;
  c.step_frames = loudness_step_frames(audio.info.sample_rate);
  c.on_step = [&](const StepReading& r) {
    if (request.momentary) raise_to(out.momentary_lufs, r.momentary_lufs);
    if (request.short_term) raise_to(out.short_term_lufs, r.short_term_lufs);
  };
  c.true_peak = false;
  c.rms = false;
  const std::size_t frames = audio.samples.size() / channels;
  Engine engine(std::move(c));
  Result<EngineResult> r = engine.feed(audio.samples.data(), frames).ok()
                               ? engine.finish()
                               : Result<EngineResult>(Error("measurement failed"));
  if (!r || !r->loudness_measured) return out;
  if (request.integrated) out.integrated_lufs = loudness_or_floor(r->integrated_lufs);
  if (request.range) out.range_lu = range_or_fallback(r->library_range_lu);
  return out;
}

Result<double> one_measure(const AudioData& audio, LoudnessRequest request,
                           double LoudnessValues::*value) {
  Result<LoudnessPass> pass = LoudnessPass::create(audio, request);
  if (!pass) return std::move(pass).error();
  return pass->run().*value;
}

}  // namespace

std::size_t loudness_step_frames(unsigned long rate_hz) {
  return static_cast<std::size_t>(static_cast<double>(rate_hz) * 0.1);
}

Result<double> calculate_integrated_loudness(const AudioData& audio) {
  return one_measure(audio, {.integrated = true}, &LoudnessValues::integrated_lufs);
}

Result<double> calculate_short_term_loudness(const AudioData& audio) {
  return one_measure(audio, {.short_term = true}, &LoudnessValues::short_term_lufs);
}

Result<double> calculate_momentary_loudness(const AudioData& audio) {
  return one_measure(audio, {.momentary = true}, &LoudnessValues::momentary_lufs);
}

Result<LoudnessPass> LoudnessPass::create(const AudioData& audio, const LoudnessRequest& request) {
  if (request.any()) {
    // The meter's refusal ("NoMem") is known before any other work starts.
    Result<Meter> probe =
        Meter::create(audio.info.channels, audio.info.sample_rate, mode_of(request));
    if (!probe) return std::move(probe).error();
  }
  return LoudnessPass(audio, request);
}

LoudnessValues LoudnessPass::run() {
  if (!request_.any()) return LoudnessValues{};
  return measure_through_engine(*audio_, request_);
}

}  // namespace sonorik::analysis
