// The measurement driver for decoded audio: computes each requested measure
// once and returns them together, or the first error in request order.
#pragma once

#include "compat/analysis_results.h"
#include "compat/audio_data.h"
#include "core/error.h"
#include "core/metric.h"

namespace sonorik::analysis {

struct AudioAnalyzer {
  // Fills the field of every measure (values 8..14) in `metrics`; the other
  // values are ignored and repeats are measured once. The result equals
  // calling each measure's own function: the loudness measures share one
  // meter pass, and true peak and RMS run on the worker pool meanwhile.
  // Errors come only from the loudness meter ("NoMem"), returned unchanged;
  // on error no partial record is returned.
  static Result<AnalysisResults> analyze(const AudioData& audio, const MetricList& metrics);
};

}  // namespace sonorik::analysis
