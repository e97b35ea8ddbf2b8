// The six normalize_* functions: one gain that brings one measure to a target
// level (or into a target range), written to output_path or over the input.
#include "compat/normalize_file.h"
#include "python/compat/entries.h"

namespace sonorik::py {

namespace {

PyObject* normalize_entry(const char* name, const char* target_name,
                          normalize::NormalizationKind kind, PyObject* const* args,
                          Py_ssize_t nargsf, PyObject* kwnames) {
  const Signature sig{name, {"input_path", target_name, "output_path", "range_bound"}, 2};
  return run_entry(sig, args, nargsf, kwnames, [&](std::vector<PyObject*>& argv) -> Outcome {
    std::string input;
    normalize::NormalizationTarget target;
    target.kind = kind;
    std::optional<std::string> output;
    if (!convert("input_path", argv[0], to_string, input) ||
        !convert(target_name, argv[1], to_double, target.target) ||
        !convert("output_path", argv[2], to_optional_string, output) ||
        !convert("range_bound", argv[3], to_optional_double, target.range_bound)) {
      return PyRef();
    }
    std::optional<normalize::NormalizeFileError> error =
        normalize::normalize_file(input, target, output);
    if (!error) return PyRef::borrow(Py_None);
    PyObject* type =
        error->step == normalize::NormalizeFileStep::Normalize ? PyExc_RuntimeError : PyExc_OSError;
    return PyFailure{type, error->message()};
  });
}

}  // namespace

#define NORMALIZE_ENTRY(fn, target, kind)                                                 \
  SONORIK_ENTRY(fn) {                                                                     \
    (void)self;                                                                           \
    return normalize_entry(#fn, target, normalize::NormalizationKind::kind, args, nargsf, \
                           kwnames);                                                      \
  }

NORMALIZE_ENTRY(normalize_true_peak, "target_dbfs", TruePeak)
NORMALIZE_ENTRY(normalize_integrated_loudness, "target_lufs", IntegratedLoudness)
NORMALIZE_ENTRY(normalize_short_term_loudness, "target_lufs", ShortTermLoudness)
NORMALIZE_ENTRY(normalize_momentary_loudness, "target_lufs", MomentaryLoudness)
NORMALIZE_ENTRY(normalize_rms_max, "target_db", RmsMax)
NORMALIZE_ENTRY(normalize_rms_average, "target_db", RmsAverage)

}  // namespace sonorik::py
