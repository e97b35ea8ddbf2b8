#include "analysis/standard_measurement.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/block_energies.h"
#include "analysis/gating.h"
#include "analysis/meter.h"

namespace sonorik::analysis {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kAbsoluteGateLufs = -70.0;
constexpr std::uint64_t kMomentarySteps = 4;
constexpr std::uint64_t kShortTermSteps = 30;

double db(double amplitude) { return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : -kInf; }
double db_power(double mean_square) {
  return mean_square > 0.0 ? 10.0 * std::log10(mean_square) : -kInf;
}

}  // namespace

// What the engine's callbacks gather.
struct Gathered {
  StandardMeasurement out;
  std::vector<std::uint64_t> series_ends;  // frames, one per series entry
  double total = 0.0;                      // sum of squares of every sample
  double max_block = -1.0;                 // of whole RMS blocks; -1 for none
  std::vector<double> channel_total;
  std::vector<double> channel_max;
};

// What a session keeps: the parts asked for, the readings gathered from the
// engine's callbacks, and the engine itself (last: destroyed first, as its
// workers write into the rest).
struct StandardSession::State {
  unsigned channels;
  std::uint32_t rate_hz;
  bool series;
  MeasureParts parts;
  std::vector<int> roles;
  std::uint64_t step;  // frames per 100 ms step
  std::uint64_t expected_frames = 0;
  Gathered g;
  std::optional<Engine> engine;

  State(unsigned channels_in, std::uint32_t rate_in, bool series_in, const MeasureParts& parts_in,
        std::vector<int> roles_in)
      : channels(channels_in),
        rate_hz(rate_in),
        series(series_in),
        parts(parts_in),
        roles(std::move(roles_in)),
        step((rate_in + 5) / 10) {
    g.channel_total.assign(channels, 0.0);
    g.channel_max.assign(channels, -1.0);
    g.out.rate_hz = rate_hz;
    g.out.channels = channels;
  }

  // Whether the steps' readings feed the maxima (a part left out leaves its
  // maximum absent; the momentary maximum comes with any step readings).
  bool keeps_momentary() const { return parts.momentary || parts.short_term || series; }
  bool keeps_short_term() const { return parts.short_term || series; }
  bool config_true_peak() const { return parts.true_peak || series; }
  // A channel's true peak, dBTP; NaN when not measured.
  double true_peak_db(const EngineResult& r, unsigned ch) const {
    return config_true_peak() ? db(r.true_peak[ch]) : kNan;
  }
  // A momentary or short-term reading once its window is full, else NaN.
  double momentary_of(const StepReading& r) const {
    return r.end_frame >= kMomentarySteps * step ? r.momentary_lufs.value_or(kNan) : kNan;
  }
  double short_term_of(const StepReading& r) const {
    return r.end_frame >= kShortTermSteps * step ? r.short_term_lufs.value_or(kNan) : kNan;
  }

  EngineConfig config();
  void take_step(const StepReading& r);
  void take_rms_block(const RmsBlock& b);
  void fill_loudness(EngineResult& r);
  void fill_series(const EngineResult& r);
  void fill_levels(const EngineResult& r);
  // The measurement from the engine's run.
  Result<StandardMeasurement> measurement(Result<EngineResult> run);
};

EngineConfig StandardSession::State::config() {
  EngineConfig c;
  c.channels = channels;
  c.rate_hz = rate_hz;
  const bool short_term = parts.short_term || series || parts.loudness_range;
  c.loudness_mode = Meter::kModeM | Meter::kModeI | (short_term ? Meter::kModeS : 0);
  c.step_frames = step;
  c.channel_roles = roles;
  c.step_readings = parts.momentary || short_term;
  c.on_step = [this](const StepReading& r) { take_step(r); };
  c.channel_loudness = parts.channel_loudness && channels > 1;
  c.true_peak = parts.true_peak || series;
  c.step_true_peaks = series;
  c.rms = parts.rms;
  c.channel_sums = true;
  c.rms_block_frames = step;
  c.on_rms_block = [this](const RmsBlock& b) { take_rms_block(b); };
  c.expected_frames = expected_frames;
  return c;
}

void StandardSession::State::take_step(const StepReading& r) {
  StandardMeasurement& out = g.out;
  const double m = momentary_of(r);
  const double s = short_term_of(r);
  if (!std::isnan(m) && keeps_momentary())
    out.momentary_max_lufs = std::max(out.momentary_max_lufs.value_or(-kInf), m);
  if (!std::isnan(s) && keeps_short_term())
    out.short_term_max_lufs = std::max(out.short_term_max_lufs.value_or(-kInf), s);
  if (!std::isnan(s) && parts.loudness_range) {
    ++out.range_readings;
    if (const double e = energy_of(s); e >= energy_of(kAbsoluteGateLufs))
      out.range_energies.push_back(e);
  }
  if (series) {
    out.series_time_s.push_back(static_cast<double>(r.end_frame) / rate_hz);
    g.series_ends.push_back(r.end_frame);
    out.series_momentary_lufs.push_back(m);
    out.series_short_term_lufs.push_back(s);
  }
}

void StandardSession::State::take_rms_block(const RmsBlock& b) {
  g.total += b.sum;
  const bool whole = b.samples == step * channels;
  if (whole) g.max_block = std::max(g.max_block, b.sum);
  for (unsigned ch = 0; ch < channels; ++ch) {
    g.channel_total[ch] += b.channel_sums[ch];
    if (whole) g.channel_max[ch] = std::max(g.channel_max[ch], b.channel_sums[ch]);
  }
}

void StandardSession::State::fill_loudness(EngineResult& r) {
  StandardMeasurement& out = g.out;
  out.frames = r.frames;
  out.integrated_lufs = r.integrated_lufs.value_or(-kInf);
  out.relative_gate_lufs =
      std::isfinite(out.integrated_lufs) ? r.relative_gate_lufs.value_or(-kInf) : -kInf;
  out.gating_block_energies = std::move(r.gating_block_energies);
  if (out.range_readings > 0) {
    const LoudnessRange range = gated_loudness_range(out.range_energies);
    out.loudness_range_lu = range.range_lu;
    out.loudness_range_low_lufs = range.low_lufs;
    out.loudness_range_high_lufs = range.high_lufs;
  }
}

void StandardSession::State::fill_series(const EngineResult& r) {
  // One peak per loudness step; a step whose loudness could not be read
  // has no reading, so the peaks are matched to the steps by their ends.
  StandardMeasurement& out = g.out;
  for (std::uint64_t end_frame : g.series_ends) {
    const std::uint64_t i = (end_frame + step - 1) / step - 1;
    out.series_true_peak_dbtp.push_back(i < r.step_true_peak.size() ? db(r.step_true_peak[i])
                                                                    : kNan);
  }
}

void StandardSession::State::fill_levels(const EngineResult& r) {
  StandardMeasurement& out = g.out;
  const std::vector<double>& channel_total = g.channel_total;
  const std::vector<double>& channel_max = g.channel_max;
  const double frames = static_cast<double>(r.frames);
  out.true_peak_dbtp = -kInf;
  out.sample_peak_dbfs = -kInf;
  if (!config_true_peak()) {
    out.true_peak_dbtp = kNan;  // not asked for: undefined rather than a silent -inf
  }
  if (!parts.rms) {
    for (unsigned ch = 0; ch < channels; ++ch) {
      out.channel_true_peak_dbtp.push_back(true_peak_db(r, ch));
      out.true_peak_dbtp = std::max(out.true_peak_dbtp, out.channel_true_peak_dbtp.back());
    }
    out.sample_peak_dbfs = kNan;
    out.rms_average_dbfs = kNan;
    return;
  }
  for (unsigned ch = 0; ch < channels; ++ch) {
    out.channel_true_peak_dbtp.push_back(true_peak_db(r, ch));
    out.channel_sample_peak_dbfs.push_back(db(r.sample_peak[ch]));
    out.true_peak_dbtp = std::max(out.true_peak_dbtp, out.channel_true_peak_dbtp.back());
    out.sample_peak_dbfs = std::max(out.sample_peak_dbfs, out.channel_sample_peak_dbfs.back());
    out.channel_rms_average_dbfs.push_back(r.frames > 0 ? db_power(channel_total[ch] / frames)
                                                        : -kInf);
    out.channel_rms_max_dbfs.push_back(
        channel_max[ch] >= 0.0
            ? std::optional<double>(db_power(channel_max[ch] / static_cast<double>(step)))
            : std::nullopt);
    if (channels == 1) {
      out.channel_integrated_lufs.push_back(out.integrated_lufs);
    } else if (parts.channel_loudness) {
      out.channel_integrated_lufs.push_back(r.channel_integrated_lufs[ch].value_or(-kInf));
    }
  }
  out.rms_average_dbfs = r.frames > 0 ? db_power(g.total / (frames * channels)) : -kInf;
  if (g.max_block >= 0.0)
    out.rms_max_dbfs = db_power(g.max_block / static_cast<double>(step * channels));
}

Result<StandardSession> StandardSession::create(unsigned channels, std::uint32_t rate_hz,
                                                const std::vector<int>& roles, bool series,
                                                const MeasureParts& parts,
                                                std::uint64_t expected_frames) {
  if (!Meter::accepts(channels, rate_hz)) return Error("unsupported rate or channel count");
  auto state = std::make_unique<State>(channels, rate_hz, series, parts, roles);
  state->expected_frames = expected_frames;
  state->engine.emplace(state->config());
  return StandardSession(std::move(state));
}

StandardSession::StandardSession(std::unique_ptr<State> state) : state_(std::move(state)) {}
StandardSession::StandardSession(StandardSession&&) noexcept = default;
StandardSession& StandardSession::operator=(StandardSession&&) noexcept = default;
StandardSession::~StandardSession() = default;

Status StandardSession::feed(const double* interleaved, std::size_t frames) {
  if (!state_) return Error("measurement finished");
  return state_->engine->feed(interleaved, frames);
}

Result<std::size_t> StandardSession::feed_from(const Engine::Reader& read) {
  if (!state_) return Error("measurement finished");
  return state_->engine->feed_from(read);
}

Status StandardSession::flush() {
  if (!state_) return Error("measurement finished");
  return state_->engine->flush();
}

Result<LiveReadings> StandardSession::now() {
  if (!state_) return Error("measurement finished");
  Result<StepReading> got = state_->engine->now();
  if (!got) return std::move(got).error();
  const State& s = *state_;
  const auto present = [](double v) { return std::isnan(v) ? std::nullopt : std::optional(v); };
  const auto larger = [](std::optional<double> a, std::optional<double> b) {
    return a && b ? std::max(*a, *b) : a ? a : b;
  };
  LiveReadings out;
  out.frames = got->end_frame;
  if (s.keeps_momentary()) {
    out.momentary_lufs = present(s.momentary_of(*got));
    out.momentary_max_lufs = larger(s.g.out.momentary_max_lufs, out.momentary_lufs);
  }
  if (s.keeps_short_term()) {
    out.short_term_lufs = present(s.short_term_of(*got));
    out.short_term_max_lufs = larger(s.g.out.short_term_max_lufs, out.short_term_lufs);
  }
  return out;
}

std::uint64_t StandardSession::frames_fed() const noexcept {
  return state_ ? state_->engine->frames_fed() : 0;
}

Result<StandardSession> StandardSession::copy() {
  if (!state_) return Error("measurement finished");
  const State& s = *state_;
  auto state = std::make_unique<State>(s.channels, s.rate_hz, s.series, s.parts, s.roles);
  State* to = state.get();
  // The engine first: it waits for the callbacks writing into s.g.
  Result<Engine> engine = state_->engine->copy([to](const StepReading& r) { to->take_step(r); },
                                               [to](const RmsBlock& b) { to->take_rms_block(b); });
  if (!engine) return std::move(engine).error();
  state->g = s.g;
  state->engine.emplace(std::move(engine).value());
  return StandardSession(std::move(state));
}

Result<StandardMeasurement> StandardSession::measurement_so_far() {
  Result<StandardSession> copied = copy();
  if (!copied) return std::move(copied).error();
  return copied->finish();
}

Status StandardSession::reset() {
  if (!state_) return Error("measurement finished");
  const State& s = *state_;
  Result<StandardSession> fresh = create(s.channels, s.rate_hz, s.roles, s.series, s.parts);
  if (!fresh) return Error("NoMem");
  *this = std::move(fresh).value();
  return ok_status();
}

Result<StandardMeasurement> StandardSession::finish() {
  if (!state_) return Error("measurement finished");
  return state_->measurement(state_->engine->finish());
}

Result<StandardMeasurement> StandardSession::State::measurement(Result<EngineResult> run) {
  if (!run) return std::move(run).error();
  EngineResult& r = *run;
  if (!r.loudness_measured || (config_true_peak() && r.true_peak.size() != channels))
    return Error("NoMem");
  fill_loudness(r);
  if (series) fill_series(r);
  fill_levels(r);
  return std::move(g.out);
}

std::vector<Result<StandardMeasurement>> StandardSession::finish_together(
    std::span<StandardSession* const> sessions, std::span<const Engine::Reader* const> readers) {
  std::vector<Engine*> engines;
  for (StandardSession* s : sessions) engines.push_back(&*s->state_->engine);
  std::vector<Result<EngineResult>> runs = Engine::run_together(engines, readers);
  std::vector<Result<StandardMeasurement>> out;
  for (std::size_t i = 0; i < sessions.size(); ++i)
    out.push_back(sessions[i]->state_->measurement(std::move(runs[i])));
  return out;
}

Result<StandardMeasurement> measure_standard(unsigned channels, std::uint32_t rate_hz,
                                             const std::vector<int>& roles, bool series,
                                             const Engine::Reader& read) {
  return measure_standard(channels, rate_hz, roles, series, read, MeasureParts{});
}

Result<StandardMeasurement> measure_standard(unsigned channels, std::uint32_t rate_hz,
                                             const std::vector<int>& roles, bool series,
                                             const Engine::Reader& read, const MeasureParts& parts,
                                             std::uint64_t expected_frames) {
  Result<StandardSession> session =
      StandardSession::create(channels, rate_hz, roles, series, parts, expected_frames);
  if (!session) return std::move(session).error();
  for (;;) {
    Result<std::size_t> got = session->feed_from(read);
    if (!got) return std::move(got).error();
    if (*got == 0) return session->finish();
  }
}

}  // namespace sonorik::analysis
