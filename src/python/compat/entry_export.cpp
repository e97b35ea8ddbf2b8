// export_to_csv / _tsv / _xml / _json: one report record per analysed file.
#include "compat/export.h"
#include "python/compat/entries.h"

namespace sonorik::py {

namespace {

PyObject* export_entry(const char* name, report::OutputFormat format, const char* write_prefix,
                       PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) {
  const Signature sig = with_flags(name, {"file_paths", "output_file"}, 9);
  return run_entry(sig, args, nargsf, kwnames, [&](std::vector<PyObject*>& argv) -> Outcome {
    std::vector<std::string> paths;
    std::string output_file;
    MeasureFlags flags;
    if (!convert("file_paths", argv[0], to_string_list, paths) ||
        !convert("output_file", argv[1], to_string, output_file) ||
        !convert_flags(argv, 2, flags)) {
      return PyRef();
    }
    std::optional<report::ExportError> error =
        report::export_files(paths, output_file, format, flags);
    if (!error) return PyRef::borrow(Py_None);
    switch (error->kind) {
      case report::ExportFailure::Load:
        return os_failure(std::move(error->message));
      case report::ExportFailure::Analysis:
        return runtime_failure(std::move(error->message));
      case report::ExportFailure::Write:
        break;
    }
    return os_failure(write_prefix + error->message);
  });
}

}  // namespace

SONORIK_ENTRY(export_to_csv) {
  (void)self;
  return export_entry("export_to_csv", report::OutputFormat::Csv, "Failed to write output: ", args,
                      nargsf, kwnames);
}
SONORIK_ENTRY(export_to_tsv) {
  (void)self;
  return export_entry("export_to_tsv", report::OutputFormat::Tsv, "Failed to write TSV: ", args,
                      nargsf, kwnames);
}
SONORIK_ENTRY(export_to_xml) {
  (void)self;
  return export_entry("export_to_xml", report::OutputFormat::Xml, "Failed to write XML: ", args,
                      nargsf, kwnames);
}
SONORIK_ENTRY(export_to_json) {
  (void)self;
  return export_entry("export_to_json", report::OutputFormat::Json,
                      "Failed to write output: ", args, nargsf, kwnames);
}

}  // namespace sonorik::py
