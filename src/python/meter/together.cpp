// _measure_together(): many files measured at once for measure_many, each
// exactly as measure() measures it. Files of one rate run side by side
// (StandardSession::finish_together), so that the loudness filter of one
// short mono file, bound by the latency of its own recursion, shares its
// vector with up to seven others.
//
// Paths and encoded bytes are taken; any other source, a container for
// PyAV, and any file that fails to open or to measure gives None, for the
// caller to measure alone with measure(), which raises its exact error.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>
#include <tbb/task_arena.h>

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/standard_measurement.h"
#include "python/meter/bindings.h"
#include "python/meter/file_measure.h"
#include "python/meter/video.h"

namespace sonorik::meter {

namespace {

// The most channels measured side by side, and the most files held open.
constexpr unsigned kLanes = 8;
constexpr std::size_t kMostOpen = 64;

struct Taken {
  std::size_t index;
  std::unique_ptr<FileToMeasure> file;
  Measurement measurement;  // its format and layout
};

// Measures `group` (files of one rate) side by side into `out`.
void measure_group(std::vector<Taken>& group, bool series,
                   std::vector<std::optional<Measurement>>& out) {
  std::vector<std::optional<analysis::StandardSession>> sessions;
  std::vector<analysis::StandardSession*> running;
  std::vector<analysis::Engine::Reader> readers;
  std::vector<std::size_t> which;
  for (std::size_t k = 0; k < group.size(); ++k) {
    const SourceInfo& info = group[k].file->source.info;
    Result<analysis::StandardSession> s =
        analysis::StandardSession::create(info.channels, info.rate_hz, group[k].file->roles, series,
                                          analysis::MeasureParts{}, info.frames);
    if (!s) continue;  // measured alone by the caller
    sessions.emplace_back(std::move(s).value());
    FileToMeasure* file = group[k].file.get();
    readers.emplace_back([file](double* p, std::size_t n) { return file->read(p, n); });
    which.push_back(k);
  }
  for (std::optional<analysis::StandardSession>& s : sessions) running.push_back(&*s);
  std::vector<const analysis::Engine::Reader*> reading;
  for (const analysis::Engine::Reader& r : readers) reading.push_back(&r);
  std::vector<Result<analysis::StandardMeasurement>> got =
      analysis::StandardSession::finish_together(running, reading);
  for (std::size_t j = 0; j < got.size(); ++j) {
    if (!got[j]) continue;
    Taken& t = group[which[j]];
    t.measurement.m = std::move(got[j]).value();
    t.measurement.series = series;
    out[t.index] = std::move(t.measurement);
  }
  group.clear();
}

// Measures `opened` (files of any rates): those of one rate in groups of at
// most kLanes channels, files of like lengths together (a group's filter
// runs all its lanes until the shortest ends, then the others').
void measure_opened(std::vector<Taken>& opened, bool series,
                    std::vector<std::optional<Measurement>>& out) {
  const auto info = [](const Taken& t) -> const SourceInfo& { return t.file->source.info; };
  std::stable_sort(opened.begin(), opened.end(), [&](const Taken& a, const Taken& b) {
    return std::pair(info(a).rate_hz, info(a).frames) < std::pair(info(b).rate_hz, info(b).frames);
  });
  std::vector<Taken> group;
  unsigned channels = 0;
  for (Taken& t : opened) {
    if (!group.empty() &&
        (info(t).rate_hz != info(group[0]).rate_hz || channels + info(t).channels > kLanes)) {
      measure_group(group, series, out);
      channels = 0;
    }
    channels += info(t).channels;
    group.push_back(std::move(t));
  }
  measure_group(group, series, out);
  opened.clear();
}

// Opens and measures each taken source (the lock released), a few dozen
// open at a time.
void measure_taken(std::vector<std::unique_ptr<SourceArg>>& args,
                   const std::optional<std::vector<std::string>>& names, bool series,
                   std::vector<std::optional<Measurement>>& out) {
  std::vector<Taken> opened;
  for (std::size_t i = 0; i < args.size() && !interrupted(); ++i) {
    if (!args[i]) continue;
    MeasureOutcome o;
    std::unique_ptr<FileToMeasure> file = open_to_measure(*args[i], names, o);
    if (!file) continue;
    opened.push_back({i, std::move(file), std::move(*o.measurement)});
    if (opened.size() >= kMostOpen) measure_opened(opened, series, out);
  }
  measure_opened(opened, series, out);
}

nb::list measure_together(const nb::list& sources, const nb::object& channel_map, bool series,
                          bool one_thread) {
  const std::optional<std::vector<std::string>> names = channel_names_of(channel_map);
  std::vector<std::unique_ptr<SourceArg>> args(sources.size());
  for (std::size_t i = 0; i < args.size(); ++i) {
    const nb::object source = sources[i];
    const SourceKind kind = source_kind(source);
    if (kind != SourceKind::path && kind != SourceKind::encoded) continue;
    try {
      auto given = std::make_unique<SourceArg>(source, "source");
      if (given->path() && video::claims(*given->path(), false)) continue;
      args[i] = std::move(given);
    } catch (const nb::python_error&) {  // measure() raises it
    }
  }
  std::vector<std::optional<Measurement>> out(args.size());
  released([&] {
    if (!one_thread) {
      measure_taken(args, names, series, out);
    } else {  // the caller runs as many of these calls as there are cores
      tbb::task_arena alone(1);
      alone.execute([&] { measure_taken(args, names, series, out); });
    }
    return 0;
  });
  nb::list results;
  for (std::optional<Measurement>& m : out)
    results.append(m ? nb::cast(std::move(*m)) : nb::none());
  return results;
}

}  // namespace

void bind_together(nb::module_& m) {
  m.def("_measure_together", &measure_together, nb::arg("sources"), nb::kw_only(),
        nb::arg("channel_map") = nb::none(), nb::arg("series") = false,
        nb::arg("one_thread") = false,
        "measure() of each source, many at once; None where measure() itself must be called. "
        "With one_thread, the call's work is all done on the calling thread.");
}

}  // namespace sonorik::meter
