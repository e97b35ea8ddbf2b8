// The Python frame: the fatal-error boundary, the recorded ("lazy") Python
// exception of an entry point, and argument matching and conversion for the
// fast-call-with-keywords convention. The exceptions themselves are made in
// python/errors.h.
#pragma once

#include <cstddef>
#include <new>
#include <optional>
#include <stdexcept>
#include <string>
#include <variant>
#include <vector>

#include "python/errors.h"
#include "python/pyref.h"

namespace sonorik::py {

// ---- Exceptions -------------------------------------------------------------

// An exception an entry point wants raised: its class and message. It is
// turned into a Python exception object only when the call returns.
struct PyFailure {
  PyObject* type;  // borrowed: a built-in exception class
  std::string message;
};

// What an entry point body gives back: a new reference, or a failure to raise.
// An empty PyRef means a Python exception is already set.
using Outcome = std::variant<PyRef, PyFailure>;

inline PyFailure os_failure(std::string message) { return {PyExc_OSError, std::move(message)}; }
inline PyFailure runtime_failure(std::string message) {
  return {PyExc_RuntimeError, std::move(message)};
}

// Runs `body` so that no C++ exception unwinds into the interpreter: the
// exception becomes a Python one (raise_current_exception in errors.h:
// MemoryError or FatalCallError). Returns `on_error` then.
template <class R, class F>
R guarded(R on_error, F&& body) noexcept {
  try {
    return body();
  } catch (...) {
    raise_current_exception();
  }
  return on_error;
}

// Raises the failure of an outcome, or releases its result.
PyObject* finish(Outcome&& outcome);

// ---- Arguments --------------------------------------------------------------

struct Signature {
  const char* name;                 // function name, e.g. "analyze_audio"
  std::vector<const char*> params;  // all positional-or-keyword, in order
  std::size_t required;             // leading parameters that must be given
};

// Matches positional and keyword arguments to `sig`. On success `out` holds
// one borrowed object per parameter (nullptr when omitted). On failure a
// TypeError is set and false returned.
bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, std::vector<PyObject*>& out);

// Converters: false with a Python exception set on failure. A wrong type
// raises TypeError "'{type}' object cannot be converted to '{kind}'".
bool to_string(PyObject* obj, std::string& out);  // PyString
bool to_optional_string(PyObject* obj, std::optional<std::string>& out);
bool to_bool(PyObject* obj, bool& out);  // PyBool
bool to_double(PyObject* obj, double& out);
bool to_optional_double(PyObject* obj, std::optional<double>& out);
bool to_string_list(PyObject* obj, std::vector<std::string>& out);  // Sequence

// Runs one converter for parameter `name`. A conversion failing with exactly
// TypeError is re-raised as TypeError "argument '{name}': {text}" keeping the
// original's __cause__; any other exception is left as it is.
template <class T>
bool convert(const char* name, PyObject* obj, bool (*conv)(PyObject*, T&), T& out) {
  if (conv(obj, out)) return true;
  rewrap_argument_error(name);
  return false;
}

}  // namespace sonorik::py
