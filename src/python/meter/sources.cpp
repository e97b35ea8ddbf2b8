#include "python/meter/sources.h"

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <utility>

#include "python/errors.h"

namespace sonorik::meter {

using py::PyRef;

namespace {

// "scheme://", the scheme two characters or more (so that "C:\x" is a path).
bool has_url_scheme(const std::string& text) {
  const std::size_t end = text.find("://");
  if (end == std::string::npos || end < 2 || !std::isalpha(static_cast<unsigned char>(text[0])))
    return false;
  return std::all_of(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(end), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) || c == '+' || c == '-' || c == '.';
  });
}

// A memoryview or buffer of single bytes (format "B", "b" or "c"), not numbers.
bool holds_bytes(nb::handle value) {
  if (!PyMemoryView_Check(value.ptr())) return false;
  const Py_buffer* view = PyMemoryView_GET_BUFFER(value.ptr());
  const char* f = view->format == nullptr ? "B" : view->format;
  if (*f == '@' || *f == '=' || *f == '<' || *f == '>' || *f == '!') ++f;
  return view->itemsize == 1 &&
         (std::strcmp(f, "B") == 0 || std::strcmp(f, "b") == 0 || std::strcmp(f, "c") == 0);
}

// "read() raised ValueError: text" for the exception `exc`.
std::string raised_text(const char* call, PyObject* exc) {
  std::string text = std::string(call) + " raised " + Py_TYPE(exc)->tp_name;
  PyRef shown = PyRef::steal(PyObject_Str(exc));
  const char* utf8 = shown ? PyUnicode_AsUTF8(shown.get()) : nullptr;
  if (utf8 == nullptr) PyErr_Clear();
  if (utf8 != nullptr && *utf8 != '\0') text += std::string(": ") + utf8;
  return text;
}

// An int a method returned, or nullopt (with the reason in `why`).
std::optional<std::int64_t> int_of(PyObject* got, const char* call, std::string& why) {
  if (got == nullptr || !PyLong_Check(got)) {
    why = std::string(call) + " returned " + (got ? Py_TYPE(got)->tp_name : "nothing") +
          ", not an int";
    return std::nullopt;
  }
  const long long v = PyLong_AsLongLong(got);
  if (v == -1 && PyErr_Occurred()) {
    PyErr_Clear();
    why = std::string(call) + " returned an int out of range";
    return std::nullopt;
  }
  return v;
}

}  // namespace

// The file-like object's calls. Everything here but the pointer is read and
// written with the interpreter lock held.
struct SourceArg::Callbacks {
  PyObject* file = nullptr;  // borrowed: the SourceArg holds it
  std::int64_t origin = 0;   // the object's position when the call began
  std::int64_t size = -1;    // bytes from the origin to the end
  bool readinto = false;
  PyRef exception;  // the first one a method raised
  std::optional<Error> failure;

  // Calls `method` with `args` (a Py_BuildValue format); null after a
  // failure, which is kept.
  template <class... A>
  PyRef call(const char* method, const char* shown, const char* format, A... args) {
    if (failure) return PyRef();
    PyRef got = PyRef::steal(PyObject_CallMethod(file, method, format, std::forward<A>(args)...));
    if (!got) fail_with_exception(shown);
    return got;
  }
  void fail_with_exception(const char* shown) {
    PyRef raised = py::take_pending_exception();
    if (failure) return;  // the first failure is the one shown
    exception = std::move(raised);
    failure =
        Error(exception ? raised_text(shown, exception.get()) : std::string(shown) + " failed");
  }
  void fail(std::string why) {
    if (!failure) failure = Error(std::move(why));
  }
  std::optional<std::int64_t> position(PyRef got, const char* shown) {
    if (!got) return std::nullopt;
    std::string why;
    std::optional<std::int64_t> at = int_of(got.get(), shown, why);
    if (!at) fail(why);
    return at;
  }
  std::int64_t seek(std::int64_t offset, int whence) {
    const long long to = whence == SEEK_SET ? origin + offset : offset;
    std::optional<std::int64_t> at = position(call("seek", "seek()", "(Li)", to, whence), "seek()");
    return at && *at >= origin ? *at - origin : -1;
  }
  std::int64_t tell() {
    std::optional<std::int64_t> at = position(call("tell", "tell()", nullptr), "tell()");
    return at && *at >= origin ? *at - origin : -1;
  }
  // One call of readinto() or read(); how many bytes it gave, or -1.
  std::int64_t read_once(std::uint8_t* out, std::int64_t count) {
    if (readinto) {
      PyRef view =
          PyRef::steal(PyMemoryView_FromMemory(reinterpret_cast<char*>(out), count, PyBUF_WRITE));
      if (!view) {
        fail_with_exception("readinto()");
        return -1;
      }
      PyRef got = call("readinto", "readinto()", "(O)", view.get());
      // The object may keep no pointer into the decoder's buffer.
      PyRef released = PyRef::steal(PyObject_CallMethod(view.get(), "release", nullptr));
      if (!released) fail_with_exception("readinto() kept the buffer it was given, and release()");
      if (got && got.get() == Py_None) fail("readinto() returned None (a stream with no data yet)");
      std::optional<std::int64_t> n = position(std::move(got), "readinto()");
      if (failure || !n) return -1;
      if (*n < 0 || *n > count) fail("readinto() returned " + std::to_string(*n));
      return failure ? -1 : *n;
    }
    PyRef got = call("read", "read()", "(L)", static_cast<long long>(count));
    if (!got) return -1;
    char* data = nullptr;
    Py_ssize_t n = 0;
    if (!PyBytes_Check(got.get()) || PyBytes_AsStringAndSize(got.get(), &data, &n) != 0) {
      PyErr_Clear();
      fail(std::string("read() returned ") + Py_TYPE(got.get())->tp_name + ", not bytes");
      return -1;
    }
    if (n > count) {
      fail("read() returned more bytes than asked for");
      return -1;
    }
    std::memcpy(out, data, static_cast<std::size_t>(n));
    return n;
  }
};

namespace {

// The door's view of a file-like object: each call takes the interpreter
// lock while it runs.
class FileLikeFile final : public VirtualFile {
 public:
  explicit FileLikeFile(SourceArg::Callbacks& c) : c_(c) {}
  std::int64_t size_bytes() override { return c_.size; }
  std::int64_t seek(std::int64_t offset, int whence) override {
    nb::gil_scoped_acquire locked;
    return c_.seek(offset, whence);
  }
  std::int64_t read(void* out, std::int64_t count) override {
    nb::gil_scoped_acquire locked;
    auto* bytes = static_cast<std::uint8_t*>(out);
    std::int64_t done = 0;
    while (done < count) {  // a raw stream may give less than asked
      const std::int64_t n = c_.read_once(bytes + done, count - done);
      if (n <= 0) break;
      done += n;
    }
    return c_.failure ? 0 : done;
  }
  std::int64_t tell() override {
    nb::gil_scoped_acquire locked;
    return c_.tell();
  }
  const Error* failure() const noexcept override { return c_.failure ? &*c_.failure : nullptr; }

 private:
  SourceArg::Callbacks& c_;
};

}  // namespace

SourceKind source_kind(nb::handle value) {
  if (nb::isinstance<nb::str>(value)) {
    Py_ssize_t n = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value.ptr(), &n);
    if (text == nullptr) {  // a name with bytes that are not UTF-8: a path
      PyErr_Clear();
      return SourceKind::path;
    }
    return has_url_scheme(std::string(text, static_cast<std::size_t>(n))) ? SourceKind::url
                                                                          : SourceKind::path;
  }
  if (PyBytes_Check(value.ptr()) || PyByteArray_Check(value.ptr()) || holds_bytes(value))
    return SourceKind::encoded;
  if (nb::hasattr(value, "__fspath__")) return SourceKind::path;
  if (nb::hasattr(value, "read") && !PyObject_CheckBuffer(value.ptr()))
    return SourceKind::file_like;
  return SourceKind::array;
}

SourceArg::SourceArg(const nb::object& value, const char* name) : value_(value) {
  switch (source_kind(value)) {
    case SourceKind::path:
      path_ = path_arg(value, name);
      return;
    case SourceKind::encoded:
      take_buffer(value);
      return;
    case SourceKind::file_like:
      take_file_like(value);
      return;
    case SourceKind::url: {
      url_ = nb::cast<std::string>(value);
      PyRef fsspec = PyRef::steal(PyImport_ImportModule("fsspec"));
      if (!fsspec) {
        py::raise_with_cause(
            PyExc_ImportError,
            "measuring a URL needs fsspec: pip install \"sonorik[urls]\" (" + url_ + ")",
            py::take_pending_exception());
        throw nb::python_error();
      }
      nb::object fs = nb::borrow(fsspec.get());
      opened_ = fs.attr("open")(value, "rb").attr("open")();
      take_file_like(opened_);
      return;
    }
    case SourceKind::array:
      break;
  }
  raise(PyExc_TypeError, std::string(name) +
                             " must be a path (str or os.PathLike), a URL, the bytes of an "
                             "audio file or a binary file-like object, got " +
                             type_name_of(value));
}

SourceArg::~SourceArg() {
  if (viewing_) PyBuffer_Release(&view_);
  if (opened_.is_valid()) {
    PyRef closed = PyRef::steal(PyObject_CallMethod(opened_.ptr(), "close", nullptr));
    if (!closed) PyErr_Clear();  // a file read to its end: nothing to lose
  }
}

void SourceArg::take_buffer(const nb::object& value) {
  if (PyObject_GetBuffer(value.ptr(), &view_, PyBUF_SIMPLE) != 0) throw nb::python_error();
  viewing_ = true;
}

void SourceArg::take_file_like(const nb::object& file) {
  calls_ = std::make_unique<Callbacks>();
  Callbacks& c = *calls_;
  c.file = file.ptr();
  c.readinto = nb::hasattr(file, "readinto");
  bool seekable = !nb::hasattr(file, "seekable") || nb::cast<bool>(file.attr("seekable")());
  if (seekable) {
    const std::int64_t at = nb::cast<std::int64_t>(file.attr("tell")());
    const std::int64_t end = nb::cast<std::int64_t>(file.attr("seek")(0, 2));
    file.attr("seek")(at, 0);
    c.origin = at;
    c.size = end >= at ? end - at : 0;
    return;
  }
  // A stream that cannot go back: its bytes are read whole, then read in place.
  nb::list parts;
  for (;;) {
    nb::object part = file.attr("read")();
    if (!PyBytes_Check(part.ptr()) || PyBytes_GET_SIZE(part.ptr()) == 0) break;
    parts.append(part);
  }
  whole_ = nb::bytes("", 0).attr("join")(parts);
  calls_.reset();
  take_buffer(whole_);
}

Result<AudioSource> SourceArg::open(bool once) {
  if (path_) return once ? open_audio_once(path_->bytes) : open_audio(path_->bytes);
  if (calls_) return open_audio(std::make_unique<FileLikeFile>(*calls_));
  const auto* data = static_cast<const std::uint8_t*>(view_.buf);
  return open_audio(std::make_unique<MemoryFile>(Bytes(data, static_cast<std::size_t>(view_.len))));
}

std::string SourceArg::label() const {
  if (path_) return text_of(path_->shown);
  if (!url_.empty()) return url_;
  if (calls_) return text_of(nb::repr(value_));
  return type_name_of(value_) + " of " + std::to_string(view_.len) + " bytes";
}

std::string SourceArg::shown() const { return path_ ? text_of(nb::repr(path_->shown)) : label(); }

void SourceArg::raise_error(const Error& error) {
  if (path_) raise_os_error(error, path_->shown);
  std::string reason = error.message();
  while (!reason.empty() && (reason.back() == '.' || reason.back() == ' ')) reason.pop_back();
  std::string hint;
  if (PyBytes_Check(value_.ptr()) && view_.len < 4096) {
    nb::object exists = nb::module_::import_("os").attr("path").attr("isfile");
    nb::object is_file = exists(value_);
    if (nb::cast<bool>(is_file))
      hint = " (these bytes name an existing file: pass a path as str or os.PathLike)";
  }
  py::raise_with_cause(PyExc_OSError, reason + ": " + label() + hint,
                       calls_ ? std::move(calls_->exception) : PyRef());
  throw nb::python_error();
}

}  // namespace sonorik::meter
