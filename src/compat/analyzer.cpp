#include "compat/analyzer.h"

#include <tbb/task_group.h>

#include <algorithm>
#include <vector>

#include "compat/loudness.h"
#include "compat/peak.h"
#include "compat/rms.h"
#include "core/interrupt.h"

namespace sonorik::analysis {

namespace {

constexpr std::size_t kBlockSamples = std::size_t{1} << 16;

struct Wanted {
  LoudnessRequest loudness;
  bool true_peak = false;
  bool rms_max = false;
  bool rms_average = false;
};

Wanted wanted_measures(const MetricList& metrics) {
  Wanted w;
  for (Metric m : metrics) {
    switch (m) {
      case Metric::integrated_loudness:
        w.loudness.integrated = true;
        break;
      case Metric::short_term_loudness:
        w.loudness.short_term = true;
        break;
      case Metric::momentary_loudness:
        w.loudness.momentary = true;
        break;
      case Metric::loudness_range:
        w.loudness.range = true;
        break;
      case Metric::true_peak:
        w.true_peak = true;
        break;
      case Metric::rms_max:
        w.rms_max = true;
        break;
      case Metric::rms_average:
        w.rms_average = true;
        break;
      default:
        break;  // file fields, rms_min and sample_peak are not measured here
    }
  }
  return w;
}

// Feeds the whole frames of `audio` (and a trailing incomplete one with the
// last block) to `feed` block by block, stopping early when the calling
// thread of `watch` is interrupted: the readings are then never used.
template <class Feed>
void feed_blocks(const AudioData& audio, const InterruptWatch& watch, Feed&& feed) {
  const std::size_t channels = std::max<std::size_t>(audio.info.channels, 1);
  const std::size_t block = std::max<std::size_t>(1, kBlockSamples / channels) * channels;
  const std::vector<double>& s = audio.samples;
  for (std::size_t at = 0; at < s.size() && !watch.interrupted(); at += block) {
    feed(s.data() + at, std::min(block, s.size() - at));
  }
}

}  // namespace

Result<AnalysisResults> AudioAnalyzer::analyze(const AudioData& audio, const MetricList& metrics) {
  const Wanted w = wanted_measures(metrics);

  // Only the meter can fail, and it fails the same way for every loudness
  // measure, so creating it first returns the error the request order would
  // (true peak and RMS never fail) without measuring anything in vain.
  auto pass = LoudnessPass::create(audio, w.loudness);
  if (!pass) return std::move(pass).error();

  // True peak and RMS (both levels in one scan) run on the pool while this
  // thread drives the meter; an interrupt stops them at their next block.
  const InterruptWatch watch;
  TruePeakScan peak(audio.info.channels, audio.samples.size());
  RmsScan rms(audio.info.channels, audio.info.sample_rate);
  LoudnessValues loudness;
  {
    tbb::task_group side;
    if (w.true_peak) {
      side.run([&] { feed_blocks(audio, watch, [&](auto p, auto n) { peak.feed(p, n); }); });
    }
    if (w.rms_max || w.rms_average) {
      side.run([&] { feed_blocks(audio, watch, [&](auto p, auto n) { rms.feed(p, n); }); });
    }
    loudness = pass->run();
    side.wait();
  }

  AnalysisResults out;
  if (w.loudness.integrated) out.integrated_loudness = loudness.integrated_lufs;
  if (w.loudness.short_term) out.short_term_loudness = loudness.short_term_lufs;
  if (w.loudness.momentary) out.momentary_loudness = loudness.momentary_lufs;
  if (w.loudness.range) out.loudness_range = loudness.range_lu;
  if (w.true_peak) out.true_peak = peak.dbfs();
  if (w.rms_max) out.rms_max = rms.max_db();
  if (w.rms_average) out.rms_average = rms.average_db();
  return out;
}

}  // namespace sonorik::analysis
