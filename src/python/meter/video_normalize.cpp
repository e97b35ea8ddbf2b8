// normalize() of a container's audio: the request handed to
// _sonorik_av_normalize, its report read back into a StreamReport; and the
// safe replacement of files (core/replace_file.h) it writes through.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "core/replace_file.h"
#include "python/meter/video.h"

namespace sonorik::meter::video {

namespace sn = normalize;

namespace {

analysis::StandardMeasurement measured(const nb::dict& r, const char* key) {
  return nb::cast<Measurement>(r[key]).m;
}

// What Python sees as _Replacement: a FileReplacement for `destination`
// (its temporary file at `path`, written by PyAV), committed or discarded.
struct Replacement {
  std::optional<FileReplacement> r;
  nb::object destination;
};

void begin_replacement(Replacement* self, const nb::object& destination) {
  const PathArg path = path_arg(destination, "destination");
  std::optional<Result<FileReplacement>> begun;
  {
    nb::gil_scoped_release unlocked;
    begun.emplace(FileReplacement::begin(path.bytes));
  }
  if (!*begun) raise_os_error(begun->error(), path.shown);
  new (self) Replacement{std::move(*begun).value(), path.shown};
}

FileReplacement& open_replacement(Replacement& self) {
  if (!self.r) raise(PyExc_ValueError, "the replacement is already committed or discarded");
  return *self.r;
}

void commit_replacement(Replacement& self) {
  FileReplacement& r = open_replacement(self);
  Status done = ok_status();
  {
    nb::gil_scoped_release unlocked;
    done = r.commit();
  }
  if (!done) raise_os_error(done.error(), self.destination);
  self.r.reset();
}

}  // namespace

sn::StreamOutcome normalize(const sn::StreamRequest& req, const PathArg& source,
                            const PathArg& destination) {
  nb::object range = nb::none();
  if (req.range) range = nb::make_tuple(req.range->first, req.range->second);
  const nb::dict r = nb::cast<nb::dict>(
      nb::module_::import_("_sonorik_av_normalize")
          .attr("normalize")(source.shown, destination.shown, req.target, sn::level_name(req.level),
                             req.ceiling_dbtp, range, req.format, req.rate_hz));
  sn::StreamReport report;
  report.input = measured(r, "input");
  report.output = measured(r, "output");
  report.input_format = nb::cast<std::string>(r["input_format"]);
  report.output_format = nb::cast<std::string>(r["output_format"]);
  report.channel_map = nb::cast<std::vector<std::string>>(r["channel_map"]);
  report.output_rate_hz = report.output.rate_hz;
  report.notes = nb::cast<std::vector<std::string>>(r["notes"]);
  report.input_level = nb::cast<double>(r["input_level"]);
  report.output_level = nb::cast<double>(r["output_level"]);
  report.gain_asked_db = nb::cast<double>(r["gain_asked_db"]);
  report.gain_applied_db = nb::cast<double>(r["gain_applied_db"]);
  const nb::object limit = r["limit"];
  if (!limit.is_none()) {
    report.limit =
        nb::cast<std::string>(limit) == "ceiling" ? sn::Limit::ceiling : sn::Limit::in_range;
  }
  report.written = nb::cast<bool>(r["written"]);
  report.copied = nb::cast<bool>(r["copied"]);
  return {sn::StreamFailure::none, {}, std::move(report)};
}

void bind_replacement(nb::module_& m) {
  nb::class_<Replacement>(m, "_Replacement")
      .def("__init__", &begin_replacement, nb::arg("destination"))
      .def_prop_ro("path",
                   [](Replacement& self) {
                     const std::string& p = open_replacement(self).temp_path();
                     nb::object text = nb::steal(PyUnicode_DecodeFSDefaultAndSize(
                         p.data(), static_cast<Py_ssize_t>(p.size())));
                     if (!text.is_valid()) throw nb::python_error();
                     return text;
                   })
      .def("commit", &commit_replacement)
      .def("discard", [](Replacement& self) { self.r.reset(); });
}

}  // namespace sonorik::meter::video
