// The report writer: turns the measures of one audio file into one record and
// appends it to a CSV, TSV, JSON or XML report file, one line per file.
//
// Records, by format (fields in metric-list order, repeats kept):
//   Csv  "a.wav,-23.012,-1.004"            header line of field names on creation
//   Tsv  the same texts joined by a tab    header likewise
//   Json {"file_name_ext":"a.wav","integrated_loudness":-23.0123456}
//        compact, keys in ascending byte order, a repeated field written once
//   Xml  <audio><file_name_ext>a.wav</file_name_ext>...</audio>  on one line
//
// Field texts (CSV, TSV, XML): the file name as given; a measure in fixed
// notation with three decimals (-23 -> "-23.000"), "NaN", "inf", "-inf" for
// non-finite values and "N/A" when absent.
// JSON values: the file name as a JSON string (invalid UTF-8 replaced by
// U+FFFD); a finite measure as the shortest decimal that reads back as the
// same double, laid out as Python writes floats (-23.0, 0.125, 1e-05, 1e+16);
// a non-finite measure as the integer 0; an absent one as null.
//
// Names never corrupt a report: a CSV/TSV field holding the separator, '"',
// CR or LF is written in double quotes with inner quotes doubled; in XML text
// '&', '<', '>' become "&amp;", "&lt;", "&gt;" and CR, LF "&#13;", "&#10;",
// so each record stays one line.
//
// Fields with no value in a record (file_name, full_path, sample_rate,
// bit_depth, channels, total_time, duration, rms_min, sample_peak): no caller
// requests them; they are written as absent ("N/A", JSON null).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "compat/analysis_results.h"
#include "core/error.h"
#include "core/metric.h"

namespace sonorik::report {

enum class OutputFormat : std::uint8_t { Csv, Tsv, Json, Xml };

class OutputFormatter {
 public:
  // Never fails. When nothing exists at `output_path` (metadata following
  // links), creates its missing parent directories (0777 before the umask)
  // and, for Csv and Tsv only, creates the file (0666 before the umask) with
  // the header line: the field names of `metrics` joined by the separator.
  // Errors here are dropped: the first format_output meets them again.
  static OutputFormatter create(OutputFormat format, std::string output_path,
                                const MetricList& metrics);

  // Appends one record plus "\n": creates missing parent directories, opens
  // the file for appending (created 0666 if missing), writes, closes. Errors
  // carry the system's text, e.g. "Is a directory (os error 21)"; records
  // written before stay. `metrics` must be the list given to create().
  Status format_output(std::string_view file_name_ext, const AnalysisResults& results,
                       const MetricList& metrics) const;

  // The record text without its newline (building a record cannot fail).
  std::string record(std::string_view file_name_ext, const AnalysisResults& results,
                     const MetricList& metrics) const;

  OutputFormat format() const noexcept { return format_; }
  const std::string& output_path() const noexcept { return output_path_; }

 private:
  OutputFormatter(OutputFormat format, std::string output_path)
      : format_(format), output_path_(std::move(output_path)) {}

  OutputFormat format_;
  std::string output_path_;
};

// The header line of a Csv or Tsv report without its newline; "" for the
// other formats.
std::string header_line(OutputFormat format, const MetricList& metrics);

// A measure in fixed notation with three decimals; "NaN", "inf", "-inf".
std::string three_decimals(double value);

// The shortest decimal that reads back as `value`, as Python writes floats:
// plain notation for exponents -4..15 with at least one decimal ("-23.0"),
// otherwise "1e-05", "1.5e+16". Only for finite values.
std::string shortest_json_number(double value);

}  // namespace sonorik::report
