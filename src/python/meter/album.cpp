// measure_album(): several programmes measured as one album. Each source is
// measured as measure() measures it (or taken as it is when it is a
// Measurement already), then analysis::measure_album pools what the
// measurements keep: nothing is read twice.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <vector>

#include "analysis/album.h"
#include "python/meter/arguments.h"
#include "python/meter/arrays.h"
#include "python/meter/bindings.h"
#include "python/meter/docs.h"
#include "python/meter/measurement.h"
#include "python/meter/sources.h"

namespace sonorik::meter {

namespace {

// What Python sees as Album.
struct AlbumResult {
  analysis::AlbumMeasurement a;
  nb::tuple tracks;  // of Measurement, in album order
};

// Raises TypeError for an argument that is one programme, not several.
void check_sources(const nb::object& sources) {
  Array one;
  if (is_path_like(sources) || nb::try_cast(sources, one, false)) {
    raise(PyExc_TypeError, "sources must be a sequence of paths, arrays or Measurements, got one " +
                               type_name_of(sources) + ": measure() measures one programme");
  }
  if (!nb::hasattr(sources, "__iter__")) {
    raise(PyExc_TypeError, "sources must be a sequence of paths, arrays or Measurements, got " +
                               type_name_of(sources));
  }
}

// How an error names source `i`: its path, or its place in the sources.
std::string source_name(const nb::handle& source, std::size_t i) {
  return names_itself(source) ? text_of(nb::repr(source)) : "sources[" + std::to_string(i) + "]";
}

AlbumResult measure_album(const nb::object& sources, const nb::object& rate,
                          const nb::object& channel_map) {
  check_sources(sources);
  const std::optional<std::vector<std::string>> names = channel_names_of(channel_map);
  nb::list tracks;
  std::vector<const analysis::StandardMeasurement*> programmes;
  std::size_t i = 0;
  for (nb::handle item : sources) {
    nb::object source = nb::borrow(item);
    nb::object track =
        nb::isinstance<Measurement>(source)
            ? source
            : nb::cast(measure_source(source,
                                      source_kind(source) == SourceKind::array ? rate : nb::none(),
                                      names, false));
    const Measurement& m = nb::cast<const Measurement&>(track);
    if (!m.m.gating_block_energies) {
      raise(PyExc_ValueError,
            "album loudness needs every programme's gating blocks, which are kept for up to 8 "
            "channels: " +
                source_name(source, i) + " has " + std::to_string(m.m.channels));
    }
    programmes.push_back(&m.m);
    tracks.append(track);
    ++i;
  }
  if (programmes.empty()) raise(PyExc_ValueError, "measure_album() needs at least one source");
  std::optional<Result<analysis::AlbumMeasurement>> album;
  {
    nb::gil_scoped_release unlocked;
    album.emplace(analysis::measure_album(programmes));
  }
  if (!*album) raise(PyExc_ValueError, album->error().message());
  return AlbumResult{std::move(*album).value(), nb::steal<nb::tuple>(PyList_AsTuple(tracks.ptr()))};
}

}  // namespace

void bind_album(nb::module_& m) {
  namespace d = doc::album;
  nb::class_<AlbumResult>(m, "Album", doc::album_class)
      .def_prop_ro(
          "integrated_lufs", [](const AlbumResult& s) { return s.a.integrated_lufs; },
          d::integrated_lufs)
      .def_prop_ro(
          "relative_gate_lufs", [](const AlbumResult& s) { return s.a.relative_gate_lufs; },
          d::relative_gate_lufs)
      .def_prop_ro(
          "loudness_range_lu", [](const AlbumResult& s) { return s.a.loudness_range_lu; },
          d::loudness_range_lu)
      .def_prop_ro(
          "loudness_range_low_lufs",
          [](const AlbumResult& s) { return s.a.loudness_range_low_lufs; },
          d::loudness_range_low_lufs)
      .def_prop_ro(
          "loudness_range_high_lufs",
          [](const AlbumResult& s) { return s.a.loudness_range_high_lufs; },
          d::loudness_range_high_lufs)
      .def_prop_ro(
          "true_peak_dbtp", [](const AlbumResult& s) { return s.a.true_peak_dbtp; },
          d::true_peak_dbtp)
      .def_prop_ro(
          "sample_peak_dbfs", [](const AlbumResult& s) { return s.a.sample_peak_dbfs; },
          d::sample_peak_dbfs)
      .def_prop_ro(
          "duration_s", [](const AlbumResult& s) { return s.a.duration_s; }, d::duration_s)
      .def_prop_ro(
          "tracks", [](const AlbumResult& s) { return s.tracks; }, d::tracks)
      .def("__repr__", [](const AlbumResult& s) {
        return "Album(integrated_lufs=" + level_text(s.a.integrated_lufs) +
               ", true_peak_dbtp=" + level_text(s.a.true_peak_dbtp) +
               ", tracks=" + std::to_string(s.a.programmes) + ")";
      });
  m.def("measure_album", &measure_album, nb::arg("sources"), nb::arg("rate") = nb::none(),
        nb::kw_only(), nb::arg("channel_map") = nb::none(), doc::measure_album);
}

}  // namespace sonorik::meter
