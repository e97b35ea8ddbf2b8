// measure() and info(): a file or an array measured by the standards' own
// definitions, and a file's header read. Arguments are checked with the
// interpreter lock held; reading and measuring run with it released, and
// their failure is raised once the lock is back.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "analysis/channel_layout.h"
#include "analysis/measurable.h"
#include "analysis/meter.h"
#include "analysis/standard_measurement.h"
#include "audio/finite_check.h"
#include "audio/source.h"
#include "python/meter/arguments.h"
#include "python/meter/arrays.h"
#include "python/meter/bindings.h"
#include "python/meter/docs.h"
#include "python/meter/file_info.h"
#include "python/meter/file_measure.h"
#include "python/meter/measurement.h"
#include "python/meter/sources.h"
#include "python/meter/video.h"
#include "python/meter/video_docs.h"

namespace sonorik::meter {

using analysis::StandardMeasurement;

namespace {

// Runs the measurement with the lock released; the reader's errors are
// OSErrors (a non-finite sample a ValueError), the meter's refusal a
// MemoryError.
void measure_into(MeasureOutcome& o, unsigned channels, std::uint32_t rate_hz,
                  const std::vector<int>& roles, bool series, const analysis::Engine::Reader& read,
                  bool& reader_failed, const BadSample& bad, std::uint64_t expected_frames) {
  Result<StandardMeasurement> r = analysis::measure_standard(
      channels, rate_hz, roles, series, read, analysis::MeasureParts{}, expected_frames);
  if (r) {
    o.measurement->m = std::move(r).value();
    return;
  }
  o.failure = bad ? Failure::sample : reader_failed ? Failure::os : Failure::memory;
  o.error = r.error();
}

}  // namespace

// ---- files ---------------------------------------------------------------------

std::unique_ptr<FileToMeasure> open_to_measure(SourceArg& given,
                                               const std::optional<std::vector<std::string>>& names,
                                               MeasureOutcome& o) {
  Result<AudioSource> source = given.open(true);
  if (!source) {
    o.failure = Failure::os;
    o.error = source.error();
    return nullptr;
  }
  const SourceInfo& info = source->info;
  o.measurement.emplace();
  o.measurement->format = info.format;
  if (std::optional<std::string> why = analysis::unmeasurable_reason(info.channels, info.rate_hz)) {
    o.failure = Failure::value;
    o.error = Error(*why);
    return nullptr;
  }
  std::vector<int> roles;
  if (std::optional<std::string> bad =
          choose_layout(info.channels, names, source->layout, *o.measurement, roles)) {
    o.failure = Failure::value;
    o.error = Error(*bad);
    return nullptr;
  }
  return std::make_unique<FileToMeasure>(std::move(source).value(), std::move(roles));
}

Result<std::size_t> FileToMeasure::read(double* out, std::size_t max_frames) {
  if (interrupted()) return Error(kInterrupted);
  Result<std::size_t> got = source.reader.read(out, max_frames);
  if (!got) reader_failed = true;
  if (stores_floats(source.info.sf_format))
    got = finite_or_error(std::move(got), out, source.info.channels, frames_read, bad);
  if (got) frames_read += *got;
  return got;
}

namespace {

MeasureOutcome measure_file(SourceArg& given, const std::optional<std::vector<std::string>>& names,
                            bool series) {
  MeasureOutcome o;
  std::unique_ptr<FileToMeasure> file = open_to_measure(given, names, o);
  if (!file) return o;
  const SourceInfo& info = file->source.info;
  const auto read = [&](double* out, std::size_t max_frames) {
    return file->read(out, max_frames);
  };
  measure_into(o, info.channels, info.rate_hz, file->roles, series, read, file->reader_failed,
               file->bad, info.frames);
  return o;
}

// ---- arrays --------------------------------------------------------------------

MeasureOutcome measure_array(const Array& a, std::uint32_t rate_hz, unsigned channels,
                             const std::vector<int>& roles, Measurement layout, bool series) {
  MeasureOutcome o;
  o.measurement.emplace(std::move(layout));
  bool reader_failed = false;
  BadSample bad;
  with_array_reader(a, channels, &bad, 0, [&](auto reader) {
    measure_into(o, channels, rate_hz, roles, series, std::ref(reader), reader_failed, bad,
                 reader.frames);
  });
  return o;
}

// ---- the entry points ------------------------------------------------------------

// Raises the failure of a measurement; a source's OSError names it.
void raise_failure(const MeasureOutcome& o, SourceArg* source) {
  switch (o.failure) {
    case Failure::none:
      return;
    case Failure::os:
      if (source != nullptr) source->raise_error(*o.error);
      raise(PyExc_OSError, o.error->message());
    case Failure::value:
      raise(PyExc_ValueError, o.error->message());
    case Failure::memory:
      raise(PyExc_MemoryError, o.error->message());
    case Failure::sample:
      raise(PyExc_ValueError,
            o.error->message() + (source == nullptr ? "" : ": " + source->shown()));
  }
}

MeasureOutcome measure_path(const nb::object& source, const nb::object& rate,
                            const std::optional<std::vector<std::string>>& names, bool series,
                            const nb::object& stream) {
  if (!rate.is_none())
    raise(PyExc_ValueError, "rate applies to arrays only: a file's rate is read from the file");
  SourceArg given(source, "source");
  const PathArg* path = given.path();
  MeasureOutcome o;
  // A container libsndfile does not read: its audio through PyAV.
  if (path && video::claims(*path, false)) {
    o.measurement = video::measure(*path, stream, names, series);
    return o;
  }
  video::check_single_stream(stream, "the file has stream 0 only: " + given.shown());
  o = released([&] { return measure_file(given, names, series); });
  if (path && o.failure == Failure::os && !o.error->os_errno() && video::claims(*path, true)) {
    o = MeasureOutcome{};
    o.measurement = video::measure(*path, stream, names, series);
    return o;
  }
  raise_failure(o, &given);
  return o;
}

MeasureOutcome measure_source_array(const nb::object& source, const nb::object& rate,
                                    const std::optional<std::vector<std::string>>& names,
                                    bool series) {
  const Array a = array_or_raise(
      source,
      "source must be a path (str or os.PathLike), a URL, the bytes of an audio file, a "
      "binary file-like object or");
  const std::size_t columns = array_columns(source, a);
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
  if (std::optional<std::string> bad =
          choose_layout(channels, names, analysis::default_layout(channels), layout, roles)) {
    raise(PyExc_ValueError, *bad);
  }
  MeasureOutcome o = released(
      [&] { return measure_array(a, rate_hz, channels, roles, std::move(layout), series); });
  raise_failure(o, nullptr);
  return o;
}

Measurement measure(nb::object source, nb::object rate, nb::object channel_map, bool series,
                    nb::object stream) {
  return measure_source(source, rate, channel_names_of(channel_map), series, stream);
}

// What a file declares about itself, without measuring.
FileInfo file_info(nb::object source, nb::object stream) {
  SourceArg given(source, "path");
  const PathArg* path = given.path();
  if (path && video::claims(*path, false)) return video::info(*path, stream);
  video::check_single_stream(stream, "the file has stream 0 only: " + given.shown());
  std::optional<Result<AudioSource>> opened;
  {
    nb::gil_scoped_release unlocked;
    opened.emplace(given.open(true));
  }
  if (!*opened) {
    if (path && !opened->error().os_errno() && video::claims(*path, true))
      return video::info(*path, stream);
    given.raise_error(opened->error());
  }
  FileInfo out{(*opened)->info, (*opened)->layout, {}};
  out.streams.push_back(video::only_stream(out.info, out.channel_map));
  {
    nb::gil_scoped_release unlocked;
    opened.reset();
  }
  return out;
}

// A fresh numpy copy of one series, or None without series.
nb::object series_of(const Measurement& s, const std::vector<double>& v) {
  if (!s.series) return nb::none();
  auto copy = std::make_unique<std::vector<double>>(v);
  nb::capsule owner(copy.get(),
                    [](void* p) noexcept { delete static_cast<std::vector<double>*>(p); });
  std::vector<double>& values = *copy.release();  // the capsule owns it now
  return nb::cast(
      nb::ndarray<nb::numpy, double, nb::ndim<1>>(values.data(), {values.size()}, owner));
}

// Measurement: the levels of the whole audio, its length and its format.
nb::class_<Measurement> bind_measurement_levels(nb::module_& m) {
  return nb::class_<Measurement>(m, "Measurement", doc::measurement_class)
      .def_prop_ro(
          "integrated_lufs", [](const Measurement& s) { return s.m.integrated_lufs; },
          doc::measurement::integrated_lufs)
      .def_prop_ro(
          "momentary_max_lufs", [](const Measurement& s) { return s.m.momentary_max_lufs; },
          doc::measurement::momentary_max_lufs)
      .def_prop_ro(
          "short_term_max_lufs", [](const Measurement& s) { return s.m.short_term_max_lufs; },
          doc::measurement::short_term_max_lufs)
      .def_prop_ro(
          "loudness_range_lu", [](const Measurement& s) { return s.m.loudness_range_lu; },
          doc::measurement::loudness_range_lu)
      .def_prop_ro(
          "loudness_range_low_lufs",
          [](const Measurement& s) { return s.m.loudness_range_low_lufs; },
          doc::measurement::loudness_range_low_lufs)
      .def_prop_ro(
          "loudness_range_high_lufs",
          [](const Measurement& s) { return s.m.loudness_range_high_lufs; },
          doc::measurement::loudness_range_high_lufs)
      .def_prop_ro(
          "absolute_gate_lufs", [](const Measurement& s) { return s.m.absolute_gate_lufs; },
          doc::measurement::absolute_gate_lufs)
      .def_prop_ro(
          "relative_gate_lufs", [](const Measurement& s) { return s.m.relative_gate_lufs; },
          doc::measurement::relative_gate_lufs)
      .def_prop_ro(
          "true_peak_dbtp", [](const Measurement& s) { return s.m.true_peak_dbtp; },
          doc::measurement::true_peak_dbtp)
      .def_prop_ro(
          "sample_peak_dbfs", [](const Measurement& s) { return s.m.sample_peak_dbfs; },
          doc::measurement::sample_peak_dbfs)
      .def_prop_ro(
          "rms_average_dbfs", [](const Measurement& s) { return s.m.rms_average_dbfs; },
          doc::measurement::rms_average_dbfs)
      .def_prop_ro(
          "rms_max_dbfs", [](const Measurement& s) { return s.m.rms_max_dbfs; },
          doc::measurement::rms_max_dbfs)
      .def_prop_ro(
          "duration_s",
          [](const Measurement& s) {
            return static_cast<double>(s.m.frames) / static_cast<double>(s.m.rate_hz);
          },
          doc::measurement::duration_s)
      .def_prop_ro(
          "frames", [](const Measurement& s) { return s.m.frames; }, doc::measurement::frames)
      .def_prop_ro(
          "rate_hz", [](const Measurement& s) { return s.m.rate_hz; }, doc::measurement::rate_hz)
      .def_prop_ro(
          "channels", [](const Measurement& s) { return s.m.channels; }, doc::measurement::channels)
      .def_prop_ro(
          "format", [](const Measurement& s) { return s.format; }, doc::measurement::format);
}

// Measurement's per-channel levels, channel layout, series and repr.
void bind_measurement_channels(nb::class_<Measurement>& c) {
  c.def_prop_ro(
       "channel_integrated_lufs",
       [](const Measurement& s) { return tuple_of(s.m.channel_integrated_lufs); },
       doc::measurement::channel_integrated_lufs)
      .def_prop_ro(
          "channel_true_peak_dbtp",
          [](const Measurement& s) { return tuple_of(s.m.channel_true_peak_dbtp); },
          doc::measurement::channel_true_peak_dbtp)
      .def_prop_ro(
          "channel_sample_peak_dbfs",
          [](const Measurement& s) { return tuple_of(s.m.channel_sample_peak_dbfs); },
          doc::measurement::channel_sample_peak_dbfs)
      .def_prop_ro(
          "channel_rms_average_dbfs",
          [](const Measurement& s) { return tuple_of(s.m.channel_rms_average_dbfs); },
          doc::measurement::channel_rms_average_dbfs)
      .def_prop_ro(
          "channel_rms_max_dbfs",
          [](const Measurement& s) { return tuple_of(s.m.channel_rms_max_dbfs); },
          doc::measurement::channel_rms_max_dbfs)
      .def_prop_ro(
          "channel_map", [](const Measurement& s) { return tuple_of(s.channel_map); },
          doc::measurement::channel_map)
      .def_prop_ro(
          "series_time_s", [](const Measurement& s) { return series_of(s, s.m.series_time_s); },
          doc::measurement::series_time_s)
      .def_prop_ro(
          "series_momentary_lufs",
          [](const Measurement& s) { return series_of(s, s.m.series_momentary_lufs); },
          doc::measurement::series_momentary_lufs)
      .def_prop_ro(
          "series_short_term_lufs",
          [](const Measurement& s) { return series_of(s, s.m.series_short_term_lufs); },
          doc::measurement::series_short_term_lufs)
      .def_prop_ro(
          "series_true_peak_dbtp",
          [](const Measurement& s) { return series_of(s, s.m.series_true_peak_dbtp); },
          doc::measurement::series_true_peak_dbtp)
      .def("__repr__", [](const Measurement& s) {
        return "Measurement(integrated_lufs=" + level_text(s.m.integrated_lufs) +
               ", true_peak_dbtp=" + level_text(s.m.true_peak_dbtp) + ", format='" + s.format +
               "', rate_hz=" + std::to_string(s.m.rate_hz) +
               ", channels=" + std::to_string(s.m.channels) +
               ", frames=" + std::to_string(s.m.frames) + ")";
      });
}

}  // namespace

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
    if (!analysis::channel_role(name)) {
      std::string known;
      for (const std::string& n : analysis::channel_names())
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
                                         const std::vector<std::string>& file_layout,
                                         Measurement& out, std::vector<int>& roles) {
  if (given) {
    if (given->size() != channels) {
      return "channel_map has " + std::to_string(given->size()) + " names for " +
             std::to_string(channels) + " channels";
    }
    out.channel_map = *given;
  } else {
    out.channel_map = file_layout;
  }
  roles.clear();
  for (const std::string& n : out.channel_map) roles.push_back(*analysis::channel_role(n));
  return std::nullopt;
}

std::uint32_t rate_of(const nb::object& rate) {
  using analysis::rate_measurable;
  using analysis::rate_range_text;
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

Measurement measure_source(const nb::object& source, const nb::object& rate,
                           const std::optional<std::vector<std::string>>& names, bool series,
                           const nb::object& stream) {
  const bool file = source_kind(source) != SourceKind::array;
  if (!file) video::check_single_stream(stream, "an array is stream 0 only");
  MeasureOutcome o = file ? measure_path(source, rate, names, series, stream)
                          : measure_source_array(source, rate, names, series);
  o.measurement->series = series;
  return std::move(*o.measurement);
}

void bind_measure(nb::module_& m) {
  nb::class_<Measurement> measurement = bind_measurement_levels(m);
  bind_measurement_channels(measurement);
  m.def("measure", &measure, nb::arg("source"), nb::arg("rate") = nb::none(), nb::kw_only(),
        nb::arg("channel_map") = nb::none(), nb::arg("series") = false,
        nb::arg("stream") = nb::none(), doc::measure);

  nb::class_<FileInfo>(m, "FileInfo", doc::file_info_class)
      .def_prop_ro(
          "format", [](const FileInfo& f) { return f.info.format; }, doc::file_info::format)
      .def_prop_ro(
          "rate_hz", [](const FileInfo& f) { return f.info.rate_hz; }, doc::file_info::rate_hz)
      .def_prop_ro(
          "channels", [](const FileInfo& f) { return f.info.channels; }, doc::file_info::channels)
      .def_prop_ro(
          "frames", [](const FileInfo& f) { return f.info.frames; }, doc::file_info::frames)
      .def_prop_ro(
          "duration_s",
          [](const FileInfo& f) {
            return static_cast<double>(f.info.frames) / static_cast<double>(f.info.rate_hz);
          },
          doc::file_info::duration_s)
      .def_prop_ro(
          "channel_map", [](const FileInfo& f) { return tuple_of(f.channel_map); },
          doc::file_info::channel_map)
      .def_prop_ro(
          "streams", [](const FileInfo& f) { return tuple_of(f.streams); }, doc::file_info_streams);

  m.def("info", &file_info, nb::arg("path"), nb::kw_only(), nb::arg("stream") = nb::none(),
        doc::info);
  video::bind(m);
}

}  // namespace sonorik::meter
