#include "python/compat/frame.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sonorik::py {

namespace {

// `__qualname__` of the object's type (the name used in conversion messages).
std::string type_qualname(PyObject* obj) {
  PyRef name = PyRef::steal(
      PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    const char* text = PyUnicode_AsUTF8(name.get());
    if (text != nullptr) return text;
  }
  PyErr_Clear();
  return Py_TYPE(obj)->tp_name;
}

bool cannot_convert(PyObject* obj, const char* kind) {
  std::string msg = "'";
  msg += type_qualname(obj);
  msg += "' object cannot be converted to '";
  msg += kind;
  msg += '\'';
  raise(PyExc_TypeError, msg);
  return false;
}

// The attribute of the object's type as UTF-8, or "".
std::string type_attr(PyObject* obj, const char* attr) {
  PyRef v = PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), attr));
  std::string out;
  if (v && PyUnicode_Check(v.get())) {
    const char* text = PyUnicode_AsUTF8(v.get());
    if (text != nullptr) out = text;
  }
  PyErr_Clear();
  return out;
}

std::string join_names(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i != 0) {
      if (names.size() > 2) out += ',';
      out += i == names.size() - 1 ? " and " : " ";
    }
    out += '\'';
    out += names[i];
    out += '\'';
  }
  return out;
}

bool type_error(const std::string& msg) {
  raise(PyExc_TypeError, msg);
  return false;
}
}  // namespace

PyObject* finish(Outcome&& outcome) {
  if (auto* failure = std::get_if<PyFailure>(&outcome)) {
    raise(failure->type, failure->message);
    return nullptr;
  }
  return std::get<PyRef>(outcome).release();
}

bool match_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargsf,
                     PyObject* kwnames, std::vector<PyObject*>& out) {
  const std::string full_name = std::string(sig.name) + "()";
  const std::size_t nparams = sig.params.size();
  const auto nargs = static_cast<std::size_t>(PyVectorcall_NARGS(nargsf));
  out.assign(nparams, nullptr);

  if (nargs > nparams) {
    const char* was = nargs == 1 ? "was" : "were";
    if (sig.required != nparams) {
      return type_error(full_name + " takes from " + std::to_string(sig.required) + " to " +
                        std::to_string(nparams) + " positional arguments but " +
                        std::to_string(nargs) + " " + was + " given");
    }
    return type_error(full_name + " takes " + std::to_string(nparams) +
                      " positional arguments but " + std::to_string(nargs) + " " + was + " given");
  }
  for (std::size_t i = 0; i < nargs; ++i) out[i] = args[i];

  const Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    const char* key_text = PyUnicode_Check(key) ? PyUnicode_AsUTF8(key) : nullptr;
    if (key_text == nullptr) {
      PyErr_Clear();
      return type_error(full_name + " keywords must be strings");
    }
    std::size_t index = nparams;
    for (std::size_t i = 0; i < nparams; ++i) {
      if (std::strcmp(sig.params[i], key_text) == 0) {
        index = i;
        break;
      }
    }
    if (index == nparams) {
      return type_error(full_name + " got an unexpected keyword argument '" + key_text + "'");
    }
    if (out[index] != nullptr) {
      return type_error(full_name + " got multiple values for argument '" + key_text + "'");
    }
    out[index] = args[static_cast<std::size_t>(nargs) + static_cast<std::size_t>(k)];
  }

  std::vector<const char*> missing;
  for (std::size_t i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.params[i]);
  }
  if (!missing.empty()) {
    return type_error(full_name + " missing " + std::to_string(missing.size()) +
                      " required positional " + (missing.size() == 1 ? "argument" : "arguments") +
                      ": " + join_names(missing));
  }
  return true;
}

bool to_string(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) return cannot_convert(obj, "PyString");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;  // UnicodeEncodeError, raised unchanged
  out.assign(data, static_cast<std::size_t>(size));
  return true;
}

bool to_optional_string(PyObject* obj, std::optional<std::string>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  std::string s;
  if (!to_string(obj, s)) return false;
  out = std::move(s);
  return true;
}

bool to_bool(PyObject* obj, bool& out) {
  if (PyBool_Check(obj)) {
    out = obj == Py_True;
    return true;
  }
  const std::string module = type_attr(obj, "__module__");
  const std::string name = type_attr(obj, "__name__");
  if (module == "numpy" && (name == "bool_" || name == "bool")) {
    PyNumberMethods* nb = Py_TYPE(obj)->tp_as_number;
    if (nb != nullptr && nb->nb_bool != nullptr) {
      const int r = nb->nb_bool(obj);
      if (r < 0) return false;
      out = r == 1;
      return true;
    }
    PyRef type_text = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(obj))));
    const char* t = type_text ? PyUnicode_AsUTF8(type_text.get()) : nullptr;
    if (t == nullptr) return false;
    return type_error(std::string("object of type '") + t +
                      "' does not define a '__bool__' conversion");
  }
  return cannot_convert(obj, "PyBool");
}

bool to_double(PyObject* obj, double& out) {
  if (PyFloat_CheckExact(obj)) {
    out = PyFloat_AS_DOUBLE(obj);
    return true;
  }
  const double v = PyFloat_AsDouble(obj);
  if (v == -1.0 && PyErr_Occurred()) return false;
  out = v;
  return true;
}

bool to_optional_double(PyObject* obj, std::optional<double>& out) {
  if (obj == nullptr || obj == Py_None) {
    out.reset();
    return true;
  }
  double d = 0.0;
  if (!to_double(obj, d)) return false;
  out = d;
  return true;
}

bool to_string_list(PyObject* obj, std::vector<std::string>& out) {
  if (PyUnicode_Check(obj)) {
    return type_error("a str is not a list of paths; pass a list or tuple of str");
  }
  if (!PySequence_Check(obj)) return cannot_convert(obj, "Sequence");
  out.clear();
  // The length is only a hint (a sequence's __len__ may claim anything), so
  // it never decides more than a small reservation.
  constexpr Py_ssize_t kMaxReservedPaths = 4096;
  const Py_ssize_t hint = PySequence_Size(obj);
  if (hint > 0) out.reserve(static_cast<std::size_t>(std::min(hint, kMaxReservedPaths)));
  PyErr_Clear();
  PyRef it = PyRef::steal(PyObject_GetIter(obj));
  if (!it) return false;
  while (PyRef item = PyRef::steal(PyIter_Next(it.get()))) {
    std::string s;
    if (!to_string(item.get(), s)) return false;
    out.push_back(std::move(s));
  }
  return !PyErr_Occurred();
}

}  // namespace sonorik::py
