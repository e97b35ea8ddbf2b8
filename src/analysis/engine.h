// The streaming measurement engine shared by the WAV fast path and the
// sonorik_meter module: a session that frames are pushed into. The engine
// cuts what it is fed into blocks of its own (block_frames(), whatever the
// caller's cut), and the parts that were asked for consume each block side
// by side on the worker pool while the caller fills the next. The loudness
// meter, the longest part, may still be on one block while the others take
// the next:
//
//  - loudness: KMeter, or one libebur128 meter where KMeter does not apply
//    (momentary + short-term + integrated), read at the end of every step
//    of `step_frames` frames (a 100 ms step); each reading goes to `on_step`;
//  - channel loudness: each channel's own integrated loudness (as a
//    one-channel meter with weight 1.0 reads it);
//  - true peak: the meter's true-peak readings per channel, from
//    TruePeakFilter where it reproduces them, else from a meter;
//  - RMS: sums of squares over consecutive blocks of `rms_block_frames`
//    frames (the last may be shorter) of the first `rms_frames` frames, each
//    block handed to `on_rms_block`; sample peaks per channel on the way.
//
// Every reading depends on the frames fed and on nothing else: feeding the
// same audio in any cut (one frame at a time, whole files, anything between)
// and flushing at any points gives the same readings, bit for bit, as
// Engine::run over a reader.
//
// Memory is bounded: two blocks of at most 64 Ki samples plus per-part state;
// nothing grows with the length of the audio except what the callbacks keep
// and the meter's own gating blocks (one double per 100 ms).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "core/error.h"

namespace sonorik::analysis {

// One reading of the loudness meter at the end of a step. Both values are
// absent when feeding that step failed.
struct StepReading {
  std::uint64_t end_frame = 0;            // frames fed so far
  std::uint64_t frames = 0;               // frames of this step (the last may be short)
  std::optional<double> momentary_lufs;   // last 400 ms (zeros before the start)
  std::optional<double> short_term_lufs;  // last 3 s (zeros before the start)
};

// One RMS block: the sum of squares of all its samples in interleaved order,
// its length in samples, and the same sums per channel (empty unless
// EngineConfig::channel_sums; the sum is then the channels' sums added in
// channel order, each summed in several interleaved parts).
struct RmsBlock {
  double sum = 0.0;
  std::uint64_t samples = 0;
  std::span<const double> channel_sums;
};

struct EngineConfig {
  unsigned channels = 1;
  std::uint32_t rate_hz = 48000;

  bool loudness = true;
  int loudness_mode = 0;           // Meter mode; 0 means M | S | I
  bool step_readings = true;       // read the meter after every step
  std::uint64_t step_frames = 0;   // frames per step; 0 means trunc(rate x 0.1)
  std::vector<int> channel_roles;  // libebur128 roles; empty keeps the meter's default
  std::function<void(const StepReading&)> on_step;

  bool channel_loudness = false;
  bool true_peak = true;
  // Also the true peak of every step of `step_frames` frames (largest over
  // the channels), in EngineResult::step_true_peak.
  bool step_true_peaks = false;

  bool rms = true;
  bool channel_sums = false;           // per-channel sums and sample peaks
  std::uint64_t rms_block_frames = 0;  // 0 means rate / 10
  std::uint64_t rms_frames = std::numeric_limits<std::uint64_t>::max();
  std::function<void(const RmsBlock&)> on_rms_block;

  // The frames the programme is expected to hold (a file's header), 0 when
  // unknown: a shorter programme than a block takes no more memory than it
  // needs (the blocks grow if more frames come; the readings do not change).
  std::uint64_t expected_frames = 0;
};

struct EngineResult {
  std::uint64_t frames = 0;
  // Loudness: absent when the part was not asked for or its meter could not
  // be built.
  bool loudness_measured = false;
  std::optional<double> integrated_lufs;                       // the library's (possibly -inf)
  std::optional<double> relative_gate_lufs;                    // the library's relative threshold
  std::vector<std::optional<double>> channel_integrated_lufs;  // empty unless asked
  // True peak per channel (1.0 is full scale); empty when not asked for or
  // when some group of channels had no meter.
  std::vector<double> true_peak;
  // With step_true_peaks: per step (the last may be short), the largest true
  // peak over the channels of the frames fed in it (1.0 is full scale).
  std::vector<double> step_true_peak;
  // Largest |sample| per channel over the RMS frames (empty unless channel_sums).
  std::vector<double> sample_peak;
  // The energies of the 400 ms gating blocks that reached the absolute gate,
  // in order (gating.h): what integrated loudness is gated from. Pooling
  // several programmes (album loudness) gates their lists concatenated in
  // programme order, as ebur128_loudness_global_multiple does with their
  // meters. Present with integrated loudness from KMeter (up to 8 channels);
  // absent where the library's own meter measures, which does not give them.
  std::optional<std::vector<double>> gating_block_energies;
  // With Meter::kModeLra in loudness_mode: the meter's own loudness range
  // (libebur128's, from 3 s blocks every 1 s), which the sonorik module
  // reports. The standards' range is taken every 100 ms (gating.h) instead.
  std::optional<double> library_range_lu;
};

// The error of Engine::copy where a part's state cannot be copied.
inline constexpr const char* kNoReadingsSoFar =
    "readings so far are available for up to 8 channels";

// One measurement: built from a configuration, fed frames, finished once.
// Callbacks run on the worker pool, and on the caller's thread in flush(),
// now() and finish(): each callback is called once at a time, in the order
// of the audio, but on_step and on_rms_block may run at the same time as
// each other. Exceptions a callback throws, and std::bad_alloc, leave the
// call once the tasks started have ended; the session is then spent. Calls
// on one session must not overlap; they may come from different threads.
//
// Readings so far: the parts keep their whole state between blocks, and
// only finish() ends a step or block. flush() hands the part-filled block
// to the parts and waits, so that now() covers every frame fed; the frames
// of a block that a flush cuts are still measured as if it had not been cut.
// copy() gives an independent session in the same state, which finish()
// turns into the readings of every frame fed so far while the original
// goes on. A copy takes the parts' state, so it is refused where a part is
// a libebur128 meter, whose state cannot be copied: loudness beyond 8
// channels (or with roles KMeter refuses, or where KMeter disagrees with the
// installed library), each channel's own meter without KMeter, and true
// peak at a rate where TruePeakFilter disagrees with the library.
class Engine {
 public:
  // Reads up to `max_frames` frames into `out` (interleaved); 0 at the end.
  using Reader = std::function<Result<std::size_t>(double* out, std::size_t max_frames)>;

  // A session measuring the parts `config` asks for. A part whose meter
  // cannot be built is left out (see EngineResult).
  explicit Engine(EngineConfig config);
  Engine(Engine&&) noexcept;
  Engine& operator=(Engine&&) noexcept;
  ~Engine();  // waits for the blocks in flight

  // Feeds `frames` interleaved frames (frames x channels doubles; frames,
  // not samples), any count including 0. Returns once they are copied in: a
  // block that fills is measured by the workers while the caller goes on.
  // Errors: "no samples given" (null with frames > 0), "measurement
  // finished" (after finish()), "measurement failed" (after an exception
  // or an interrupt), kInterrupted (core/interrupt.h: asked before each of
  // the engine's blocks; some of the frames may be in, and the session is
  // spent).
  Status feed(const double* interleaved, std::size_t frames);

  // Reads once from `read` straight into the engine's block (at most the
  // room left in it, no copy) and feeds what came. Returns the frames read,
  // 0 at the end. Errors: the reader's, unchanged (the session stays usable),
  // kInterrupted (asked before reading; nothing is read and the session
  // stays usable), and those of feed().
  Result<std::size_t> feed_from(const Reader& read);

  // Hands the frames waiting in the part-filled block to the parts and waits
  // for every part. Readings stay those of an unflushed session. Errors:
  // those of finish().
  Status flush();

  // Flushes, then gives the loudness meter's reading at the last frame fed
  // (end_frame: the frames fed; frames: those of the step under way, or of
  // the last step at a step's end). At a step's end the reading is the one
  // on_step was given; within a step, the one finish() would give if the
  // audio ended here. Both values are absent without the loudness part.
  // Errors: those of finish().
  Result<StepReading> now();

  // Frames fed so far.
  std::uint64_t frames_fed() const noexcept;

  // An independent session in this one's state (the frames fed, the block
  // being filled, every part's state), whose parts call `on_step` and
  // `on_rms_block` instead of this session's callbacks from now on. Waits for
  // the blocks in flight; nothing else about this session changes. Errors:
  // kNoReadingsSoFar where a part is a libebur128 meter (see above), and
  // those of finish().
  Result<Engine> copy(std::function<void(const StepReading&)> on_step,
                      std::function<void(const RmsBlock&)> on_rms_block);

  // Measures the frames still in the block, waits for the workers and gives
  // the readings. Errors: "measurement finished" when called again,
  // "measurement failed" after an exception.
  Result<EngineResult> finish();

  // Every frame `read` gives, measured by the configured parts: feed_from()
  // until the end, then finish(). A reader error stops the run (after the
  // blocks in flight are done) and is returned.
  static Result<EngineResult> run(const EngineConfig& config, const Reader& read);

  // Runs several fresh engines at once, each as run() runs one: engines[i]
  // fed every frame readers[i] gives, then finished, into the i-th result.
  // Their loudness meters take each round of blocks in one task, filtered
  // together where they can be (programmes of one rate share the vector
  // lanes of one recursion: see KMeter::add_frames_together). One engine's
  // error (its reader's, an interrupt) ends that engine's run only.
  static std::vector<Result<EngineResult>> run_together(std::span<Engine* const> engines,
                                                        std::span<const Reader* const> readers);

  // Frames per block for `channels` channels.
  static std::size_t block_frames(unsigned channels) noexcept;

 private:
  class Session;
  explicit Engine(std::unique_ptr<Session> session);
  std::unique_ptr<Session> session_;
};

}  // namespace sonorik::analysis
