// A test-only extension that drives the frame's fatal-error boundary: its
// functions throw inside the guard exactly as an internal failure would.
#include <new>
#include <stdexcept>
#include <vector>

#include "python/compat/frame.h"

namespace {

PyObject* raise_internal_error(PyObject*, PyObject* arg) {
  std::string message;
  if (arg != Py_None && !sonorik::py::to_string(arg, message)) return nullptr;
  return sonorik::py::guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (message.empty()) throw 42;  // not a std::exception: no message text
    throw std::logic_error(message);
  });
}

PyObject* index_out_of_range(PyObject*, PyObject*) {
  return sonorik::py::guarded<PyObject*>(nullptr, []() -> PyObject* {
    std::vector<int> v(3);
    return PyLong_FromLong(v.at(7));
  });
}

PyObject* exhaust_memory(PyObject*, PyObject*) {
  return sonorik::py::guarded<PyObject*>(nullptr, []() -> PyObject* { throw std::bad_alloc(); });
}

PyMethodDef methods[] = {
    {"raise_internal_error", raise_internal_error, METH_O, nullptr},
    {"index_out_of_range", index_out_of_range, METH_NOARGS, nullptr},
    {"exhaust_memory", exhaust_memory, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef probe = {PyModuleDef_HEAD_INIT,
                     "_sonorik_probe",
                     nullptr,
                     -1,
                     methods,
                     nullptr,
                     nullptr,
                     nullptr,
                     nullptr};

}  // namespace

PyMODINIT_FUNC PyInit__sonorik_probe() { return PyModule_Create(&probe); }
