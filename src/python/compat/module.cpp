// The two module objects, "sonorik" and "_sonorik", built from one shared
// function table. Both initialisers cache their module and refuse to be
// initialised from a second interpreter.
#include <atomic>
#include <cstdint>
#include <stdexcept>

#include "python/compat/entries.h"
#include "python/compat/result_types.h"

namespace sonorik::py {
namespace {

#define FLAGS_SIGNATURE                                                                       \
  "integrated_loudness, short_term_loudness, momentary_loudness, loudness_range, true_peak, " \
  "rms_max, rms_average"
#define NORMALIZE_DOC(fn, target, what)              \
  fn "(input_path, " target                          \
     ", output_path=None, range_bound=None)\n--\n\n" \
     "Normalize audio file to specified " what       \
     " level\n"                                      \
     "If range_bound is provided, only normalize if current value is outside the range"
#define EXPORT_DOC(fn, kind)                                                                  \
  fn "(file_paths, output_file, " FLAGS_SIGNATURE ")\n--\n\nExport analysis results to " kind \
     " format"

template <auto Fn>
constexpr PyCFunction fastcall() {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Fn));
}

constexpr int kFastcallKeywords = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef m_analyze_audio = {
    "analyze_audio", fastcall<analyze_audio>(), kFastcallKeywords,
    "analyze_audio(file_path, integrated_loudness=False, short_term_loudness=False, "
    "momentary_loudness=False, loudness_range=False, true_peak=False, rms_max=False, "
    "rms_average=False)\n--\n\n"
    "Analyze audio file with specified options using the same robust analysis as the EXE version"};
PyMethodDef m_analyze_audio_all = {"analyze_audio_all", fastcall<analyze_audio_all>(),
                                   kFastcallKeywords,
                                   "analyze_audio_all(file_path)\n--\n\n"
                                   "Analyze audio file for all measurements"};
PyMethodDef m_get_audio_info_py = {"get_audio_info_py", fastcall<get_audio_info_py>(),
                                   kFastcallKeywords,
                                   "get_audio_info_py(file_path)\n--\n\n"
                                   "Get basic audio file information"};
PyMethodDef m_normalize_true_peak = {
    "normalize_true_peak", fastcall<normalize_true_peak>(), kFastcallKeywords,
    NORMALIZE_DOC("normalize_true_peak", "target_dbfs", "True Peak")};
PyMethodDef m_normalize_integrated_loudness = {
    "normalize_integrated_loudness", fastcall<normalize_integrated_loudness>(), kFastcallKeywords,
    NORMALIZE_DOC("normalize_integrated_loudness", "target_lufs", "Integrated Loudness")};
PyMethodDef m_normalize_short_term_loudness = {
    "normalize_short_term_loudness", fastcall<normalize_short_term_loudness>(), kFastcallKeywords,
    NORMALIZE_DOC("normalize_short_term_loudness", "target_lufs", "Short-term Loudness")};
PyMethodDef m_normalize_momentary_loudness = {
    "normalize_momentary_loudness", fastcall<normalize_momentary_loudness>(), kFastcallKeywords,
    NORMALIZE_DOC("normalize_momentary_loudness", "target_lufs", "Momentary Loudness")};
PyMethodDef m_normalize_rms_max = {"normalize_rms_max", fastcall<normalize_rms_max>(),
                                   kFastcallKeywords,
                                   NORMALIZE_DOC("normalize_rms_max", "target_db", "RMS Max")};
PyMethodDef m_normalize_rms_average = {
    "normalize_rms_average", fastcall<normalize_rms_average>(), kFastcallKeywords,
    NORMALIZE_DOC("normalize_rms_average", "target_db", "RMS Average")};
PyMethodDef m_export_to_csv = {"export_to_csv", fastcall<export_to_csv>(), kFastcallKeywords,
                               EXPORT_DOC("export_to_csv", "CSV")};
PyMethodDef m_export_to_tsv = {"export_to_tsv", fastcall<export_to_tsv>(), kFastcallKeywords,
                               EXPORT_DOC("export_to_tsv", "TSV")};
PyMethodDef m_export_to_xml = {"export_to_xml", fastcall<export_to_xml>(), kFastcallKeywords,
                               EXPORT_DOC("export_to_xml", "XML")};
PyMethodDef m_export_to_json = {"export_to_json", fastcall<export_to_json>(), kFastcallKeywords,
                                EXPORT_DOC("export_to_json", "JSON")};
PyMethodDef m_batch_analyze = {"batch_analyze", fastcall<batch_analyze>(), kFastcallKeywords,
                               "batch_analyze(file_paths, " FLAGS_SIGNATURE
                               ")\n--\n\n"
                               "Batch process multiple audio files with analysis"};
PyMethodDef m_batch_analyze_directory_py = {
    "batch_analyze_directory_py", fastcall<batch_analyze_directory_py>(), kFastcallKeywords,
    "batch_analyze_directory_py(directory_path, " FLAGS_SIGNATURE
    ")\n--\n\n"
    "Batch analyze all audio files in a directory (EXE version directory functionality)"};
PyMethodDef m_find_audio_files = {"find_audio_files", fastcall<find_audio_files>(),
                                  kFastcallKeywords,
                                  "find_audio_files(directory_path)\n--\n\n"
                                  "Find audio files in a directory"};

// Appends `name` to the module's __all__ (creating the list when the module
// has none), then sets the attribute. 0 on success, -1 with an exception set.
int add_named(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return -1;
    PyErr_Clear();
    all = PyRef::steal(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return -1;
  }
  if (!PyList_Check(all.get()) || PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    throw std::runtime_error("could not append __name__ to __all__");
  }
  return PyObject_SetAttr(module, name, value);
}

int add_function(PyObject* module, PyMethodDef* def) {
  PyRef module_name = PyRef::steal(PyModule_GetNameObject(module));
  if (!module_name) return -1;
  PyRef fn = PyRef::steal(PyCMethod_New(def, module, module_name.get(), nullptr));
  if (!fn) return -1;
  PyRef name = PyRef::steal(PyObject_GetAttrString(fn.get(), "__name__"));
  if (!name) return -1;
  return add_named(module, name.get(), fn.get());
}

int add_class(PyObject* module, PyObject* (*type_getter)()) {
  PyObject* type = type_getter();
  if (type == nullptr) return -1;
  PyRef name = PyRef::steal(PyObject_GetAttrString(type, "__name__"));
  if (!name) return -1;
  return add_named(module, name.get(), type);
}

int sonorik_body(PyObject* m) {
  PyMethodDef* functions[] = {
      &m_analyze_audio,
      &m_analyze_audio_all,
      &m_get_audio_info_py,
      &m_normalize_true_peak,
      &m_normalize_integrated_loudness,
      &m_normalize_short_term_loudness,
      &m_normalize_momentary_loudness,
      &m_normalize_rms_max,
      &m_normalize_rms_average,
      &m_export_to_csv,
      &m_export_to_tsv,
      &m_export_to_xml,
      &m_export_to_json,
      &m_batch_analyze,
      &m_batch_analyze_directory_py,
      &m_find_audio_files,
  };
  for (PyMethodDef* def : functions) {
    if (add_function(m, def) < 0) return -1;
  }
  if (add_class(m, audio_info_type) < 0) return -1;
  return add_class(m, analysis_results_type);
}

int underscore_body(PyObject* m) {
  if (add_class(m, analysis_results_type) < 0) return -1;
  if (add_class(m, audio_info_type) < 0) return -1;
  PyMethodDef* functions[] = {
      &m_analyze_audio,
      &m_analyze_audio_all,
      &m_get_audio_info_py,
      &m_batch_analyze,
      &m_batch_analyze_directory_py,
      &m_normalize_true_peak,
      &m_normalize_integrated_loudness,
      &m_normalize_rms_max,
      &m_normalize_rms_average,
      &m_export_to_csv,
      &m_export_to_json,
      &m_find_audio_files,
  };
  for (PyMethodDef* def : functions) {
    if (add_function(m, def) < 0) return -1;
  }
  return 0;
}

struct ModuleDefinition {
  PyModuleDef def;
  int (*body)(PyObject*);
  PyObject* cached = nullptr;
  std::atomic<std::int64_t> owner{-1};
};

ModuleDefinition sonorik_module{
    {PyModuleDef_HEAD_INIT, "sonorik", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr},
    sonorik_body};
ModuleDefinition underscore_module{{PyModuleDef_HEAD_INIT, "_sonorik", "Python module definition",
                                    0, nullptr, nullptr, nullptr, nullptr, nullptr},
                                   underscore_body};

PyObject* initialise(ModuleDefinition& d) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyInterpreterState* interp = PyInterpreterState_Get();
    const std::int64_t id = PyInterpreterState_GetID(interp);
    if (id == -1) return nullptr;
    std::int64_t expected = -1;
    if (!d.owner.compare_exchange_strong(expected, id) && expected != id) {
      raise(PyExc_ImportError,
            "sonorik does not support subinterpreters: it can only be imported "
            "in the interpreter that first imported it");
      return nullptr;
    }
    if (d.cached != nullptr) return PyRef::borrow(d.cached).release();
    PyRef module = PyRef::steal(PyModule_Create2(&d.def, PYTHON_API_VERSION));
    if (!module) return nullptr;
    if (d.body(module.get()) < 0) return nullptr;
    d.cached = PyRef::borrow(module.get()).release();  // kept for the process
    return module.release();
  });
}

}  // namespace
}  // namespace sonorik::py

PyMODINIT_FUNC PyInit_sonorik() { return sonorik::py::initialise(sonorik::py::sonorik_module); }
PyMODINIT_FUNC PyInit__sonorik() { return sonorik::py::initialise(sonorik::py::underscore_module); }
