#include "compat/loudness.h"

#include "analysis/engine.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>

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

// The values live beside the engine, whose step callback raises them.
struct LoudnessScan::State {
  LoudnessRequest request;
  LoudnessValues out;
  std::optional<Engine> engine;
  bool failed = false;
};

LoudnessScan::LoudnessScan(std::unique_ptr<State> state) : state_(std::move(state)) {}
LoudnessScan::LoudnessScan(LoudnessScan&&) noexcept = default;
LoudnessScan& LoudnessScan::operator=(LoudnessScan&&) noexcept = default;
LoudnessScan::~LoudnessScan() = default;

Result<LoudnessScan> LoudnessScan::create(unsigned channels, std::uint32_t rate_hz,
                                          const LoudnessRequest& request) {
  auto state = std::make_unique<State>();
  state->request = request;
  if (!request.any()) return LoudnessScan(std::move(state));
  // The meter's refusal ("NoMem") is known before any other work starts.
  Result<Meter> probe = Meter::create(channels, rate_hz, mode_of(request));
  if (!probe) return std::move(probe).error();

  // Momentary and short-term read after every step of trunc(rate x 0.1)
  // frames, integrated and range once at the end.
  State* s = state.get();
  EngineConfig c;
  c.channels = channels;
  c.rate_hz = rate_hz;
  c.loudness = true;
  c.loudness_mode = mode_of(request);
  c.step_readings = request.short_term || request.momentary;
  c.step_frames = loudness_step_frames(rate_hz);
  c.on_step = [s](const StepReading& r) {
    if (s->request.momentary) raise_to(s->out.momentary_lufs, r.momentary_lufs);
    if (s->request.short_term) raise_to(s->out.short_term_lufs, r.short_term_lufs);
  };
  c.true_peak = false;
  c.rms = false;
  state->engine.emplace(std::move(c));
  return LoudnessScan(std::move(state));
}

Status LoudnessScan::feed(const double* interleaved, std::size_t frames) {
  if (!state_->engine || state_->failed) return ok_status();
  Status s = state_->engine->feed(interleaved, frames);
  if (!s) state_->failed = true;
  return s;
}

LoudnessValues LoudnessScan::finish() {
  State& s = *state_;
  if (!s.engine || s.failed) return s.out;
  Result<EngineResult> r = s.engine->finish();
  if (!r || !r->loudness_measured) return s.out;
  if (s.request.integrated) s.out.integrated_lufs = loudness_or_floor(r->integrated_lufs);
  if (s.request.range) s.out.range_lu = range_or_fallback(r->library_range_lu);
  return s.out;
}

Result<LoudnessPass> LoudnessPass::create(const AudioData& audio, const LoudnessRequest& request) {
  Result<LoudnessScan> scan =
      LoudnessScan::create(audio.info.channels, audio.info.sample_rate, request);
  if (!scan) return std::move(scan).error();
  return LoudnessPass(audio, std::move(scan).value());
}

// Every whole frame of the audio; a trailing incomplete frame is never fed.
LoudnessValues LoudnessPass::run() {
  const unsigned channels = audio_->info.channels;
  if (channels > 0) (void)scan_.feed(audio_->samples.data(), audio_->samples.size() / channels);
  return scan_.finish();
}

}  // namespace sonorik::analysis
