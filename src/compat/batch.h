// The batch loop behind batch_analyze and batch_analyze_directory_py: loads
// and analyses each file in turn on the calling thread, leaving out files
// that fail with a warning line on standard error. Never fails.
#pragma once

#include <string>
#include <vector>

#include "compat/analysis_results.h"
#include "compat/audio_data.h"
#include "core/metric.h"

namespace sonorik {

struct BatchEntry {
  std::string path;         // as given
  AudioInfo info;           // of the loaded (possibly looped) audio
  AnalysisResults results;  // a measure is absent when its flag is false
};

// One entry per file that loads and analyses, in input order (a path given
// twice yields two entries). Failures write, to fd 2, one whole line each:
//   "Warning: Failed to load {path}: {outermost message}\n"
//   "Warning: Analysis failed for {path}: {outermost message}\n"
// The audio of one file is released before the next is loaded. A SIGINT or
// SIGTERM (core/interrupt.h) ends the loop at once, without a warning.
std::vector<BatchEntry> batch_analyze(const std::vector<std::string>& paths,
                                      const MeasureFlags& flags);

}  // namespace sonorik
