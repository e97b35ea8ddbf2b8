#include "python/meter/arguments.h"

#include <cmath>
#include <cstdio>

#include "python/errors.h"

namespace sonorik::meter {

void raise(PyObject* type, const std::string& message) {
  py::raise(type, message);
  throw nb::python_error();
}

void raise_interrupted() {
  py::raise_interrupted();
  throw nb::python_error();
}

void raise_os_error(const Error& error, const nb::object& path) {
  py::raise_os_error(error, path.ptr());
  throw nb::python_error();
}

std::string text_of(nb::handle h) {
  nb::object s = nb::steal(PyObject_Str(h.ptr()));
  if (!s.is_valid()) throw nb::python_error();
  return nb::cast<std::string>(s);
}

std::string type_name_of(nb::handle h) {
  return text_of(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(h.ptr()))).attr("__name__"));
}

bool is_path_like(nb::handle value) {
  return nb::isinstance<nb::str>(value) || nb::isinstance<nb::bytes>(value) ||
         nb::hasattr(value, "__fspath__");
}

PathArg path_arg(const nb::object& value, const char* name) {
  if (!is_path_like(value)) {
    raise(PyExc_TypeError,
          std::string(name) + " must be str, bytes or os.PathLike, got " + type_name_of(value));
  }
  nb::module_ os = nb::module_::import_("os");
  PathArg out;
  out.shown = os.attr("fspath")(value);
  const nb::bytes encoded = nb::cast<nb::bytes>(os.attr("fsencode")(out.shown));
  out.bytes.assign(encoded.c_str(), encoded.size());
  if (out.bytes.find('\0') != std::string::npos) {
    raise(PyExc_ValueError, "embedded null byte in path");
  }
  return out;
}

double level_arg(const nb::object& value, const char* name) {
  if (nb::isinstance<nb::bool_>(value) ||
      !(PyFloat_Check(value.ptr()) || PyLong_Check(value.ptr()))) {
    raise(PyExc_TypeError, std::string(name) + " must be a number, got " + type_name_of(value));
  }
  const double v = PyFloat_AsDouble(value.ptr());
  if (v == -1.0 && PyErr_Occurred()) throw nb::python_error();
  return v;
}

std::string level_text(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return std::isinf(v) ? (v < 0 ? "-inf" : "inf") : buf;
}

}  // namespace sonorik::meter
