// The sonorik_meter module: loudness, true peak, sample peak and RMS of any
// audio file libsndfile reads or of an array, by the standards' own
// definitions. Arguments are checked here with the interpreter lock held;
// reading and measuring run with it released. Every Python exception of the
// module is made in this file.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "analysis/channel_layout.h"
#include "analysis/meter.h"
#include "analysis/standard_measurement.h"
#include "audio/sndfile_reader.h"
#include "core/text.h"
#include "normalize/stream_normalizer.h"

namespace nb = nanobind;
using sonorik::Error;
using sonorik::Result;
using sonorik::SndfileReader;
using sonorik::analysis::StandardMeasurement;

namespace {

constexpr unsigned kMaxArrayChannels = 64;

struct Measurement {
  StandardMeasurement m;
  std::string format;
  std::vector<std::string> channel_map;
  bool series = false;
};

// Why a measurement failed, for the exception made once the lock is back.
enum class Failure { none, os, value, memory };

struct Outcome {
  Failure failure = Failure::none;
  std::string message;
  std::optional<Measurement> measurement;
};

// str(h) and the name of h's type.
std::string text_of(nb::handle h) {
  nb::object s = nb::steal(PyObject_Str(h.ptr()));
  if (!s.is_valid()) throw nb::python_error();
  return nb::cast<std::string>(s);
}
std::string type_name_of(nb::handle h) {
  return text_of(nb::handle(reinterpret_cast<PyObject*>(Py_TYPE(h.ptr()))).attr("__name__"));
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw nb::python_error();
}

// OSError for `path`: with errno (so that FileNotFoundError and its kin
// appear) when the reason is the system's own text for one.
[[noreturn]] void raise_os_error(const std::string& reason, const nb::object& path) {
  for (int code : {ENOENT, EACCES, EISDIR, ENOTDIR, ENODEV, ELOOP, ENAMETOOLONG, EPERM}) {
    if (reason == sonorik::os_error_text(code)) {
      nb::object e = nb::handle(PyExc_OSError)(code, std::strerror(code), path);
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
      throw nb::python_error();
    }
  }
  std::string text = reason;
  while (!text.empty() && (text.back() == '.' || text.back() == ' ')) text.pop_back();
  raise(PyExc_OSError, text + ": " + text_of(nb::repr(path)));
}

// The channel names given by the caller, checked against the known ones.
std::optional<std::vector<std::string>> channel_names_of(const nb::object& channel_map) {
  if (channel_map.is_none()) return std::nullopt;
  if (nb::isinstance<nb::str>(channel_map) || nb::isinstance<nb::bytes>(channel_map)) {
    raise(PyExc_TypeError, "channel_map must be a sequence of channel names, not a string");
  }
  std::vector<std::string> names;
  for (nb::handle item : channel_map) {
    if (!nb::isinstance<nb::str>(item)) {
      raise(PyExc_TypeError, "channel_map items must be str, got " + type_name_of(item));
    }
    std::string name = nb::cast<std::string>(item);
    if (!sonorik::analysis::channel_role(name)) {
      std::string known;
      for (const std::string& n : sonorik::analysis::channel_names())
        known += (known.empty() ? "" : ", ") + n;
      raise(PyExc_ValueError, "unknown channel name " + text_of(nb::repr(item)) +
                                  " in channel_map (known: " + known + ")");
    }
    names.push_back(std::move(name));
  }
  return names;
}

// The layout used and its libebur128 values; a message when `given` does
// not fit the channel count.
std::optional<std::string> choose_layout(unsigned channels,
                                         const std::optional<std::vector<std::string>>& given,
                                         const std::vector<sonorik::Speaker>& declared,
                                         Measurement& out, std::vector<int>& roles) {
  if (given) {
    if (given->size() != channels) {
      return "channel_map has " + std::to_string(given->size()) + " names for " +
             std::to_string(channels) + " channels";
    }
    out.channel_map = *given;
  } else if (declared.size() == channels) {
    out.channel_map = sonorik::analysis::layout_of(declared);
  } else {
    out.channel_map = sonorik::analysis::default_layout(channels);
  }
  roles.clear();
  for (const std::string& n : out.channel_map) roles.push_back(*sonorik::analysis::channel_role(n));
  return std::nullopt;
}

// The rates measured: from the lowest at which K-weighting exists to the
// meter's highest.
std::string rate_range_text() {
  return "rate must be between " + std::to_string(sonorik::analysis::kMinStandardRateHz) + " and " +
         std::to_string(sonorik::Meter::kMaxRateHz) + " Hz";
}

std::string limits_message(unsigned channels, std::uint32_t rate_hz) {
  if (channels < 1 || channels > sonorik::Meter::kMaxChannels) {
    return "channel count must be between 1 and 64 (got " + std::to_string(channels) + ")";
  }
  return rate_range_text() + " (got " + std::to_string(rate_hz) + ")";
}

bool rate_measurable(std::uint32_t rate_hz) {
  return rate_hz >= sonorik::analysis::kMinStandardRateHz && rate_hz <= sonorik::Meter::kMaxRateHz;
}

// Runs the measurement with the lock released; the reader's errors are
// OSErrors, the meter's refusal a MemoryError.
void measure_into(Outcome& o, unsigned channels, std::uint32_t rate_hz,
                  const std::vector<int>& roles, bool series,
                  const sonorik::analysis::Engine::Reader& read, bool& reader_failed) {
  Result<StandardMeasurement> r =
      sonorik::analysis::measure_standard(channels, rate_hz, roles, series, read);
  if (r) {
    o.measurement->m = std::move(r).value();
    return;
  }
  o.failure = reader_failed ? Failure::os : Failure::memory;
  o.message = r.error().message();
}

// ---- files ---------------------------------------------------------------------

Outcome measure_file(const std::string& path, const std::optional<std::vector<std::string>>& names,
                     bool series) {
  Outcome o;
  Result<SndfileReader> reader = SndfileReader::open(path);
  if (!reader) {
    o.failure = Failure::os;
    o.message = reader.error().message();
    return o;
  }
  const sonorik::SndfileInfo& info = reader->info();
  o.measurement.emplace();
  o.measurement->format = info.format;
  if (!sonorik::Meter::accepts(info.channels, info.rate_hz) || !rate_measurable(info.rate_hz)) {
    o.failure = Failure::value;
    o.message = limits_message(info.channels, info.rate_hz);
    return o;
  }
  std::vector<int> roles;
  if (std::optional<std::string> bad =
          choose_layout(info.channels, names, info.speakers, *o.measurement, roles)) {
    o.failure = Failure::value;
    o.message = *bad;
    return o;
  }
  bool reader_failed = false;
  SndfileReader& file = reader.value();
  const auto read = [&](double* out, std::size_t max_frames) -> Result<std::size_t> {
    Result<std::size_t> got = file.read(out, max_frames);
    if (!got) reader_failed = true;
    return got;
  };
  measure_into(o, info.channels, info.rate_hz, roles, series, read, reader_failed);
  return o;
}

// ---- arrays --------------------------------------------------------------------

using Array = nb::ndarray<nb::ro, nb::device::cpu>;

// Frames of a (frames,) or (frames, channels) array of T, any strides,
// scaled to full scale 1.0, read in blocks.
template <class T>
struct ArrayReader {
  const T* base;
  std::uint64_t frames;
  unsigned channels;
  std::int64_t frame_stride;    // elements
  std::int64_t channel_stride;  // elements
  double scale;
  std::uint64_t next = 0;

  Result<std::size_t> operator()(double* out, std::size_t max_frames) {
    const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(max_frames, frames - next));
    for (std::size_t f = 0; f < n; ++f) {
      const T* p = base + static_cast<std::int64_t>(next + f) * frame_stride;
      for (unsigned c = 0; c < channels; ++c) {
        out[f * channels + c] =
            static_cast<double>(p[static_cast<std::int64_t>(c) * channel_stride]) * scale;
      }
    }
    next += n;
    return n;
  }
};

std::string dtype_name(const nb::handle& source, const Array& a) {
  if (nb::hasattr(source, "dtype")) return text_of(source.attr("dtype"));
  return "code " + std::to_string(a.dtype().code) + ", " + std::to_string(a.dtype().bits) + " bits";
}

Outcome measure_array(const Array& a, std::uint32_t rate_hz, unsigned channels,
                      const std::vector<int>& roles, Measurement layout, bool series) {
  Outcome o;
  o.measurement.emplace(std::move(layout));
  const std::uint64_t frames = a.shape(0);
  const std::int64_t frame_stride = a.stride(0);
  const std::int64_t channel_stride = a.ndim() == 2 ? a.stride(1) : 0;
  bool reader_failed = false;
  const auto run = [&](auto reader) {
    measure_into(o, channels, rate_hz, roles, series, std::ref(reader), reader_failed);
  };
  const nb::dlpack::dtype t = a.dtype();
  const void* data = a.data();
  if (t == nb::dtype<float>()) {
    run(ArrayReader<float>{static_cast<const float*>(data), frames, channels, frame_stride,
                           channel_stride, 1.0});
  } else if (t == nb::dtype<double>()) {
    run(ArrayReader<double>{static_cast<const double*>(data), frames, channels, frame_stride,
                            channel_stride, 1.0});
  } else if (t == nb::dtype<std::int16_t>()) {
    run(ArrayReader<std::int16_t>{static_cast<const std::int16_t*>(data), frames, channels,
                                  frame_stride, channel_stride, 1.0 / 32768.0});
  } else {
    run(ArrayReader<std::int32_t>{static_cast<const std::int32_t*>(data), frames, channels,
                                  frame_stride, channel_stride, 1.0 / 2147483648.0});
  }
  return o;
}

std::uint32_t rate_of(const nb::object& rate) {
  if (rate.is_none()) raise(PyExc_ValueError, "rate (Hz) is required when source is an array");
  if (nb::isinstance<nb::bool_>(rate) || !PyIndex_Check(rate.ptr())) {
    raise(PyExc_TypeError, "rate must be an int (Hz), got " + type_name_of(rate));
  }
  const nb::object index = nb::steal(PyNumber_Index(rate.ptr()));
  if (!index.is_valid()) throw nb::python_error();
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0 || value < 0 ||
      !rate_measurable(static_cast<std::uint32_t>(std::min<long long>(value, UINT32_MAX)))) {
    raise(PyExc_ValueError, rate_range_text() + " (got " + text_of(nb::repr(rate)) + ")");
  }
  return static_cast<std::uint32_t>(value);
}

// ---- the entry point ---------------------------------------------------------------

Measurement measure(nb::object source, nb::object rate, nb::object channel_map, bool series) {
  const std::optional<std::vector<std::string>> names = channel_names_of(channel_map);
  const bool is_path = nb::isinstance<nb::str>(source) || nb::isinstance<nb::bytes>(source) ||
                       nb::hasattr(source, "__fspath__");
  Outcome o;
  if (is_path) {
    if (!rate.is_none())
      raise(PyExc_ValueError, "rate applies to arrays only: a file's rate is read from the file");
    nb::module_ os = nb::module_::import_("os");
    const nb::object shown = os.attr("fspath")(source);
    const nb::bytes encoded = nb::cast<nb::bytes>(os.attr("fsencode")(shown));
    const std::string path(encoded.c_str(), encoded.size());
    if (path.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte in path");
    {
      nb::gil_scoped_release unlocked;
      o = measure_file(path, names, series);
    }
    if (o.failure == Failure::os) raise_os_error(o.message, shown);
  } else {
    Array a;
    if (!nb::try_cast(source, a, false)) {
      raise(PyExc_TypeError,
            "source must be a path (str, bytes or os.PathLike) or an array of native-endian "
            "float32, float64, int16 or int32 samples, got " +
                type_name_of(source));
    }
    const nb::dlpack::dtype t = a.dtype();
    if (!(t == nb::dtype<float>() || t == nb::dtype<double>() || t == nb::dtype<std::int16_t>() ||
          t == nb::dtype<std::int32_t>())) {
      raise(PyExc_TypeError, "unsupported sample type " + dtype_name(source, a) +
                                 ": pass float32, float64, int16 or int32 samples");
    }
    if (a.ndim() != 1 && a.ndim() != 2) {
      raise(PyExc_ValueError,
            "array must have 1 or 2 dimensions (got " + std::to_string(a.ndim()) + ")");
    }
    const std::size_t columns = a.ndim() == 2 ? a.shape(1) : 1;
    if (columns > kMaxArrayChannels) {
      raise(PyExc_ValueError, "array has " + std::to_string(columns) +
                                  " columns: pass an array shaped (frames, channels); transpose a "
                                  "(channels, frames) array");
    }
    if (columns == 0) raise(PyExc_ValueError, "array has no channels (shape (frames, 0))");
    const std::uint32_t rate_hz = rate_of(rate);
    const auto channels = static_cast<unsigned>(columns);
    Measurement layout;
    layout.format = "array " + dtype_name(source, a);
    std::vector<int> roles;
    if (std::optional<std::string> bad = choose_layout(channels, names, {}, layout, roles)) {
      raise(PyExc_ValueError, *bad);
    }
    {
      nb::gil_scoped_release unlocked;
      o = measure_array(a, rate_hz, channels, roles, std::move(layout), series);
    }
    if (o.failure == Failure::os) raise(PyExc_OSError, o.message);
  }
  if (o.failure == Failure::value) raise(PyExc_ValueError, o.message);
  if (o.failure == Failure::memory) raise(PyExc_MemoryError, o.message);
  o.measurement->series = series;
  return std::move(*o.measurement);
}

// What a file declares about itself, without measuring.
struct FileInfo {
  sonorik::SndfileInfo info;
  std::vector<std::string> channel_map;
};

FileInfo file_info(nb::object source) {
  if (!(nb::isinstance<nb::str>(source) || nb::isinstance<nb::bytes>(source) ||
        nb::hasattr(source, "__fspath__"))) {
    raise(PyExc_TypeError, "path must be str, bytes or os.PathLike, got " + type_name_of(source));
  }
  nb::module_ os = nb::module_::import_("os");
  const nb::object shown = os.attr("fspath")(source);
  const nb::bytes encoded = nb::cast<nb::bytes>(os.attr("fsencode")(shown));
  const std::string path(encoded.c_str(), encoded.size());
  if (path.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte in path");
  std::optional<Result<SndfileReader>> reader;
  {
    nb::gil_scoped_release unlocked;
    reader.emplace(SndfileReader::open(path));
  }
  if (!*reader) raise_os_error((*reader).error().message(), shown);
  FileInfo out{(*reader)->info(), {}};
  out.channel_map = out.info.speakers.size() == out.info.channels
                        ? sonorik::analysis::layout_of(out.info.speakers)
                        : sonorik::analysis::default_layout(out.info.channels);
  {
    nb::gil_scoped_release unlocked;
    reader.reset();
  }
  return out;
}

// ---- conversions -------------------------------------------------------------------

template <class T>
nb::tuple tuple_of(const std::vector<T>& values) {
  nb::list list;
  for (const T& v : values) list.append(nb::cast(v));
  return nb::steal<nb::tuple>(PyList_AsTuple(list.ptr()));
}

// A fresh numpy copy of one series, or None without series.
nb::object series_of(const Measurement& s, const std::vector<double>& v) {
  if (!s.series) return nb::none();
  auto* copy = new std::vector<double>(v);
  nb::capsule owner(copy, [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
  return nb::cast(nb::ndarray<nb::numpy, double, nb::ndim<1>>(copy->data(), {copy->size()}, owner));
}

std::string level(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.2f", v);
  return std::isinf(v) ? (v < 0 ? "-inf" : "inf") : buf;
}

// ---- normalize -------------------------------------------------------------------

struct NormalizeReport {
  sonorik::normalize::StreamReport r;
  std::string source;
  std::string destination;
  double target = 0.0;
  double ceiling_dbtp = 0.0;
  sonorik::normalize::Level level = sonorik::normalize::Level::integrated;
};

// OSError for `path` with the errno of an "... (os error N)" reason, so that
// Python picks the subclass (FileNotFoundError, IsADirectoryError, ...).
[[noreturn]] void raise_path_error(const std::string& reason, const nb::object& path) {
  const std::string marker = " (os error ";
  const std::size_t at = reason.rfind(marker);
  if (at != std::string::npos && !reason.empty() && reason.back() == ')') {
    const int code = std::atoi(reason.c_str() + at + marker.size());
    if (code > 0) {
      nb::object e = nb::handle(PyExc_OSError)(code, reason.substr(0, at), path);
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(e.ptr())), e.ptr());
      throw nb::python_error();
    }
  }
  raise_os_error(reason, path);
}

// The bytes of a path argument, and the str or bytes shown in messages.
std::string path_bytes(const nb::object& value, const char* name, nb::object& shown) {
  if (!(nb::isinstance<nb::str>(value) || nb::isinstance<nb::bytes>(value) ||
        nb::hasattr(value, "__fspath__"))) {
    raise(PyExc_TypeError,
          std::string(name) + " must be str, bytes or os.PathLike, got " + type_name_of(value));
  }
  nb::module_ os = nb::module_::import_("os");
  shown = os.attr("fspath")(value);
  const nb::bytes encoded = nb::cast<nb::bytes>(os.attr("fsencode")(shown));
  std::string path(encoded.c_str(), encoded.size());
  if (path.find('\0') != std::string::npos) raise(PyExc_ValueError, "embedded null byte in path");
  return path;
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

NormalizeReport normalize(nb::object source, nb::object destination, nb::object target,
                          std::string measure, nb::object ceiling, nb::object range,
                          nb::object format) {
  namespace sn = sonorik::normalize;
  sn::StreamRequest req;
  nb::object source_shown, destination_shown;
  req.source = path_bytes(source, "source", source_shown);
  req.destination = path_bytes(destination, "destination", destination_shown);
  req.target = level_arg(target, "target");
  req.ceiling_dbtp = level_arg(ceiling, "ceiling");
  const std::optional<sn::Level> level = sn::level_named(measure);
  if (!level) {
    std::string known;
    for (const std::string& n : sn::level_names()) known += (known.empty() ? "" : ", ") + n;
    raise(PyExc_ValueError, "unknown measure '" + measure + "' (known: " + known + ")");
  }
  req.level = *level;
  if (!range.is_none()) {
    if (nb::isinstance<nb::str>(range) || !PySequence_Check(range.ptr()) || nb::len(range) != 2) {
      raise(PyExc_TypeError,
            "range must be None or a (low, high) pair of levels, got " + type_name_of(range));
    }
    req.range.emplace(level_arg(range[0], "range low"), level_arg(range[1], "range high"));
  }
  if (!format.is_none()) {
    if (!nb::isinstance<nb::str>(format))
      raise(PyExc_TypeError, "format must be None or str, got " + type_name_of(format));
    req.format = nb::cast<std::string>(format);
    if (req.format.empty()) raise(PyExc_ValueError, "unknown output format ''");
  }
  sn::StreamOutcome o;
  {
    nb::gil_scoped_release unlocked;
    o = sn::normalize_stream(req);
  }
  switch (o.failure) {
    case sn::StreamFailure::none:
      break;
    case sn::StreamFailure::source:
      raise_path_error(o.message, source_shown);
    case sn::StreamFailure::destination:
      raise_path_error(o.message, destination_shown);
    case sn::StreamFailure::value:
      raise(PyExc_ValueError, o.message);
    case sn::StreamFailure::memory:
      raise(PyExc_MemoryError, o.message);
  }
  return NormalizeReport{std::move(*o.report), text_of(source_shown), text_of(destination_shown),
                         req.target,           req.ceiling_dbtp,      req.level};
}

void bind_normalize(nb::module_& m) {
  namespace sn = sonorik::normalize;
  using R = NormalizeReport;
  nb::class_<R>(
      m, "NormalizeReport",
      "The result of normalize(): what was measured, the gain asked for and applied, and the "
      "written file measured again.")
      .def_prop_ro(
          "source", [](const R& r) { return r.source; }, "The file read.")
      .def_prop_ro(
          "destination", [](const R& r) { return r.destination; }, "The file written.")
      .def_prop_ro(
          "measure", [](const R& r) { return std::string(sn::level_name(r.level)); },
          "The measure normalised on (see MEASURES).")
      .def_prop_ro(
          "unit", [](const R& r) { return std::string(sn::level_unit(r.level)); },
          "Unit of target, input_level and output_level: 'LUFS', 'dBFS' or 'dBTP'.")
      .def_prop_ro(
          "target", [](const R& r) { return r.target; }, "The target level, in `unit`.")
      .def_prop_ro(
          "ceiling_dbtp", [](const R& r) { return r.ceiling_dbtp; }, "The true-peak ceiling, dBTP.")
      .def_prop_ro(
          "input_level", [](const R& r) { return r.r.input_level; },
          "The measure on the source, in `unit`.")
      .def_prop_ro(
          "output_level", [](const R& r) { return r.r.output_level; },
          "The measure on the written file, in `unit` (None if it is undefined there).")
      .def_prop_ro(
          "gain_asked_db", [](const R& r) { return r.r.gain_asked_db; },
          "Gain that would bring the measure to the target, dB (0.0 when in range).")
      .def_prop_ro(
          "gain_applied_db", [](const R& r) { return r.r.gain_applied_db; },
          "Gain applied to every sample, dB.")
      .def_prop_ro(
          "capped_by",
          [](const R& r) -> std::optional<std::string> {
            if (r.r.limit == sn::Limit::ceiling) return std::string("ceiling");
            if (r.r.limit == sn::Limit::in_range) return std::string("in range");
            return std::nullopt;
          },
          "Why the applied gain differs from the target's: 'ceiling' (lowered so the true peak "
          "stays at or below ceiling_dbtp), 'in range' (the level was inside `range`: no gain), "
          "or None.")
      .def_prop_ro(
          "dithered", [](const R& r) { return r.r.dithered; },
          "Whether TPDF dither was added (integer output of 24 bits or fewer, requantised).")
      .def_prop_ro(
          "written", [](const R& r) { return r.r.written; },
          "False when the source was in range and its own destination: the file was not touched.")
      .def_prop_ro(
          "input_integrated_lufs", [](const R& r) { return r.r.input.integrated_lufs; },
          "Integrated loudness of the source, LUFS (-inf: no block passes the gates).")
      .def_prop_ro(
          "output_integrated_lufs", [](const R& r) { return r.r.output.integrated_lufs; },
          "Integrated loudness of the written file, LUFS.")
      .def_prop_ro(
          "input_true_peak_dbtp", [](const R& r) { return r.r.input.true_peak_dbtp; },
          "True peak of the source, dBTP (largest over the channels).")
      .def_prop_ro(
          "output_true_peak_dbtp", [](const R& r) { return r.r.output.true_peak_dbtp; },
          "True peak of the written file, dBTP (largest over the channels).")
      .def_prop_ro(
          "input_format", [](const R& r) { return r.r.input_format; },
          "Container and encoding of the source, e.g. 'WAV PCM_24'.")
      .def_prop_ro(
          "output_format", [](const R& r) { return r.r.output_format; },
          "Container and encoding written, e.g. 'FLAC PCM_24'.")
      .def_prop_ro(
          "rate_hz", [](const R& r) { return r.r.input.rate_hz; }, "Sample rate, Hz (both files).")
      .def_prop_ro(
          "channels", [](const R& r) { return r.r.input.channels; },
          "Number of channels (both files).")
      .def_prop_ro(
          "frames", [](const R& r) { return r.r.output.frames; }, "Length written, frames.")
      .def_prop_ro(
          "channel_map", [](const R& r) { return tuple_of(r.r.channel_map); },
          "The channel layout used for weighting (see CHANNEL_NAMES).")
      .def("__repr__", [](const R& r) {
        return "NormalizeReport(measure='" + std::string(sn::level_name(r.level)) +
               "', input_level=" + level(r.r.input_level) +
               ", gain_applied_db=" + level(r.r.gain_applied_db) +
               ", output_level=" + (r.r.output_level ? level(*r.r.output_level) : "None") + ")";
      });

  m.def("normalize", &normalize, nb::arg("source"), nb::arg("destination"), nb::kw_only(),
        nb::arg("target"), nb::arg("measure") = "integrated", nb::arg("ceiling") = -1.0,
        nb::arg("range") = nb::none(), nb::arg("format") = nb::none(),
        R"(Writes `source` to `destination` with one gain that brings `measure` to `target`,
never above the true-peak `ceiling`, and returns a NormalizeReport.

source, destination: paths (str, bytes or os.PathLike); the destination may be the
source itself. measure: one of MEASURES; target in its unit (integrated,
short_term_max, momentary_max: LUFS; rms_average, rms_max: dBFS; true_peak: dBTP).
ceiling: dBTP, at most 0.0; the gain is lowered so that the output's true peak
stays at or below it, and the report says so (capped_by 'ceiling').
range: (low, high) in the measure's unit: a source already inside it gets no gain
(capped_by 'in range'; left untouched when it is its own destination).
format: output format ('wav', 'flac', 'aiff', 'caf', 'w64', 'rf64', 'ogg',
'opus', 'mp3', ...); None takes the destination's extension, or WAV.

The output keeps the source's rate, channel count, channel mask and sample
format where the output format has it (FLAC takes integers of at most 24 bits).
Integer output of 24 bits or fewer gets TPDF dither whenever samples are
requantised, and never wraps. Three streaming passes at most (measure; scale
and write, measuring what is stored; reading back a lossy encoding): memory
does not grow with the length. The file is written beside the destination and
renamed into place: on any failure the destination is left as it was.
The interpreter lock is released while reading, measuring and writing.

Raises OSError (the source cannot be read or the destination written: the
path and the reason), ValueError (unknown measure or format, a ceiling above
0 dBTP, range low above high, a level that is undefined or -inf, e.g. digital
silence) or TypeError (argument types).)");
  m.attr("MEASURES") = tuple_of(sn::level_names());
}
}  // namespace

NB_MODULE(sonorik_meter, m) {
  m.doc() = R"(Loudness, true peak, sample peak and RMS of any audio file or array.

sonorik_meter measures by the standards' own definitions (ITU-R BS.1770-4,
EBU R 128, EBU Tech 3341 and 3342): short audio is not repeated, quiet audio
is not floored, a value the audio is too short to define is None, and
digital silence reads -inf. The interpreter lock is released while a file or
array is read and measured, so threads measure in parallel; audio is read in
bounded blocks, so memory does not grow with its length.

What is measured:

====================  ==========================================================
integrated loudness   BS.1770-4 gating: 400 ms blocks every 100 ms, absolute
                      gate -70 LUFS, relative gate -10 LU (libebur128)
momentary / short-    400 ms / 3 s windows read every 100 ms (the meter's block
term maximum          of (rate + 5) // 10 frames), once the window is full
loudness range        EBU Tech 3342: 3 s short-term blocks every 1 s, absolute
                      gate -70 LUFS, relative gate -20 LU, 10th to 95th
                      percentile (libebur128's; the percentiles are reported)
true peak             libebur128's interpolator: 4x oversampling below 96 kHz,
                      2x below 192 kHz, none above; per channel, max over them
sample peak           largest absolute sample value
RMS average           over every sample of every channel
RMS maximum           loudest of the consecutive, non-overlapping 100 ms blocks
                      ((rate + 5) // 10 frames; a shorter last block is not one)
channel weights       BS.1770-4: L, R, C 1.0; channels at 60-120 degrees
                      azimuth (Ls Rs) 1.41 (+1.5 dB); 7.1's back pair at +-135
                      degrees (Lb Rb) 1.0 (ffmpeg weights it 1.41); LFE left out
per-channel loudness  each channel measured alone with weight 1.0
====================  ==========================================================
)";
  m.attr("__version__") = SONORIK_VERSION;

  nb::class_<Measurement>(m, "Measurement",
                          "The result of measure(): every level in the unit its name ends with.")
      .def_prop_ro(
          "integrated_lufs", [](const Measurement& s) { return s.m.integrated_lufs; },
          "Integrated loudness, LUFS; -inf when no block passes the gates (digital silence, "
          "audio shorter than 400 ms).")
      .def_prop_ro(
          "momentary_max_lufs", [](const Measurement& s) { return s.m.momentary_max_lufs; },
          "Largest momentary (400 ms) loudness, LUFS; None for audio shorter than 400 ms; -inf for "
          "digital silence.")
      .def_prop_ro(
          "short_term_max_lufs", [](const Measurement& s) { return s.m.short_term_max_lufs; },
          "Largest short-term (3 s) loudness, LUFS; None for audio shorter than 3 s; -inf for "
          "digital silence.")
      .def_prop_ro(
          "loudness_range_lu", [](const Measurement& s) { return s.m.loudness_range_lu; },
          "Loudness range (EBU Tech 3342), LU; None for audio shorter than 3 s.")
      .def_prop_ro(
          "loudness_range_low_lufs",
          [](const Measurement& s) { return s.m.loudness_range_low_lufs; },
          "10th percentile of the gated short-term loudness, LUFS; None for audio shorter than "
          "3 s or when no short-term block passes the gates.")
      .def_prop_ro(
          "loudness_range_high_lufs",
          [](const Measurement& s) { return s.m.loudness_range_high_lufs; },
          "95th percentile of the gated short-term loudness, LUFS; None as for the low percentile.")
      .def_prop_ro(
          "absolute_gate_lufs", [](const Measurement& s) { return s.m.absolute_gate_lufs; },
          "Absolute gate of the integrated loudness, LUFS (-70.0).")
      .def_prop_ro(
          "relative_gate_lufs", [](const Measurement& s) { return s.m.relative_gate_lufs; },
          "Relative gate of the integrated loudness, LUFS; -inf when no block passes the "
          "absolute gate.")
      .def_prop_ro(
          "true_peak_dbtp", [](const Measurement& s) { return s.m.true_peak_dbtp; },
          "True peak, dBTP, the largest over the channels; -inf for digital silence.")
      .def_prop_ro(
          "sample_peak_dbfs", [](const Measurement& s) { return s.m.sample_peak_dbfs; },
          "Sample peak, dBFS, the largest over the channels; -inf for digital silence.")
      .def_prop_ro(
          "rms_average_dbfs", [](const Measurement& s) { return s.m.rms_average_dbfs; },
          "RMS over all samples of all channels, dBFS; -inf for silence or no audio.")
      .def_prop_ro(
          "rms_max_dbfs", [](const Measurement& s) { return s.m.rms_max_dbfs; },
          "RMS of the loudest 100 ms block (all channels), dBFS; None for audio shorter than "
          "100 ms.")
      .def_prop_ro(
          "duration_s",
          [](const Measurement& s) {
            return static_cast<double>(s.m.frames) / static_cast<double>(s.m.rate_hz);
          },
          "Duration, seconds (frames / rate_hz).")
      .def_prop_ro(
          "frames", [](const Measurement& s) { return s.m.frames; },
          "Length, frames (samples per channel) as read.")
      .def_prop_ro(
          "rate_hz", [](const Measurement& s) { return s.m.rate_hz; }, "Sample rate, Hz.")
      .def_prop_ro(
          "channels", [](const Measurement& s) { return s.m.channels; }, "Number of channels.")
      .def_prop_ro(
          "format", [](const Measurement& s) { return s.format; },
          "Container and encoding, e.g. 'WAV PCM_24', 'FLAC PCM_16', 'OGG VORBIS', 'array "
          "float32'.")
      .def_prop_ro(
          "channel_integrated_lufs",
          [](const Measurement& s) { return tuple_of(s.m.channel_integrated_lufs); },
          "Per channel: the channel's own integrated loudness (measured alone, weight 1.0), LUFS.")
      .def_prop_ro(
          "channel_true_peak_dbtp",
          [](const Measurement& s) { return tuple_of(s.m.channel_true_peak_dbtp); },
          "Per channel: true peak, dBTP.")
      .def_prop_ro(
          "channel_sample_peak_dbfs",
          [](const Measurement& s) { return tuple_of(s.m.channel_sample_peak_dbfs); },
          "Per channel: sample peak, dBFS.")
      .def_prop_ro(
          "channel_rms_average_dbfs",
          [](const Measurement& s) { return tuple_of(s.m.channel_rms_average_dbfs); },
          "Per channel: RMS over the whole audio, dBFS.")
      .def_prop_ro(
          "channel_rms_max_dbfs",
          [](const Measurement& s) { return tuple_of(s.m.channel_rms_max_dbfs); },
          "Per channel: RMS of the channel's loudest 100 ms block, dBFS; None below 100 ms.")
      .def_prop_ro(
          "channel_map", [](const Measurement& s) { return tuple_of(s.channel_map); },
          "The channel layout used for weighting, one name per channel (see CHANNEL_NAMES).")
      .def_prop_ro(
          "series_time_s", [](const Measurement& s) { return series_of(s, s.m.series_time_s); },
          "With series=True: the end of every 100 ms step, seconds (numpy float64; the last "
          "step may be shorter); otherwise None.")
      .def_prop_ro(
          "series_momentary_lufs",
          [](const Measurement& s) { return series_of(s, s.m.series_momentary_lufs); },
          "With series=True: momentary loudness at each step end, LUFS (numpy float64; NaN "
          "before 400 ms of audio, -inf for digital silence); otherwise None.")
      .def_prop_ro(
          "series_short_term_lufs",
          [](const Measurement& s) { return series_of(s, s.m.series_short_term_lufs); },
          "With series=True: short-term loudness at each step end, LUFS (numpy float64; NaN "
          "before 3 s of audio, -inf for digital silence); otherwise None.")
      .def_prop_ro(
          "series_true_peak_dbtp",
          [](const Measurement& s) { return series_of(s, s.m.series_true_peak_dbtp); },
          "With series=True: the largest true peak over the channels within each step, dBTP "
          "(numpy float64; -inf for digital silence); otherwise None.")
      .def("__repr__", [](const Measurement& s) {
        return "Measurement(integrated_lufs=" + level(s.m.integrated_lufs) +
               ", true_peak_dbtp=" + level(s.m.true_peak_dbtp) + ", format='" + s.format +
               "', rate_hz=" + std::to_string(s.m.rate_hz) +
               ", channels=" + std::to_string(s.m.channels) +
               ", frames=" + std::to_string(s.m.frames) + ")";
      });

  m.def("measure", &measure, nb::arg("source"), nb::arg("rate") = nb::none(), nb::kw_only(),
        nb::arg("channel_map") = nb::none(), nb::arg("series") = false,
        R"(Measures `source`: a path (str, bytes or os.PathLike) to any file libsndfile reads,
or an array with the buffer protocol (float32, float64, int16 or int32; int16 and
int32 are scaled by 1/32768 and 1/2147483648) shaped (frames,) or (frames, channels),
with `rate` in Hz. A (channels, frames) array cannot be told from a (frames,
channels) one: arrays are always read as (frames, channels), and one with more
than 64 columns is refused with ValueError. Non-contiguous arrays are read in
place, block by block.

channel_map: one name per channel (see CHANNEL_NAMES); it replaces the file's
declared layout, or the usual layout for the channel count (1 M; 2 L R;
3 L R C; 4 L R Ls Rs; 5 L R C Ls Rs; 6 L R C LFE Ls Rs; 7 L R C LFE Cb Ls Rs;
8 L R C LFE Lb Rb Ls Rs).
series: also return momentary and short-term loudness every 100 ms.

Raises OSError (the file cannot be opened or read: the path and the reason),
ValueError (bad shape, rate, channel_map, NUL byte in the path, a rate outside
3,364 to 2,822,400 Hz -- below it K-weighting's shelf lies above half the
rate -- or a channel count outside 1 to 64) or TypeError (wrong argument types,
unsupported sample type). The interpreter lock is released while reading and
measuring.)");

  nb::class_<FileInfo>(m, "FileInfo", "What info() reads from a file's header.")
      .def_prop_ro(
          "format", [](const FileInfo& f) { return f.info.format; },
          "Container and encoding, e.g. 'WAV PCM_24', 'FLAC PCM_16'.")
      .def_prop_ro(
          "rate_hz", [](const FileInfo& f) { return f.info.rate_hz; }, "Sample rate, Hz.")
      .def_prop_ro(
          "channels", [](const FileInfo& f) { return f.info.channels; }, "Number of channels.")
      .def_prop_ro(
          "frames", [](const FileInfo& f) { return f.info.frames; },
          "Length as the file declares it, frames (an estimate for some compressed formats).")
      .def_prop_ro(
          "duration_s",
          [](const FileInfo& f) {
            return static_cast<double>(f.info.frames) / static_cast<double>(f.info.rate_hz);
          },
          "Duration, seconds (frames / rate_hz).")
      .def_prop_ro(
          "channel_map", [](const FileInfo& f) { return tuple_of(f.channel_map); },
          "The channel layout measure() would use (see CHANNEL_NAMES).");

  m.def("info", &file_info, nb::arg("path"),
        "Reads the header of the file at `path` (str, bytes or os.PathLike) without measuring it. "
        "Raises OSError, ValueError and TypeError as measure() does.");

  m.def(
      "extensions", [] { return tuple_of(SndfileReader::extensions()); },
      "File-name extensions (lower case, no dot) of every format the installed libsndfile reads.");
  m.attr("CHANNEL_NAMES") = tuple_of(sonorik::analysis::channel_names());

  // The graph lives in the pure-Python module sonorik_cli.plot, imported on the
  // first call so that importing this module never imports matplotlib.
  m.def(
      "plot",
      [](nb::args args, nb::kwargs kwargs) {
        nb::object draw = nb::module_::import_("sonorik_cli.plot").attr("plot");
        nb::object figure = nb::steal(PyObject_Call(draw.ptr(), args.ptr(), kwargs.ptr()));
        if (!figure.is_valid()) throw nb::python_error();
        return figure;
      },
      "plot(measurement, path_or_axes=None, **options): draws a measurement taken with "
      "series=True (see sonorik_cli.plot.plot); needs matplotlib (pip install \"sonorik[plot]\").");

  bind_normalize(m);
}
