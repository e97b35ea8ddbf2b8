// The sonorik_meter module's arguments and results: raising (through
// python/errors.h, the one place exceptions are made), the one conversion of
// a path argument, numbers, and the tuples and texts the results show.
// Everything here runs with the interpreter lock held.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/error.h"
#include "core/interrupt.h"

namespace sonorik::meter {

namespace nb = nanobind;

// Raises `type` with `message`.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// Raises the OSError for `error` about `path` (py::raise_os_error: the
// subclass for its errno, with `path` as the filename).
[[noreturn]] void raise_os_error(const Error& error, const nb::object& path);

// str(h), and the name of h's type.
std::string text_of(nb::handle h);
std::string type_name_of(nb::handle h);

// True for what a path argument takes: str, bytes or an os.PathLike.
bool is_path_like(nb::handle value);

// A path argument: the bytes handed to the system (os.fsencode of
// os.fspath), and the str or bytes os.fspath gave, shown in errors.
struct PathArg {
  std::string bytes;
  nb::object shown;
};

// Converts the argument `name`. Raises TypeError "{name} must be str, bytes
// or os.PathLike, got {type}", ValueError "embedded null byte in path", and
// whatever os.fspath raises.
PathArg path_arg(const nb::object& value, const char* name);

// A level argument (int or float, not bool) as a double. Raises TypeError
// "{name} must be a number, got {type}".
double level_arg(const nb::object& value, const char* name);

// A tuple of the values converted to Python.
template <class T>
nb::tuple tuple_of(const std::vector<T>& values) {
  nb::list list;
  for (const T& v : values) list.append(nb::cast(v));
  return nb::steal<nb::tuple>(PyList_AsTuple(list.ptr()));
}

// Raises what a call stopped by SIGINT or SIGTERM raises
// (py::raise_interrupted).
[[noreturn]] void raise_interrupted();

// Runs `work` with the interpreter lock released, watching for SIGINT and
// SIGTERM: the engine and the writers stop at their next block, and the call
// then raises raise_interrupted() whatever `work` returned, so that nothing
// half done is reported.
template <class F>
auto released(F&& work) -> decltype(work()) {
  InterruptScope watching(true);
  std::optional<decltype(work())> result;
  {
    nb::gil_scoped_release unlocked;
    result.emplace(work());
  }
  if (interrupted()) raise_interrupted();
  return std::move(*result);
}

// A level in a repr: two decimals, or "inf" / "-inf".
std::string level_text(double v);

}  // namespace sonorik::meter
