#include "python/compat/result_types.h"

#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "core/text.h"
#include "python/compat/frame.h"

namespace sonorik::py {

namespace {

struct AudioInfoObject {
  PyObject_HEAD AudioInfoRecord record;
};

struct AnalysisResultsObject {
  PyObject_HEAD AnalysisResults results;
};

AudioInfoRecord& record_of(PyObject* self) {
  return reinterpret_cast<AudioInfoObject*>(self)->record;
}
AnalysisResults& results_of(PyObject* self) {
  return reinterpret_cast<AnalysisResultsObject*>(self)->results;
}

PyObject* optional_float(const std::optional<double>& v) {
  if (!v) Py_RETURN_NONE;
  return PyFloat_FromDouble(*v);
}

PyObject* text(const std::string& s) {
  return PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size()));
}

PyObject* no_constructor(PyTypeObject* type, PyObject*, PyObject*) {
  const char* name = type->tp_name;
  const char* dot = std::strrchr(name, '.');
  raise(PyExc_TypeError, std::string("No constructor defined for ") + (dot ? dot + 1 : name));
  return nullptr;
}

// Each deallocator releases the owned fields, then frees the instance
// through the type's free slot (heap-type instances hold a type reference).
void audio_info_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&record_of(self));
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

void analysis_results_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  std::destroy_at(&results_of(self));
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// Getters run inside the fatal-error boundary like every entry point.
#define INFO_GETTER(expr)                    \
  [](PyObject* self, void*) -> PyObject* {   \
    return guarded<PyObject*>(nullptr, [&] { \
      const auto& r = record_of(self);       \
      return (expr);                         \
    });                                      \
  }
#define RESULT_GETTER(field)                                                                    \
  [](PyObject* self, void*) -> PyObject* {                                                      \
    return guarded<PyObject*>(nullptr, [&] { return optional_float(results_of(self).field); }); \
  }

PyGetSetDef audio_info_getset[] = {
    {"sample_rate", INFO_GETTER(PyLong_FromUnsignedLong(r.sample_rate)), nullptr, nullptr, nullptr},
    {"channels", INFO_GETTER(PyLong_FromUnsignedLong(r.channels)), nullptr, nullptr, nullptr},
    {"bit_depth", INFO_GETTER(PyLong_FromUnsignedLong(r.bit_depth)), nullptr, nullptr, nullptr},
    {"total_samples", INFO_GETTER(PyLong_FromUnsignedLongLong(r.total_samples)), nullptr, nullptr,
     nullptr},
    {"duration_seconds", INFO_GETTER(PyFloat_FromDouble(r.duration_seconds)), nullptr, nullptr,
     nullptr},
    {"duration_formatted", INFO_GETTER(text(r.duration_formatted)), nullptr, nullptr, nullptr},
    {"sample_format", INFO_GETTER(text(r.sample_format)), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyGetSetDef analysis_results_getset[] = {
    {"integrated_loudness", RESULT_GETTER(integrated_loudness), nullptr, nullptr, nullptr},
    {"short_term_loudness", RESULT_GETTER(short_term_loudness), nullptr, nullptr, nullptr},
    {"momentary_loudness", RESULT_GETTER(momentary_loudness), nullptr, nullptr, nullptr},
    {"loudness_range", RESULT_GETTER(loudness_range), nullptr, nullptr, nullptr},
    {"true_peak", RESULT_GETTER(true_peak), nullptr, nullptr, nullptr},
    {"rms_max", RESULT_GETTER(rms_max), nullptr, nullptr, nullptr},
    {"rms_average", RESULT_GETTER(rms_average), nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot audio_info_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python audio info structure")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(audio_info_dealloc)},
    {Py_tp_getset, audio_info_getset},
    {0, nullptr},
};

PyType_Slot analysis_results_slots[] = {
    {Py_tp_doc, const_cast<char*>("Python analysis results structure")},
    {Py_tp_new, reinterpret_cast<void*>(no_constructor)},
    {Py_tp_dealloc, reinterpret_cast<void*>(analysis_results_dealloc)},
    {Py_tp_getset, analysis_results_getset},
    {0, nullptr},
};

// "builtins." keeps the module prefix out of the class name: CPython then
// reports __module__ as "builtins" and shows the bare class name.
PyType_Spec audio_info_spec = {"builtins.PyAudioInfo", sizeof(AudioInfoObject), 0,
                               Py_TPFLAGS_DEFAULT, audio_info_slots};
PyType_Spec analysis_results_spec = {"builtins.PyAnalysisResults", sizeof(AnalysisResultsObject), 0,
                                     Py_TPFLAGS_DEFAULT, analysis_results_slots};

PyObject* type_from(PyType_Spec& type_spec, PyObject*& cache) {
  if (cache == nullptr) cache = PyType_FromSpec(&type_spec);  // kept for the process
  return cache;
}

PyObject* allocate(PyObject* type) {
  auto* tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* obj = alloc(tp, 0);
  if (obj == nullptr) {
    PyErr_Clear();
    throw std::bad_alloc();
  }
  return obj;
}

}  // namespace

AudioInfoRecord audio_info_record(const AudioInfo& info) {
  AudioInfoRecord r;
  r.sample_rate = info.sample_rate;
  r.channels = info.channels;
  r.bit_depth = static_cast<std::uint8_t>(info.bit_depth & 0xFF);
  r.total_samples = info.total_samples;
  r.duration_seconds = info.duration_seconds;
  r.duration_formatted = format_duration(info.duration_seconds);
  r.sample_format = std::string(sample_format_name(info.sample_format));
  return r;
}

PyObject* audio_info_type() {
  static PyObject* cache = nullptr;
  return type_from(audio_info_spec, cache);
}

PyObject* analysis_results_type() {
  static PyObject* cache = nullptr;
  return type_from(analysis_results_spec, cache);
}

PyRef make_audio_info(AudioInfoRecord record) {
  PyObject* type = audio_info_type();
  if (type == nullptr) throw std::runtime_error("could not create the PyAudioInfo type");
  PyObject* obj = allocate(type);
  new (&record_of(obj)) AudioInfoRecord(std::move(record));
  return PyRef::steal(obj);
}

PyRef make_analysis_results(const AnalysisResults& results) {
  PyObject* type = analysis_results_type();
  if (type == nullptr) throw std::runtime_error("could not create the PyAnalysisResults type");
  PyObject* obj = allocate(type);
  new (&results_of(obj)) AnalysisResults(results);
  return PyRef::steal(obj);
}

}  // namespace sonorik::py
