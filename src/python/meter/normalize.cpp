// normalize(): one gain that brings a measure to a target, capped by a
// true-peak ceiling, written through a temporary file that replaces the
// destination; and its NormalizeReport.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>

#include "normalize/stream_normalizer.h"
#include "python/meter/arguments.h"
#include "python/meter/bindings.h"
#include "python/meter/docs.h"
#include "python/meter/video.h"

namespace sonorik::meter {

namespace sn = normalize;

namespace {

// The errno-carrying error of a failed source or destination.
Error error_of(const sn::StreamOutcome& o) {
  return o.os_errno ? Error::with_os_errno(o.message, *o.os_errno) : Error(o.message);
}

struct NormalizeReport {
  sn::StreamReport r;
  nb::object source;  // str, as os.fsdecode gives it (surrogate escapes kept)
  nb::object destination;
  double target = 0.0;
  double ceiling_dbtp = 0.0;
  sn::Level level = sn::Level::integrated;
};

NormalizeReport normalize(nb::object source, nb::object destination, nb::object target,
                          std::string measure, nb::object ceiling, nb::object range,
                          nb::object format, nb::object rate, nb::object limit) {
  sn::StreamRequest req;
  const PathArg source_path = path_arg(source, "source");
  const PathArg destination_path = path_arg(destination, "destination");
  req.source = source_path.bytes;
  req.destination = destination_path.bytes;
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
  if (!rate.is_none()) {
    if (!nb::isinstance<nb::int_>(rate) || nb::isinstance<nb::bool_>(rate))
      raise(PyExc_TypeError, "rate must be None or int, got " + type_name_of(rate));
    const long long hz = PyLong_AsLongLong(rate.ptr());
    if (hz == -1 && PyErr_Occurred()) PyErr_Clear();
    if (hz <= 0 || hz > 0xFFFFFFFFLL) {
      raise(PyExc_ValueError,
            "rate must be a positive number of Hz, got " + nb::cast<std::string>(nb::str(rate)));
    }
    req.rate_hz = static_cast<std::uint32_t>(hz);
  }
  if (!nb::isinstance<nb::bool_>(limit))
    raise(PyExc_TypeError, "limit must be bool, got " + type_name_of(limit));
  req.limit = nb::cast<bool>(limit);
  const bool container = video::claims(source_path, false);
  if (container && req.limit) {
    raise(PyExc_ValueError,
          "limit=True does not apply to video and AAC containers, whose audio is normalised "
          "with one linear gain");
  }
  sn::StreamOutcome o = container ? video::normalize(req, source_path, destination_path)
                                  : released([&] { return sn::normalize_stream(req); });
  switch (o.failure) {
    case sn::StreamFailure::none:
      break;
    case sn::StreamFailure::source:
      raise_os_error(error_of(o), source_path.shown);
    case sn::StreamFailure::destination:
      raise_os_error(error_of(o), destination_path.shown);
    case sn::StreamFailure::value:
      raise(PyExc_ValueError, o.message);
    case sn::StreamFailure::memory:
      raise(PyExc_MemoryError, o.message);
  }
  const nb::object fsdecode = nb::module_::import_("os").attr("fsdecode");
  return NormalizeReport{std::move(*o.report),
                         fsdecode(source_path.shown),
                         fsdecode(destination_path.shown),
                         req.target,
                         req.ceiling_dbtp,
                         req.level};
}

// The limiter's work and the loudness range it leaves.
void bind_limiter_fields(nb::class_<NormalizeReport>& c) {
  using R = NormalizeReport;
  c.def_prop_ro(
       "limiting_needed_db", [](const R& r) { return r.r.limiting_needed_db; },
       doc::normalize_report::limiting_needed_db)
      .def_prop_ro(
          "limited", [](const R& r) { return r.r.limiter.has_value(); },
          doc::normalize_report::limited)
      .def_prop_ro(
          "limiter_max_reduction_db",
          [](const R& r) -> std::optional<double> {
            if (!r.r.limiter) return std::nullopt;
            return r.r.limiter->max_reduction_db;
          },
          doc::normalize_report::limiter_max_reduction_db)
      .def_prop_ro(
          "limiter_share",
          [](const R& r) -> std::optional<double> {
            if (!r.r.limiter) return std::nullopt;
            return r.r.limiter->limited_share();
          },
          doc::normalize_report::limiter_share)
      .def_prop_ro(
          "limiter_events",
          [](const R& r) -> std::optional<std::uint64_t> {
            if (!r.r.limiter) return std::nullopt;
            return r.r.limiter->events;
          },
          doc::normalize_report::limiter_events)
      .def_prop_ro(
          "input_loudness_range_lu", [](const R& r) { return r.r.input.loudness_range_lu; },
          doc::normalize_report::input_loudness_range_lu)
      .def_prop_ro(
          "output_loudness_range_lu", [](const R& r) { return r.r.output.loudness_range_lu; },
          doc::normalize_report::output_loudness_range_lu);
}

}  // namespace

void bind_normalize(nb::module_& m) {
  using R = NormalizeReport;
  nb::class_<R> report(m, "NormalizeReport", doc::normalize_report_class);
  bind_limiter_fields(report);
  report
      .def_prop_ro(
          "source", [](const R& r) { return r.source; }, doc::normalize_report::source)
      .def_prop_ro(
          "destination", [](const R& r) { return r.destination; },
          doc::normalize_report::destination)
      .def_prop_ro(
          "measure", [](const R& r) { return std::string(sn::level_name(r.level)); },
          doc::normalize_report::measure)
      .def_prop_ro(
          "unit", [](const R& r) { return std::string(sn::level_unit(r.level)); },
          doc::normalize_report::unit)
      .def_prop_ro(
          "target", [](const R& r) { return r.target; }, doc::normalize_report::target)
      .def_prop_ro(
          "ceiling_dbtp", [](const R& r) { return r.ceiling_dbtp; },
          doc::normalize_report::ceiling_dbtp)
      .def_prop_ro(
          "input_level", [](const R& r) { return r.r.input_level; },
          doc::normalize_report::input_level)
      .def_prop_ro(
          "output_level", [](const R& r) { return r.r.output_level; },
          doc::normalize_report::output_level)
      .def_prop_ro(
          "gain_asked_db", [](const R& r) { return r.r.gain_asked_db; },
          doc::normalize_report::gain_asked_db)
      .def_prop_ro(
          "gain_applied_db", [](const R& r) { return r.r.gain_applied_db; },
          doc::normalize_report::gain_applied_db)
      .def_prop_ro(
          "capped_by",
          [](const R& r) -> std::optional<std::string> {
            if (r.r.limit == sn::Limit::ceiling) return std::string("ceiling");
            if (r.r.limit == sn::Limit::in_range) return std::string("in range");
            return std::nullopt;
          },
          doc::normalize_report::capped_by)
      .def_prop_ro(
          "dithered", [](const R& r) { return r.r.dithered; }, doc::normalize_report::dithered)
      .def_prop_ro(
          "written", [](const R& r) { return r.r.written; }, doc::normalize_report::written)
      .def_prop_ro(
          "input_integrated_lufs", [](const R& r) { return r.r.input.integrated_lufs; },
          doc::normalize_report::input_integrated_lufs)
      .def_prop_ro(
          "output_integrated_lufs", [](const R& r) { return r.r.output.integrated_lufs; },
          doc::normalize_report::output_integrated_lufs)
      .def_prop_ro(
          "input_true_peak_dbtp", [](const R& r) { return r.r.input.true_peak_dbtp; },
          doc::normalize_report::input_true_peak_dbtp)
      .def_prop_ro(
          "output_true_peak_dbtp", [](const R& r) { return r.r.output.true_peak_dbtp; },
          doc::normalize_report::output_true_peak_dbtp)
      .def_prop_ro(
          "input_format", [](const R& r) { return r.r.input_format; },
          doc::normalize_report::input_format)
      .def_prop_ro(
          "output_format", [](const R& r) { return r.r.output_format; },
          doc::normalize_report::output_format)
      .def_prop_ro(
          "rate_hz", [](const R& r) { return r.r.input.rate_hz; }, doc::normalize_report::rate_hz)
      .def_prop_ro(
          "output_rate_hz", [](const R& r) { return r.r.output_rate_hz; },
          doc::normalize_report::output_rate_hz)
      .def_prop_ro(
          "notes", [](const R& r) { return tuple_of(r.r.notes); }, doc::normalize_report::notes)
      .def_prop_ro(
          "copied", [](const R& r) { return r.r.copied; }, doc::normalize_report::copied)
      .def_prop_ro(
          "channels", [](const R& r) { return r.r.input.channels; },
          doc::normalize_report::channels)
      .def_prop_ro(
          "frames", [](const R& r) { return r.r.output.frames; }, doc::normalize_report::frames)
      .def_prop_ro(
          "channel_map", [](const R& r) { return tuple_of(r.r.channel_map); },
          doc::normalize_report::channel_map)
      .def("__repr__", [](const R& r) {
        return "NormalizeReport(measure='" + std::string(sn::level_name(r.level)) +
               "', input_level=" + level_text(r.r.input_level) +
               ", gain_applied_db=" + level_text(r.r.gain_applied_db) +
               ", output_level=" + (r.r.output_level ? level_text(*r.r.output_level) : "None") +
               ")";
      });

  m.def("normalize", &normalize, nb::arg("source"), nb::arg("destination"), nb::kw_only(),
        nb::arg("target"), nb::arg("measure") = "integrated", nb::arg("ceiling") = -1.0,
        nb::arg("range") = nb::none(), nb::arg("format") = nb::none(), nb::arg("rate") = nb::none(),
        nb::arg("limit") = false, doc::normalize);
  m.attr("MEASURES") = tuple_of(sn::level_names());
}

}  // namespace sonorik::meter
