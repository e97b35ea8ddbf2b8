#include "analysis/standard_measurement.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "analysis/block_energies.h"
#include "analysis/meter.h"

namespace sonorik::analysis {

namespace {

constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNan = std::numeric_limits<double>::quiet_NaN();
constexpr double kAbsoluteGateLufs = -70.0;
constexpr double kRangeRelativeGate = 0.01;  // -20 LU in energy
constexpr std::uint64_t kMomentarySteps = 4;
constexpr std::uint64_t kShortTermSteps = 30;

double db(double amplitude) { return amplitude > 0.0 ? 20.0 * std::log10(amplitude) : -kInf; }
double db_power(double mean_square) {
  return mean_square > 0.0 ? 10.0 * std::log10(mean_square) : -kInf;
}

// The 10th and 95th percentiles of the gated short-term blocks, as the
// library picks them for its range.
void range_percentiles(const std::vector<double>& blocks_lufs, StandardMeasurement& out) {
  std::vector<double> energies;
  const double absolute = energy_of(kAbsoluteGateLufs);
  for (double v : blocks_lufs) {
    const double e = energy_of(v);
    if (e >= absolute) energies.push_back(e);
  }
  if (energies.empty()) return;
  double mean = 0.0;
  for (double e : energies) mean += e;
  mean /= static_cast<double>(energies.size());
  const double relative = mean * kRangeRelativeGate;
  std::vector<double> gated;
  for (double e : energies) {
    if (e >= relative) gated.push_back(e);
  }
  if (gated.empty()) return;
  std::sort(gated.begin(), gated.end());
  const double last = static_cast<double>(gated.size() - 1);
  out.loudness_range_low_lufs = loudness_of(gated[static_cast<std::size_t>(last * 0.1 + 0.5)]);
  out.loudness_range_high_lufs = loudness_of(gated[static_cast<std::size_t>(last * 0.95 + 0.5)]);
}

}  // namespace

// What a session keeps: the parts asked for, the readings gathered from the
// engine's callbacks, and the engine itself (last: destroyed first, as its
// workers write into the rest).
struct StandardSession::State {
  unsigned channels;
  std::uint32_t rate_hz;
  bool series;
  MeasureParts parts;
  std::uint64_t step;  // frames per 100 ms step
  StandardMeasurement out;
  std::vector<std::uint64_t> series_ends;  // frames, one per series entry
  double total = 0.0;                      // sum of squares of every sample
  double max_block = -1.0;                 // of whole RMS blocks; -1 for none
  std::vector<double> channel_total;
  std::vector<double> channel_max;
  std::optional<Engine> engine;

  State(unsigned channels_in, std::uint32_t rate_in, bool series_in, const MeasureParts& parts_in)
      : channels(channels_in),
        rate_hz(rate_in),
        series(series_in),
        parts(parts_in),
        step((rate_in + 5) / 10),
        channel_total(channels_in, 0.0),
        channel_max(channels_in, -1.0) {
    out.rate_hz = rate_hz;
    out.channels = channels;
  }

  EngineConfig config(const std::vector<int>& roles);
  void take_step(const StepReading& r);
  void take_rms_block(const RmsBlock& b);
  void fill_loudness(const EngineResult& r);
  void fill_series(const EngineResult& r);
  void fill_levels(const EngineResult& r);
};

EngineConfig StandardSession::State::config(const std::vector<int>& roles) {
  EngineConfig c;
  c.channels = channels;
  c.rate_hz = rate_hz;
  c.loudness_mode = Meter::kModeM | Meter::kModeI |
                    (parts.short_term || series ? Meter::kModeS : 0) |
                    (parts.loudness_range ? Meter::kModeLra : 0);
  c.step_frames = step;
  c.channel_roles = roles;
  c.range_blocks = parts.loudness_range;
  c.step_readings = parts.momentary || parts.short_term || series;
  c.on_step = [this](const StepReading& r) { take_step(r); };
  c.channel_loudness = parts.channel_loudness && channels > 1;
  c.true_peak = true;
  c.step_true_peaks = series;
  c.rms = parts.rms;
  c.channel_sums = true;
  c.rms_block_frames = step;
  c.on_rms_block = [this](const RmsBlock& b) { take_rms_block(b); };
  return c;
}

void StandardSession::State::take_step(const StepReading& r) {
  const bool momentary_full = r.end_frame >= kMomentarySteps * step;
  const bool short_term_full = r.end_frame >= kShortTermSteps * step;
  const double m = momentary_full ? r.momentary_lufs.value_or(kNan) : kNan;
  const double s =
      short_term_full && (parts.short_term || series) ? r.short_term_lufs.value_or(kNan) : kNan;
  if (!std::isnan(m)) out.momentary_max_lufs = std::max(out.momentary_max_lufs.value_or(-kInf), m);
  if (!std::isnan(s))
    out.short_term_max_lufs = std::max(out.short_term_max_lufs.value_or(-kInf), s);
  if (series) {
    out.series_time_s.push_back(static_cast<double>(r.end_frame) / rate_hz);
    series_ends.push_back(r.end_frame);
    out.series_momentary_lufs.push_back(m);
    out.series_short_term_lufs.push_back(s);
  }
}

void StandardSession::State::take_rms_block(const RmsBlock& b) {
  total += b.sum;
  const bool whole = b.samples == step * channels;
  if (whole) max_block = std::max(max_block, b.sum);
  for (unsigned ch = 0; ch < channels; ++ch) {
    channel_total[ch] += b.channel_sums[ch];
    if (whole) channel_max[ch] = std::max(channel_max[ch], b.channel_sums[ch]);
  }
}

void StandardSession::State::fill_loudness(const EngineResult& r) {
  out.frames = r.frames;
  out.integrated_lufs = r.integrated_lufs.value_or(-kInf);
  out.relative_gate_lufs =
      std::isfinite(out.integrated_lufs) ? r.relative_gate_lufs.value_or(-kInf) : -kInf;
  if (!r.range_block_lufs.empty()) {
    out.loudness_range_lu = r.range_lu;
    range_percentiles(r.range_block_lufs, out);
  }
}

void StandardSession::State::fill_series(const EngineResult& r) {
  // One peak per loudness step; a step whose loudness could not be read
  // has no reading, so the peaks are matched to the steps by their ends.
  for (std::uint64_t end_frame : series_ends) {
    const std::uint64_t i = (end_frame + step - 1) / step - 1;
    out.series_true_peak_dbtp.push_back(i < r.step_true_peak.size() ? db(r.step_true_peak[i])
                                                                    : kNan);
  }
}

void StandardSession::State::fill_levels(const EngineResult& r) {
  const double frames = static_cast<double>(r.frames);
  out.true_peak_dbtp = -kInf;
  out.sample_peak_dbfs = -kInf;
  if (!parts.rms) {
    for (unsigned ch = 0; ch < channels; ++ch) {
      out.channel_true_peak_dbtp.push_back(db(r.true_peak[ch]));
      out.true_peak_dbtp = std::max(out.true_peak_dbtp, out.channel_true_peak_dbtp.back());
    }
    out.sample_peak_dbfs = kNan;
    out.rms_average_dbfs = kNan;
    return;
  }
  for (unsigned ch = 0; ch < channels; ++ch) {
    out.channel_true_peak_dbtp.push_back(db(r.true_peak[ch]));
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
  out.rms_average_dbfs = r.frames > 0 ? db_power(total / (frames * channels)) : -kInf;
  if (max_block >= 0.0)
    out.rms_max_dbfs = db_power(max_block / static_cast<double>(step * channels));
}

Result<StandardSession> StandardSession::create(unsigned channels, std::uint32_t rate_hz,
                                                const std::vector<int>& roles, bool series,
                                                const MeasureParts& parts) {
  if (!Meter::accepts(channels, rate_hz)) return Error("unsupported rate or channel count");
  auto state = std::make_unique<State>(channels, rate_hz, series, parts);
  state->engine.emplace(state->config(roles));
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

Result<StandardMeasurement> StandardSession::finish() {
  if (!state_) return Error("measurement finished");
  Result<EngineResult> run = state_->engine->finish();
  if (!run) return std::move(run).error();
  State& s = *state_;
  const EngineResult& r = *run;
  if (!r.loudness_measured || r.true_peak.size() != s.channels) return Error("NoMem");
  s.fill_loudness(r);
  if (s.series) s.fill_series(r);
  s.fill_levels(r);
  return std::move(s.out);
}

Result<StandardMeasurement> measure_standard(unsigned channels, std::uint32_t rate_hz,
                                             const std::vector<int>& roles, bool series,
                                             const Engine::Reader& read) {
  return measure_standard(channels, rate_hz, roles, series, read, MeasureParts{});
}

Result<StandardMeasurement> measure_standard(unsigned channels, std::uint32_t rate_hz,
                                             const std::vector<int>& roles, bool series,
                                             const Engine::Reader& read,
                                             const MeasureParts& parts) {
  Result<StandardSession> session =
      StandardSession::create(channels, rate_hz, roles, series, parts);
  if (!session) return std::move(session).error();
  for (;;) {
    Result<std::size_t> got = session->feed_from(read);
    if (!got) return std::move(got).error();
    if (*got == 0) return session->finish();
  }
}

}  // namespace sonorik::analysis
