#include "compat/batch.h"

#include "compat/analyzer.h"
#include "core/diagnostics.h"
#include "core/interrupt.h"

namespace sonorik {

std::vector<BatchEntry> batch_analyze(const std::vector<std::string>& paths,
                                      const MeasureFlags& flags) {
  const MetricList metrics = metrics_from_flags(flags);
  std::vector<BatchEntry> out;
  for (const std::string& path : paths) {
    Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
    if (interrupted()) break;  // the call raises; what was measured is not kept
    if (!audio) {
      write_stderr_line("Warning: Failed to load " + path + ": " + audio.error().message() + "\n");
      continue;
    }
    Result<AnalysisResults> results = analysis::AudioAnalyzer::analyze(audio.value(), metrics);
    if (interrupted()) break;
    if (!results) {
      write_stderr_line("Warning: Analysis failed for " + path + ": " + results.error().message() +
                        "\n");
      continue;
    }
    out.push_back(BatchEntry{path, audio->info, std::move(results).value()});
  }  // each file's audio is released here, before the next load
  return out;
}

}  // namespace sonorik
