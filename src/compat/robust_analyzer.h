// The measurement driver of the WAV fast path. It measures a file opened by
// UltraFastWavReader without ever converting the whole file at once: samples
// are converted from the mapping in bounded blocks and fed to the streaming
// engine (analysis/engine.h), so memory beyond the mapping does not grow
// with the file's length. What is here is the layer of fixed rules on top of
// the engine: repetition of short audio, the -70 LUFS floors, the loudness
// range from 100 ms short-term readings and the corrections.
//
// Loudness: one libebur128 meter (momentary + short-term + integrated) fed in
// 100 ms steps of trunc(rate x 0.1) frames, read after every step; the
// loudness range is computed by hand from the short-term readings taken after
// the first 3 s. Audio shorter than 5 s is measured as if repeated to more
// than 10 s (the repetition is fed block by block, never built). True peak:
// libebur128's true-peak readings (reproduced bit for bit by TruePeakFilter,
// a meter where it cannot), taken over groups of channels that run on the
// worker pool beside the loudness meter; when no
// meter can be built for the file's rate and channel count, a 4x Catmull-Rom
// interpolation stands in. RMS: 100 ms blocks. For audio of 15 s or more an
// integrated loudness at the gate floor and a loudness range under 0.1 LU are
// re-estimated, with notices on standard output.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

#include "compat/analysis_results.h"
#include "compat/ultra_fast_wav.h"
#include "core/error.h"
#include "core/metric.h"

namespace sonorik::analysis {

// The interleaved sample list S that a measurement reads: a reader's mapping
// (converted on the fly) or a list already in memory. Optionally scaled by a
// gain. Cheap to copy; it borrows its samples.
class SampleSource {
 public:
  explicit SampleSource(const UltraFastWavReader& reader, double gain = 1.0);
  // `samples.size()` is cut to whole frames of `channels` (channels >= 1).
  SampleSource(std::span<const double> samples, unsigned channels, double gain = 1.0);

  std::uint64_t frames() const noexcept { return frames_; }
  unsigned channels() const noexcept { return channels_; }
  std::uint64_t samples() const noexcept { return frames_ * channels_; }
  SampleSource scaled(double gain) const noexcept;

  // Frames [first_frame, first_frame + count) interleaved into out (count x
  // channels values). Requires first_frame + count <= frames().
  void read(std::uint64_t first_frame, std::size_t count, double* out) const noexcept;
  // Channels [first_channel, first_channel + channel_count) of those frames,
  // interleaved into out (count x channel_count values).
  void read_channels(std::uint64_t first_frame, std::size_t count, unsigned first_channel,
                     unsigned channel_count, double* out) const noexcept;

 private:
  const UltraFastWavReader* reader_ = nullptr;
  const double* list_ = nullptr;
  std::uint64_t frames_ = 0;
  unsigned channels_ = 1;
  double gain_ = 1.0;
};

// The result of one loudness measurement.
struct Bs1770Measurement {
  std::optional<double> integrated;      // LUFS; present when finite and above -70.0
  std::optional<double> momentary_max;   // LUFS; present when above -70.0
  std::optional<double> short_term_max;  // LUFS; present when above -70.0
  std::optional<double> loudness_range;  // LU; present whenever loudness was measured
  std::optional<double> true_peak;  // dBTP (-100.0 floor); present whenever true peak was measured
};

// Which halves of a measurement to run. A call with both stands for two
// separate measurements over identical input, which give identical readings.
struct RobustParts {
  bool loudness = true;
  bool true_peak = true;
};

inline constexpr double kExtensionThresholdSeconds = 5.0;  // shorter audio is repeated
inline constexpr double kExtensionTargetSeconds = 10.0;
inline constexpr double kCorrectionMinimumSeconds = 15.0;
inline constexpr double kRobustTruePeakFloorDbfs = -100.0;  // no meter peak above 0
inline constexpr double kFallbackPeakFloorDbfs = -150.0;    // interpolation fallback
inline constexpr double kRmsFloorDb = -150.0;
inline constexpr std::uint32_t kMinimumRmsRateHz = 10;  // one frame per 100 ms block

struct RobustAnalyzer {
  // Measures the requested metrics (only membership of 8..14 matters):
  // loudness fields (8..11) all together, true_peak (12), and rms_max /
  // rms_average (13, 14) together. Failures of the meter are absorbed
  // (loudness absent, true peak by interpolation). Diagnostic lines go to
  // standard output.
  // Error: "Sample rate of {rate} Hz is too low to measure RMS in 100 ms
  // blocks (at least 10 Hz needed)" when RMS is requested for such a file;
  // checked before any measuring.
  static Result<AnalysisResults> analyze_with_fallback(const UltraFastWavReader& reader,
                                                       const MetricList& metrics);

  // One loudness measurement of `samples` (rate and duration from `info`,
  // channels from the source). Audio shorter than 5 s is measured repeated
  // extension_repeats(duration, 10 s) times; the extension notice is printed
  // once for each requested part. Error: "NoMem" when the meter refuses the
  // rate or channel count (checked before any audio is read).
  static Result<Bs1770Measurement> measure_loudness_custom_bs1770(const SampleSource& samples,
                                                                  const WavFormatInfo& info,
                                                                  RobustParts parts = {});

  // How many times audio of `duration_seconds` is repeated to pass
  // `target_seconds`: floor(target / duration) + 1, at least 5; 1 when the
  // audio is already long enough, and 1 (no repetition) for empty audio.
  static std::uint64_t extension_repeats(double duration_seconds, double target_seconds);

  // True peak by 4x Catmull-Rom interpolation between the samples of each
  // channel (dBFS; -150.0 for fewer than two frames or silence).
  static double true_peak_fallback(const SampleSource& samples);
};

}  // namespace sonorik::analysis
