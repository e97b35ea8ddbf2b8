// The measurement driver for decoded audio: computes each requested measure
// once, in the order of first request.
#pragma once

#include "analysis/analysis_results.h"
#include "audio/audio_data.h"
#include "core/error.h"
#include "core/metric.h"

namespace sonorik::analysis {

struct AudioAnalyzer {
  // Errors come only from the loudness meter ("NoMem"); no partial record.
  static Result<AnalysisResults> analyze(const AudioData& audio, const MetricList& metrics);
};

}  // namespace sonorik::analysis
