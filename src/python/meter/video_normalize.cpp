// normalize() of a container's audio: the request handed to
// _sonorik_av_normalize, its report read back into a StreamReport.
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <utility>
#include <vector>

#include "python/meter/video.h"

namespace sonorik::meter::video {

namespace sn = normalize;

namespace {

analysis::StandardMeasurement measured(const nb::dict& r, const char* key) {
  return nb::cast<Measurement>(r[key]).m;
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

}  // namespace sonorik::meter::video
