#include "compat/analyzer.h"

#include <tbb/task_group.h>

#include "compat/loudness.h"
#include "compat/peak.h"
#include "compat/rms.h"

namespace sonorik::analysis {

namespace {

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

}  // namespace

Result<AnalysisResults> AudioAnalyzer::analyze(const AudioData& audio, const MetricList& metrics) {
  const Wanted w = wanted_measures(metrics);

  // Only the meter can fail, and it fails the same way for every loudness
  // measure, so creating it first returns the error the request order would
  // (true peak and RMS never fail) without measuring anything in vain.
  auto pass = LoudnessPass::create(audio, w.loudness);
  if (!pass) return std::move(pass).error();

  Result<double> true_peak = kTruePeakFloorDbfs;
  double rms_max = kRmsMaxFloorDb;
  double rms_average = kRmsAverageEmptyDb;
  LoudnessValues loudness;
  {
    // True peak and RMS run on the pool while this thread drives the meter.
    tbb::task_group side;
    if (w.true_peak) side.run([&] { true_peak = calculate_true_peak(audio); });
    if (w.rms_max) side.run([&] { rms_max = calculate_rms_max(audio); });
    if (w.rms_average) side.run([&] { rms_average = calculate_rms_average(audio); });
    loudness = pass->run();
    side.wait();
  }
  if (!true_peak) return std::move(true_peak).error();

  AnalysisResults out;
  if (w.loudness.integrated) out.integrated_loudness = loudness.integrated_lufs;
  if (w.loudness.short_term) out.short_term_loudness = loudness.short_term_lufs;
  if (w.loudness.momentary) out.momentary_loudness = loudness.momentary_lufs;
  if (w.loudness.range) out.loudness_range = loudness.range_lu;
  if (w.true_peak) out.true_peak = true_peak.value();
  if (w.rms_max) out.rms_max = rms_max;
  if (w.rms_average) out.rms_average = rms_average;
  return out;
}

}  // namespace sonorik::analysis
