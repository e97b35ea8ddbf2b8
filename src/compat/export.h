// The export loop behind export_to_csv / _tsv / _xml / _json: analyse a list
// of audio files in order and append one report record per file.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "compat/output_formatter.h"
#include "core/metric.h"

namespace sonorik::report {

enum class ExportFailure { Load, Analysis, Write };

struct ExportError {
  ExportFailure kind;
  // Load:     "Failed to load {path as passed}: {loader's outermost message}"
  // Analysis: "Analysis failed for {path}: {analyzer's outermost message}"
  // Write:    the system's text only, e.g. "Is a directory (os error 21)";
  //           the caller words it per format ("Failed to write output: {}",
  //           "Failed to write TSV: {}", "Failed to write XML: {}").
  std::string message;
};

// Fields: file_name_ext, then the flags' measures in their fixed order. The
// report writer is created first (a new CSV/TSV file gets its header even for
// an empty list); then each path is loaded (audio shorter than 0.1 s looped),
// analysed and written as one record. An interrupt (core/interrupt.h) stops
// the loop before the record of the file it hit. Stops at the first failure; records
// written before it stay. Returns nullopt when every file was written.
std::optional<ExportError> export_files(const std::vector<std::string>& paths,
                                        const std::string& output_file, OutputFormat format,
                                        const MeasureFlags& flags);

}  // namespace sonorik::report
