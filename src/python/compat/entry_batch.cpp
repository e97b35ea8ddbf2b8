// find_audio_files, batch_analyze and batch_analyze_directory_py.
#include "compat/batch.h"
#include "compat/extensions.h"
#include "python/compat/entries.h"
#include "python/compat/result_types.h"
#include "scan/file_scanner.h"

namespace sonorik::py {

namespace {

// A path from the scanner as str; bytes that are not UTF-8 become U+FFFD.
PyRef path_text(const std::string& path) {
  PyRef s = PyRef::steal(
      PyUnicode_DecodeUTF8(path.data(), static_cast<Py_ssize_t>(path.size()), "replace"));
  if (!s) throw std::bad_alloc();
  return s;
}

Outcome scan(const std::string& dir, std::vector<std::string>& found) {
  // The sonorik module's audio files: WAV and AIFF by name, in any case.
  Result<std::vector<std::string>> files = utils::find_audio_files(
      dir, [](std::string_view path) { return audio_extension_of(path) != AudioExtension::Other; });
  if (!files) return os_failure("Failed to scan directory: " + files.error().message());
  found = std::move(files).value();
  return PyRef::borrow(Py_None);
}

// Runs the batch and converts its entries to (path, PyAudioInfo,
// PyAnalysisResults) tuples once every file is done.
Outcome batch(const std::vector<std::string>& paths, const MeasureFlags& flags) {
  std::vector<BatchEntry> entries = batch_analyze(paths, flags);
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(entries.size())));
  if (!list) throw std::bad_alloc();
  for (std::size_t i = 0; i < entries.size(); ++i) {
    PyRef path = path_text(entries[i].path);
    PyRef info = make_audio_info(audio_info_record(entries[i].info));
    PyRef results = make_analysis_results(entries[i].results);
    PyObject* tuple = PyTuple_Pack(3, path.get(), info.get(), results.get());
    if (tuple == nullptr) throw std::runtime_error("could not create a batch entry");
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), tuple);  // steals
  }
  return list;
}

}  // namespace

SONORIK_ENTRY(find_audio_files) {
  (void)self;
  static const Signature sig{"find_audio_files", {"directory_path"}, 1};
  return run_entry(sig, args, nargsf, kwnames, [](std::vector<PyObject*>& argv) -> Outcome {
    std::string dir;
    if (!convert("directory_path", argv[0], to_string, dir)) return PyRef();
    std::vector<std::string> found;
    Outcome scanned = scan(dir, found);
    if (std::holds_alternative<PyFailure>(scanned)) return scanned;
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(found.size())));
    if (!list) throw std::bad_alloc();
    for (std::size_t i = 0; i < found.size(); ++i) {
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), path_text(found[i]).release());
    }
    return list;
  });
}

SONORIK_ENTRY(batch_analyze) {
  (void)self;
  static const Signature sig = with_flags("batch_analyze", {"file_paths"}, 8);
  return run_entry(sig, args, nargsf, kwnames, [](std::vector<PyObject*>& argv) -> Outcome {
    std::vector<std::string> paths;
    MeasureFlags flags;
    if (!convert("file_paths", argv[0], to_string_list, paths) || !convert_flags(argv, 1, flags)) {
      return PyRef();
    }
    return batch(paths, flags);
  });
}

SONORIK_ENTRY(batch_analyze_directory_py) {
  (void)self;
  static const Signature sig = with_flags("batch_analyze_directory_py", {"directory_path"}, 8);
  return run_entry(sig, args, nargsf, kwnames, [](std::vector<PyObject*>& argv) -> Outcome {
    std::string dir;
    MeasureFlags flags;
    if (!convert("directory_path", argv[0], to_string, dir) || !convert_flags(argv, 1, flags)) {
      return PyRef();
    }
    std::vector<std::string> found;
    Outcome scanned = scan(dir, found);
    if (std::holds_alternative<PyFailure>(scanned)) return scanned;
    // The scanner's paths go on as text, invalid UTF-8 replaced, as Python
    // would have received them from find_audio_files.
    for (std::string& p : found) {
      PyRef text = path_text(p);
      Py_ssize_t size = 0;
      const char* utf8 = PyUnicode_AsUTF8AndSize(text.get(), &size);
      if (utf8 == nullptr) throw std::bad_alloc();
      p.assign(utf8, static_cast<std::size_t>(size));
    }
    return batch(found, flags);
  });
}

}  // namespace sonorik::py
