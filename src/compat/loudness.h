// EBU R 128 / ITU-R BS.1770 loudness of decoded audio, measured by the
// engine (analysis/engine.h) with the floors of this module on top. Each
// function returns its value or the meter's creation error ("NoMem" for a
// channel count outside 1..64 or a rate outside 16..2,822,400 Hz). Silence,
// empty audio and unusable readings give the floors: -70.0 LUFS, 0.0 LU.
// Every whole frame is measured; a trailing incomplete frame is not.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "analysis/meter.h"
#include "compat/audio_data.h"
#include "core/error.h"

namespace sonorik::analysis {

inline constexpr double kLoudnessFloorLufs = -70.0;
inline constexpr double kRangeFallbackLu = 0.0;

// Integrated loudness.
Result<double> calculate_integrated_loudness(const AudioData& audio);  // LUFS
// The largest short-term (3 s) / momentary (400 ms) reading taken after every
// 100 ms step (trunc(rate x 0.1) frames), never below -70.0.
Result<double> calculate_short_term_loudness(const AudioData& audio);  // LUFS
Result<double> calculate_momentary_loudness(const AudioData& audio);   // LUFS

// Frames per 100 ms step: trunc(rate_hz x 0.1).
std::size_t loudness_step_frames(unsigned long rate_hz);

// Which measures one combined pass computes.
struct LoudnessRequest {
  bool integrated = false;
  bool short_term = false;
  bool momentary = false;
  bool range = false;
  bool any() const { return integrated || short_term || momentary || range; }
};

// Values of a combined pass; measures not requested keep their floor.
struct LoudnessValues {
  double integrated_lufs = kLoudnessFloorLufs;
  double short_term_lufs = kLoudnessFloorLufs;
  double momentary_lufs = kLoudnessFloorLufs;
  double range_lu = kRangeFallbackLu;
};

// The requested loudness measures of frames fed in order, block by block,
// through the measurement engine (loudness only, the meter in the union of
// their modes): momentary and short-term are the largest readings taken
// after every 100 ms step, global and range are read once at the end (the
// range in 0.0 LU where the meter gives none or a negative one). The
// readings equal libebur128's for the same frames, however they are cut.
class LoudnessScan {
 public:
  // Error: the meter's creation error ("NoMem"), known before any audio is
  // read. An empty request is valid: feed() ignores the audio and finish()
  // returns the floors.
  static Result<LoudnessScan> create(unsigned channels, std::uint32_t rate_hz,
                                     const LoudnessRequest& request);

  // Feeds whole frames (frames x channels values). Errors: the engine's
  // (kInterrupted when the user interrupts); the scan is then spent and
  // finish() gives what was read before.
  Status feed(const double* interleaved, std::size_t frames);

  // The readings; call once.
  LoudnessValues finish();

  LoudnessScan(LoudnessScan&&) noexcept;
  LoudnessScan& operator=(LoudnessScan&&) noexcept;
  ~LoudnessScan();

 private:
  // The engine and the values its step callback raises, at a fixed address.
  struct State;
  explicit LoudnessScan(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// All requested loudness measures of decoded audio in one LoudnessScan.
// Two steps so that a caller can learn of a refused meter ("NoMem") before it
// starts other work: create() checks the meter can be built, run() feeds the
// whole audio.
class LoudnessPass {
 public:
  // Error: the meter's creation error ("NoMem"). An empty request is valid and
  // run() then returns the floors without touching the audio.
  static Result<LoudnessPass> create(const AudioData& audio, const LoudnessRequest& request);

  // Feeds the audio once and reads; call at most once.
  LoudnessValues run();

 private:
  LoudnessPass(const AudioData& audio, LoudnessScan scan)
      : audio_(&audio), scan_(std::move(scan)) {}
  const AudioData* audio_;
  LoudnessScan scan_;
};

}  // namespace sonorik::analysis
