#include "python/errors.h"

#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

#include "core/text.h"

namespace sonorik::py {

namespace {

constexpr const char* kGenericFatalMessage = "a fatal error occurred inside the call";

PyRef utf8_text(const char* data, std::size_t size) noexcept {
  return PyRef::steal(PyUnicode_DecodeUTF8(data, static_cast<Py_ssize_t>(size), "replace"));
}

// Makes the exception object `exc` pending (an instance of its own class).
void raise_instance(const PyRef& exc) noexcept {
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())), exc.get());
}

// Takes the pending exception, normalised (null when none is pending).
PyRef take_exception() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  return PyRef::steal(PyErr_GetRaisedException());
#else
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  PyRef owned_type = PyRef::steal(type);
  PyRef owned_tb = PyRef::steal(tb);
  if (value != nullptr && tb != nullptr) PyException_SetTraceback(value, tb);
  return PyRef::steal(value);
#endif
}

// Makes `exc` the pending exception again, traceback included.
void restore_exception(PyRef exc) noexcept {
#if PY_VERSION_HEX >= 0x030C0000
  PyErr_SetRaisedException(exc.release());
#else
  PyRef type = PyRef::borrow(reinterpret_cast<PyObject*>(Py_TYPE(exc.get())));
  PyRef traceback = PyRef::steal(PyException_GetTraceback(exc.get()));
  PyErr_Restore(type.release(), exc.release(), traceback.release());  // steals all three
#endif
}

}  // namespace

void raise(PyObject* type, const std::string& message) noexcept {
  PyRef text = utf8_text(message.data(), message.size());
  if (!text) return;  // MemoryError is set
  PyErr_SetObject(type, text.get());
}

void raise_os_error(const Error& error, PyObject* path) {
  if (const std::optional<int> code = error.os_errno()) {
    const std::string description = os_error_description(*code);
    PyRef number = PyRef::steal(PyLong_FromLong(*code));
    PyRef text = utf8_text(description.data(), description.size());
    if (!number || !text) return;
    PyRef exc = PyRef::steal(
        PyObject_CallFunctionObjArgs(PyExc_OSError, number.get(), text.get(), path, nullptr));
    if (exc) raise_instance(exc);
    return;
  }
  std::string reason = error.message();
  while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
  PyRef head = utf8_text(reason.data(), reason.size());
  PyRef shown = PyRef::steal(PyObject_Repr(path));
  if (!head || !shown) return;
  PyRef message = PyRef::steal(PyUnicode_FromFormat("%U: %U", head.get(), shown.get()));
  if (message) PyErr_SetObject(PyExc_OSError, message.get());
}

PyObject* fatal_call_error_type() noexcept {
  // Never released: the class outlives every module and call that raises it.
  static PyRef* const type = new (std::nothrow) PyRef();
  if (type == nullptr) {
    PyErr_NoMemory();
    return nullptr;
  }
  if (!*type) {
    *type = PyRef::steal(PyErr_NewExceptionWithDoc(
        "sonorik.FatalCallError",
        "Raised when a call into sonorik hits an internal error. It derives from\n"
        "BaseException so that `except Exception` does not swallow it; the\n"
        "interpreter and the module stay usable.",
        PyExc_BaseException, nullptr));
  }
  return type->get();
}

void raise_fatal(const char* message) noexcept {
  PyObject* type = fatal_call_error_type();
  if (type == nullptr) Py_FatalError("sonorik: cannot create FatalCallError");
  const char* text = message != nullptr && *message != '\0' ? message : kGenericFatalMessage;
  PyRef value = utf8_text(text, std::strlen(text));
  if (!value) Py_FatalError("sonorik: cannot raise FatalCallError");
  PyErr_SetObject(type, value.get());
}

void raise_current_exception() noexcept {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    raise_fatal(e.what());
  } catch (...) {
    raise_fatal(nullptr);
  }
}

void raise_interrupted() noexcept {
  if (PyErr_Occurred() != nullptr) return;
  if (PyErr_CheckSignals() != 0) return;
  PyErr_SetNone(PyExc_KeyboardInterrupt);
}

void rewrap_argument_error(const char* name) noexcept {
  PyRef exc = take_exception();
  if (!exc) return;
  if (Py_TYPE(exc.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
    restore_exception(std::move(exc));
    return;
  }
  PyRef text = PyRef::steal(PyObject_Str(exc.get()));
  if (!text) return;
  const char* text_utf8 = PyUnicode_AsUTF8(text.get());
  if (text_utf8 == nullptr) return;
  PyRef msg = PyRef::steal(PyUnicode_FromFormat("argument '%s': %s", name, text_utf8));
  if (!msg) return;
  PyRef wrapped = PyRef::steal(PyObject_CallOneArg(PyExc_TypeError, msg.get()));
  if (!wrapped) return;
  PyRef cause = PyRef::steal(PyException_GetCause(exc.get()));      // new reference or NULL
  if (cause) PyException_SetCause(wrapped.get(), cause.release());  // steals
  PyErr_SetObject(PyExc_TypeError, wrapped.get());
}

PyRef take_pending_exception() noexcept { return take_exception(); }

void raise_with_cause(PyObject* type, const std::string& message, PyRef cause) noexcept {
  if (cause && !PyObject_IsInstance(cause.get(), PyExc_Exception)) {
    restore_exception(std::move(cause));
    return;
  }
  raise(type, message);
  if (!cause) return;
  PyRef raised = take_exception();
  if (!raised) return;
  PyException_SetCause(raised.get(), cause.release());  // steals
  restore_exception(std::move(raised));
}

}  // namespace sonorik::py
