#include "compat/export.h"

#include <utility>

#include "compat/analyzer.h"
#include "compat/audio_data.h"
#include "core/interrupt.h"
#include "core/text.h"

namespace sonorik::report {

std::optional<ExportError> export_files(const std::vector<std::string>& paths,
                                        const std::string& output_file, OutputFormat format,
                                        const MeasureFlags& flags) {
  MetricList metrics = {Metric::file_name_ext};
  for (const Metric m : metrics_from_flags(flags)) metrics.push_back(m);

  const OutputFormatter formatter = OutputFormatter::create(format, output_file, metrics);
  for (const std::string& path : paths) {
    // Scoped per file: the audio and results are released before the next.
    Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
    if (!audio) {
      return ExportError{ExportFailure::Load,
                         "Failed to load " + path + ": " + audio.error().message()};
    }
    Result<AnalysisResults> results = analysis::AudioAnalyzer::analyze(audio.value(), metrics);
    // An interrupted measurement gives no record: stop before writing one.
    if (interrupted()) return ExportError{ExportFailure::Analysis, kInterrupted};
    if (!results) {
      return ExportError{ExportFailure::Analysis,
                         "Analysis failed for " + path + ": " + results.error().message()};
    }
    Status written = formatter.format_output(file_name(path), results.value(), metrics);
    if (!written) return ExportError{ExportFailure::Write, written.error().message()};
  }
  return std::nullopt;
}

}  // namespace sonorik::report
