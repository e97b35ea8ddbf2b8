#include "compat/output_formatter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <optional>
#include <utility>

#include <nlohmann/json.hpp>

#include "core/file.h"
#include "core/text.h"

namespace sonorik::report {
namespace {

std::optional<double> measure_of(Metric m, const AnalysisResults& r) {
  switch (m) {
    case Metric::integrated_loudness:
      return r.integrated_loudness;
    case Metric::short_term_loudness:
      return r.short_term_loudness;
    case Metric::momentary_loudness:
      return r.momentary_loudness;
    case Metric::loudness_range:
      return r.loudness_range;
    case Metric::true_peak:
      return r.true_peak;
    case Metric::rms_max:
      return r.rms_max;
    case Metric::rms_average:
      return r.rms_average;
    default:
      return std::nullopt;  // fields with no value in AnalysisResults
  }
}

// The plain text of a field (CSV, TSV, XML) before quoting or escaping.
std::string field_text(Metric m, std::string_view file_name_ext, const AnalysisResults& r) {
  if (m == Metric::file_name_ext) return std::string(file_name_ext);
  const std::optional<double> v = measure_of(m, r);
  return v ? three_decimals(*v) : std::string("N/A");
}

char separator_of(OutputFormat format) { return format == OutputFormat::Tsv ? '\t' : ','; }

// RFC 4180: a field holding the separator, a double quote, CR or LF goes in
// double quotes with inner double quotes doubled; any other field is bare.
void append_delimited(std::string& out, std::string_view field, char sep) {
  if (field.find_first_of(std::string{sep, '"', '\r', '\n'}) == std::string_view::npos) {
    out += field;
    return;
  }
  out += '"';
  for (const char c : field) {
    if (c == '"') out += '"';
    out += c;
  }
  out += '"';
}

// XML 1.0 has no place for the control characters other than tab, LF and
// CR, not even as character references: a name holding one is written with
// the byte as \xNN (two lower-case hex digits), as the command's reports do.
bool holds_in_xml(char c) {
  const auto b = static_cast<unsigned char>(c);
  return b >= 0x20 || c == '\t';
}

void append_hex_escape(std::string& out, char c) {
  static constexpr char kHex[] = "0123456789abcdef";
  const auto b = static_cast<unsigned char>(c);
  out += "\\x";
  out += kHex[b >> 4];
  out += kHex[b & 0xF];
}

// Names are escaped for XML text: & < > as entities, CR and LF as character
// references (a parser would turn a bare CR into LF), and control characters
// as above. Names from the file system that are not UTF-8 keep their bytes.
void append_xml_text(std::string& out, std::string_view text) {
  for (const char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '\r':
        out += "&#13;";
        break;
      case '\n':
        out += "&#10;";
        break;
      default:
        if (!holds_in_xml(c)) {
          append_hex_escape(out, c);
        } else {
          out += c;
        }
    }
  }
}

std::string delimited_record(OutputFormat format, std::string_view file_name_ext,
                             const AnalysisResults& r, const MetricList& metrics) {
  const char sep = separator_of(format);
  std::string out;
  for (size_t i = 0; i < metrics.size(); ++i) {
    if (i > 0) out += sep;
    append_delimited(out, field_text(metrics[i], file_name_ext, r), sep);
  }
  return out;
}

std::string xml_record(std::string_view file_name_ext, const AnalysisResults& r,
                       const MetricList& metrics) {
  std::string out = "<audio>";
  for (const Metric m : metrics) {
    const std::string_view name = metric_name(m);
    out += '<';
    out += name;
    out += '>';
    append_xml_text(out, field_text(m, file_name_ext, r));
    out += "</";
    out += name;
    out += '>';
  }
  out += "</audio>";
  return out;
}

// Keys are ordered and strings escaped by nlohmann-json; numbers are written
// by shortest_json_number, as nlohmann's own form differs in places (1e+15
// where Python writes 1000000000000000.0) and is not always the shortest.
std::string json_record(std::string_view file_name_ext, const AnalysisResults& r,
                        const MetricList& metrics) {
  nlohmann::json object = nlohmann::json::object();  // std::map: ascending byte order
  for (const Metric m : metrics) {
    const std::string key(metric_name(m));
    if (m == Metric::file_name_ext) {
      object[key] = std::string(file_name_ext);
      continue;
    }
    const std::optional<double> v = measure_of(m, r);
    if (!v) {
      object[key] = nullptr;
    } else if (!std::isfinite(*v)) {
      object[key] = 0;
    } else {
      object[key] = *v;
    }
  }
  std::string out = "{";
  bool first = true;
  for (const auto& entry : object.items()) {
    const nlohmann::json& value = entry.value();
    if (!first) out += ',';
    first = false;
    out += nlohmann::json(entry.key()).dump();
    out += ':';
    if (value.is_number_float()) {
      out += shortest_json_number(value.get<double>());
    } else {
      // Names that are not valid UTF-8 get U+FFFD instead of an exception.
      out += value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    }
  }
  out += '}';
  return out;
}

// Directory creation with all missing ancestors. An existing directory (also
// through a link) is fine; an existing non-directory fails with ENOTDIR, the
// error opening a path below it would give.
Status create_dir_all(const std::string& dir) {
  if (dir.empty()) return ok_status();
  if (::mkdir(dir.c_str(), 0777) == 0) return ok_status();
  int err = errno;
  if (err == ENOENT) {
    std::string parent = dir;
    while (parent.size() > 1 && parent.back() == '/') parent.pop_back();
    const size_t slash = parent.rfind('/');
    if (slash != std::string::npos) {
      Status up = create_dir_all(parent.substr(0, slash == 0 ? 1 : slash));
      if (!up) return up;
      if (::mkdir(dir.c_str(), 0777) == 0) return ok_status();
      err = errno;
    }
  }
  if (err == EEXIST) {
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) return ok_status();
      return os_error(ENOTDIR);
    }
  }
  return os_error(err);
}

// The directory part of a path: "" for a bare name, "/" for a name at the root.
std::string parent_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  size_t end = slash;
  while (end > 0 && path[end - 1] == '/') --end;
  return end == 0 ? std::string("/") : path.substr(0, end);
}

// Opens with `flags`, writes `text`, closes (also after a failed write). A
// failed close after a good write is reported, as the data may be lost.
Status write_file(const std::string& path, int flags, std::string_view text) {
  const int fd = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) return os_error(errno);
  File file(fd);
  Status written = write_all(file.fd(), text);
  Status closed = file.close();
  if (!written) return written;
  return closed;
}

}  // namespace

std::string three_decimals(double value) {
  if (std::isnan(value)) return "NaN";
  if (std::isinf(value)) return value > 0 ? "inf" : "-inf";
  char buf[400];  // fixed notation of the largest double needs 313 characters
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed, 3);
  return std::string(buf, res.ptr);
}

std::string shortest_json_number(double value) {
  char buf[64];
  const auto sci = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const std::string_view text(buf, static_cast<size_t>(sci.ptr - buf));
  const size_t e = text.find('e');
  int exponent = 0;
  std::from_chars(text.data() + e + 1 + (text[e + 1] == '+' ? 1 : 0), text.data() + text.size(),
                  exponent);
  if (exponent < -4 || exponent >= 16) return std::string(text);
  const auto fixed = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::fixed);
  std::string out(buf, fixed.ptr);
  if (out.find('.') == std::string::npos) out += ".0";
  return out;
}

std::string header_line(OutputFormat format, const MetricList& metrics) {
  if (format != OutputFormat::Csv && format != OutputFormat::Tsv) return {};
  const char sep = separator_of(format);
  std::string out;
  for (size_t i = 0; i < metrics.size(); ++i) {
    if (i > 0) out += sep;
    out += metric_name(metrics[i]);
  }
  return out;
}

OutputFormatter OutputFormatter::create(OutputFormat format, std::string output_path,
                                        const MetricList& metrics) {
  OutputFormatter formatter(format, std::move(output_path));
  const std::string& path = formatter.output_path_;
  struct stat st {};
  // A path the system cannot take is reported by the first record.
  if (!check_path(path) || ::stat(path.c_str(), &st) == 0) return formatter;
  if (!create_dir_all(parent_of(path))) return formatter;
  if (format == OutputFormat::Csv || format == OutputFormat::Tsv) {
    // Dropped on failure: the first record meets the same problem and reports it.
    (void)write_file(path, O_TRUNC, header_line(format, metrics) + "\n");
  }
  return formatter;
}

std::string OutputFormatter::record(std::string_view file_name_ext, const AnalysisResults& results,
                                    const MetricList& metrics) const {
  switch (format_) {
    case OutputFormat::Csv:
    case OutputFormat::Tsv:
      return delimited_record(format_, file_name_ext, results, metrics);
    case OutputFormat::Json:
      return json_record(file_name_ext, results, metrics);
    case OutputFormat::Xml:
      return xml_record(file_name_ext, results, metrics);
  }
  return {};
}

Status OutputFormatter::format_output(std::string_view file_name_ext,
                                      const AnalysisResults& results,
                                      const MetricList& metrics) const {
  const std::string text = record(file_name_ext, results, metrics) + "\n";
  if (Status valid = check_path(output_path_); !valid) return valid;
  Status dirs = create_dir_all(parent_of(output_path_));
  if (!dirs) return dirs;
  return write_file(output_path_, O_APPEND, text);
}

}  // namespace sonorik::report
