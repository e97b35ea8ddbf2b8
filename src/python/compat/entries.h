// The module functions. Each uses the fast-call-with-keywords convention and
// runs its whole body inside the fatal-error boundary (see frame.h).
#pragma once

#include "core/interrupt.h"
#include "core/metric.h"
#include "python/compat/frame.h"

namespace sonorik::py {

#define SONORIK_ENTRY(name) \
  PyObject* name(PyObject* self, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames)

SONORIK_ENTRY(analyze_audio);
SONORIK_ENTRY(analyze_audio_all);
SONORIK_ENTRY(get_audio_info_py);
SONORIK_ENTRY(normalize_true_peak);
SONORIK_ENTRY(normalize_integrated_loudness);
SONORIK_ENTRY(normalize_short_term_loudness);
SONORIK_ENTRY(normalize_momentary_loudness);
SONORIK_ENTRY(normalize_rms_max);
SONORIK_ENTRY(normalize_rms_average);
SONORIK_ENTRY(export_to_csv);
SONORIK_ENTRY(export_to_tsv);
SONORIK_ENTRY(export_to_xml);
SONORIK_ENTRY(export_to_json);
SONORIK_ENTRY(batch_analyze);
SONORIK_ENTRY(batch_analyze_directory_py);
SONORIK_ENTRY(find_audio_files);

// Matches the arguments to `sig`, then runs `body(argv)` (argv: one borrowed
// object or nullptr per parameter) under the boundary and raises or returns
// its outcome. A SIGINT or SIGTERM during the body stops its loops at their
// next block (nothing is committed), and the call raises what
// raise_interrupted() raises instead of the outcome.
template <class Body>
PyObject* run_entry(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames, Body&& body) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    std::vector<PyObject*> argv;
    if (!match_arguments(sig, args, nargsf, kwnames, argv)) return nullptr;
    InterruptScope watching(true);
    Outcome outcome = body(argv);
    if (interrupted()) {
      PyErr_Clear();  // whatever the stopped body set gives way
      raise_interrupted();
      return nullptr;
    }
    return finish(std::move(outcome));
  });
}

// The seven measure flags of analyze_audio, batch and export functions, in
// their parameter order.
inline constexpr const char* kFlagNames[7] = {"integrated_loudness", "short_term_loudness",
                                              "momentary_loudness",  "loudness_range",
                                              "true_peak",           "rms_max",
                                              "rms_average"};

// The parameters `leading` followed by the seven flags; the first `required`
// of them must be given.
inline Signature with_flags(const char* name, std::vector<const char*> leading,
                            std::size_t required) {
  leading.insert(leading.end(), std::begin(kFlagNames), std::end(kFlagNames));
  return Signature{name, std::move(leading), required};
}

// Converts the seven measure flags found at argv[first..first+6]; an omitted
// flag (nullptr) is false. False with a Python exception set on failure.
bool convert_flags(const std::vector<PyObject*>& argv, std::size_t first, MeasureFlags& flags);

}  // namespace sonorik::py
