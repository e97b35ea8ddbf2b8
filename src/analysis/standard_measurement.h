// Loudness, true peak, sample peak and RMS by the standards' own definitions
// (ITU-R BS.1770-4, EBU R 128, Tech 3341 and 3342), over the streaming engine
// in one pass: no repetition of short audio, no floors. A value that the
// audio is too short to define is absent; digital silence reads -inf.
//
// What is measured:
//  - loudness is read every 100 ms step of (rate + 5) / 10 frames (the
//    meter's own block); momentary (400 ms) and short-term (3 s) readings
//    count once their window is full of audio;
//  - integrated loudness and its relative gate are the library's (gating
//    blocks of 400 ms every 100 ms);
//  - loudness range (EBU Tech 3342): from the short-term loudness read at
//    every 100 ms step whose 3 s window is full of audio (consecutive
//    windows overlap by 2.9 s), absolute gate -70 LUFS, relative gate 20 LU
//    below the mean energy of the readings above it, 10th to 95th
//    percentile (both reported; percentile p of n readings is the one of
//    rank round(n p), as gating.h says). The short last step counts, as for
//    the short-term maximum;
//  - true peak: the library's (4x oversampling below 96 kHz, 2x below
//    192 kHz, none above), per channel;
//  - RMS: over all samples of all channels (average), and over consecutive
//    non-overlapping 100 ms blocks of (rate + 5) / 10 frames (maximum; a
//    shorter last block is not a window).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "analysis/engine.h"
#include "core/error.h"

namespace sonorik::analysis {

struct StandardMeasurement {
  std::uint64_t frames = 0;
  std::uint32_t rate_hz = 0;
  unsigned channels = 0;

  double integrated_lufs = 0.0;                   // -inf when no block passes the gates
  std::optional<double> momentary_max_lufs;       // absent below 400 ms
  std::optional<double> short_term_max_lufs;      // absent below 3 s
  std::optional<double> loudness_range_lu;        // absent below 3 s
  std::optional<double> loudness_range_low_lufs;  // absent below 3 s or when no block passes
  std::optional<double> loudness_range_high_lufs;
  double absolute_gate_lufs = -70.0;
  double relative_gate_lufs = 0.0;  // -inf when no block passes the absolute gate
  double true_peak_dbtp = 0.0;
  double sample_peak_dbfs = 0.0;
  double rms_average_dbfs = 0.0;
  std::optional<double> rms_max_dbfs;  // absent below one 100 ms block

  std::vector<double> channel_integrated_lufs;
  std::vector<double> channel_true_peak_dbtp;
  std::vector<double> channel_sample_peak_dbfs;
  std::vector<double> channel_rms_average_dbfs;
  std::vector<std::optional<double>> channel_rms_max_dbfs;

  // With series: one entry per 100 ms step end (the last may be shorter);
  // readings whose window is not yet full are NaN.
  std::vector<double> series_time_s;
  std::vector<double> series_momentary_lufs;
  std::vector<double> series_short_term_lufs;
  // The largest true peak over the channels within each step, dBTP (-inf
  // for digital silence).
  std::vector<double> series_true_peak_dbtp;

  // What album loudness (album.h) pools (gating.h): the energies of the
  // 400 ms gating blocks that reached the absolute gate (absent where the
  // library's meter measured the loudness: see KMeter), and of the
  // short-term readings that the loudness range took and that reached the
  // absolute gate, with the count of all it took. One double per 100 ms
  // each.
  std::optional<std::vector<double>> gating_block_energies;
  std::vector<double> range_energies;
  std::uint64_t range_readings = 0;
};

// The readings at the last frame fed into a StandardSession. A reading
// whose window is not yet full of audio, or whose part is not measured, is
// absent; digital silence reads -inf.
struct LiveReadings {
  std::uint64_t frames = 0;                  // frames fed
  std::optional<double> momentary_lufs;      // the last 400 ms
  std::optional<double> short_term_lufs;     // the last 3 s
  std::optional<double> momentary_max_lufs;  // as finish() would give them now
  std::optional<double> short_term_max_lufs;
};

// The lowest rate measured: K-weighting's high shelf (1,681.97 Hz) must lie
// below half the rate. Under it the meter's filter is no K-weighting at all
// and may be unstable (a -20 dBFS sine sampled at 3 kHz reads +inf LUFS).
inline constexpr std::uint32_t kMinStandardRateHz = 3364;

// The parts of a measurement to take; a part left out leaves its values
// absent (optional fields), empty (per-channel fields) or NaN. Normalisation
// takes only what its gain and report need.
struct MeasureParts {
  bool momentary = true;         // momentary maximum
  bool short_term = true;        // short-term maximum
  bool loudness_range = true;    // range and its percentiles
  bool channel_loudness = true;  // each channel's own integrated loudness
  bool rms = true;               // RMS and sample peaks
  bool true_peak = true;         // true peaks (kept with series: the series has them)
};

// One measurement pushed into the streaming engine (engine.h): feed it in
// any cut, then finish once; the readings are the same for every cut and
// every flush. Memory grows by two doubles per 100 ms of audio (the lists
// album loudness pools), plus the series when asked.
class StandardSession {
 public:
  // `roles` holds libebur128's channel value for each channel; `series`
  // asks for the per-step series; `expected_frames` is the programme's
  // length when known (EngineConfig::expected_frames). Error: "unsupported
  // rate or channel count" outside Meter::accepts.
  static Result<StandardSession> create(unsigned channels, std::uint32_t rate_hz,
                                        const std::vector<int>& roles, bool series,
                                        const MeasureParts& parts = {},
                                        std::uint64_t expected_frames = 0);
  StandardSession(StandardSession&&) noexcept;
  StandardSession& operator=(StandardSession&&) noexcept;
  ~StandardSession();

  // As Engine::feed and Engine::feed_from (an interrupt included).
  Status feed(const double* interleaved, std::size_t frames);
  Result<std::size_t> feed_from(const Engine::Reader& read);

  // As Engine::flush: measures every frame fed so far, ending nothing.
  Status flush();

  // Flushes and gives the readings at the last frame fed: the momentary and
  // short-term loudness now (within a 100 ms step, as finish() would read
  // them there) and their maxima so far, equal to those that finish() would
  // give now. Errors: those of feed().
  Result<LiveReadings> now();

  std::uint64_t frames_fed() const noexcept;

  // An independent session in this one's state; this one goes on as if
  // nothing happened. Errors: kNoReadingsSoFar where the engine keeps a
  // libebur128 meter (Engine::copy: more than 8 channels, for one), those of
  // feed().
  Result<StandardSession> copy();

  // The measurement of every frame fed so far, equal bit for bit to that of
  // a session fed the same frames and finished (whatever the cuts and
  // flushes): finish() of a copy. Errors: those of copy() and finish().
  Result<StandardMeasurement> measurement_so_far();

  // Back to the state of a session just created with the same arguments
  // (after finish() or a failure too). Error: "NoMem" when the new session
  // cannot be built.
  Status reset();

  // The measurement of every frame fed. Errors: "NoMem" when a meter could
  // not be built; those of Engine::finish().
  Result<StandardMeasurement> finish();

  // Feeds each fresh sessions[i] every frame readers[i] gives and finishes
  // it, as measure_standard() does for one, into the i-th result: the
  // sessions run at once, their loudness filtered together where they can
  // be (Engine::run_together). One session's error is its own.
  static std::vector<Result<StandardMeasurement>> finish_together(
      std::span<StandardSession* const> sessions, std::span<const Engine::Reader* const> readers);

 private:
  struct State;
  explicit StandardSession(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// Measures every frame `read` gives (a StandardSession fed by `read`).
// Errors: the reader's, unchanged, and those of StandardSession.
Result<StandardMeasurement> measure_standard(unsigned channels, std::uint32_t rate_hz,
                                             const std::vector<int>& roles, bool series,
                                             const Engine::Reader& read);
Result<StandardMeasurement> measure_standard(unsigned channels, std::uint32_t rate_hz,
                                             const std::vector<int>& roles, bool series,
                                             const Engine::Reader& read, const MeasureParts& parts,
                                             std::uint64_t expected_frames = 0);

}  // namespace sonorik::analysis
