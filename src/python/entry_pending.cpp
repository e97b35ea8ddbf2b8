// Module functions whose subsystems are not wired in yet raise
// NotImplementedError after their arguments were matched.
#include "python/entries.h"

namespace sonorik::py {

namespace {
PyObject* pending(const char* name) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    raise(PyExc_NotImplementedError, std::string(name) + "() is not available yet");
    return nullptr;
  });
}
}  // namespace

#define PENDING(fn) \
  SONORIK_ENTRY(fn) { (void)self, (void)args, (void)nargsf, (void)kwnames; return pending(#fn); }

PENDING(analyze_audio)
PENDING(analyze_audio_all)
PENDING(normalize_true_peak)
PENDING(normalize_integrated_loudness)
PENDING(normalize_short_term_loudness)
PENDING(normalize_momentary_loudness)
PENDING(normalize_rms_max)
PENDING(normalize_rms_average)
PENDING(export_to_csv)
PENDING(export_to_tsv)
PENDING(export_to_xml)
PENDING(export_to_json)
PENDING(batch_analyze)
PENDING(batch_analyze_directory_py)
PENDING(find_audio_files)

}  // namespace sonorik::py
