// replaygain() and write_gain_tags(): the gains a player applies to play each
// track (and album) at a reference loudness, from measure() and
// measure_album() (nothing is measured here), and the tags that carry them,
// written by tags::write_gain_tags.
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "python/meter/arguments.h"
#include "python/meter/bindings.h"
#include "python/meter/docs.h"
#include "python/meter/measurement.h"
#include "python/meter/sources.h"
#include "tags/gain_writer.h"

namespace sonorik::meter {

namespace {

constexpr double kDefaultReference = -18.0;  // LUFS, ReplayGain 2.0
constexpr double kR128Reference = -23.0;     // LUFS, the R128_* tags of Opus

// What Python sees as GainRecord.
struct GainRecord {
  nb::object file;  // str or bytes as given, or None for an array or a Measurement
  nb::object measurement;
  std::string format;
  double reference_lufs = kDefaultReference;
  bool sample_peak = false;
  double integrated_lufs = 0.0;
  double track_gain_db = 0.0;
  double track_peak = 0.0;
  std::optional<double> album_lufs, album_gain_db, album_peak;
  std::optional<int> opus_header_gain;  // 1/256 dB to add to an Opus header (opus_header)
  tags::GainValues tags;
};

std::string printed(const char* form, double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, form, v);
  return buf;
}

// A gain in 1/256 dB relative to -23 LUFS, within the tag's 16 bits.
int q78(double lufs) {
  return static_cast<int>(
      std::clamp(std::round((kR128Reference - lufs) * 256.0), -32768.0, 32767.0));
}

double linear(double db) { return std::isinf(db) && db < 0 ? 0.0 : std::pow(10.0, db / 20.0); }

// The tags of `r`: R128 gains for Opus, ReplayGain gains and peaks otherwise.
tags::GainValues tags_of(const GainRecord& r) {
  tags::GainValues v;
  if (r.format.find("OPUS") != std::string::npos) {
    // With the header gain, the tags are what is left to add to it.
    const int header = r.opus_header_gain.value_or(0);
    v.emplace_back("R128_TRACK_GAIN", std::to_string(q78(r.integrated_lufs) - header));
    if (r.album_lufs)
      v.emplace_back("R128_ALBUM_GAIN", std::to_string(q78(*r.album_lufs) - header));
    return v;
  }
  v.emplace_back("REPLAYGAIN_TRACK_GAIN", printed("%.2f dB", r.track_gain_db));
  v.emplace_back("REPLAYGAIN_TRACK_PEAK", printed("%.6f", r.track_peak));
  if (r.album_gain_db) {
    v.emplace_back("REPLAYGAIN_ALBUM_GAIN", printed("%.2f dB", *r.album_gain_db));
    v.emplace_back("REPLAYGAIN_ALBUM_PEAK", printed("%.6f", *r.album_peak));
  }
  if (r.reference_lufs != kDefaultReference)
    v.emplace_back("REPLAYGAIN_REFERENCE_LOUDNESS", printed("%.2f LUFS", r.reference_lufs));
  return v;
}

std::string name_of(const nb::handle& source, std::size_t i) {
  return names_itself(source) ? text_of(nb::repr(source)) : "sources[" + std::to_string(i) + "]";
}

// Raises ValueError when `lufs` gives no gain (silence).
void check_loudness(double lufs, const std::string& what) {
  if (!std::isfinite(lufs))
    raise(PyExc_ValueError, what + " has no audio above the gates (silence): it has no gain");
}

nb::tuple replaygain(const nb::object& sources, bool album, const nb::object& reference,
                     bool sample_peak, bool opus_header) {
  const double ref = level_arg(reference, "reference");
  if (!std::isfinite(ref) || ref < -70.0 || ref > 0.0)
    raise(PyExc_ValueError, "reference must be a loudness from -70 to 0 LUFS");
  if (is_path_like(sources) || !nb::hasattr(sources, "__iter__"))
    raise(PyExc_TypeError,
          "sources must be a sequence of paths or Measurements, got " + type_name_of(sources));
  std::vector<GainRecord> records;
  nb::list measured;
  std::size_t i = 0;
  for (nb::handle item : sources) {
    nb::object source = nb::borrow(item);
    GainRecord r;
    r.file = source_kind(source) == SourceKind::path ? source : nb::none();
    r.measurement = nb::isinstance<Measurement>(source)
                        ? source
                        : nb::cast(measure_source(source, nb::none(), std::nullopt, false));
    const Measurement& m = nb::cast<const Measurement&>(r.measurement);
    check_loudness(m.m.integrated_lufs, name_of(source, i));
    r.format = m.format;
    r.reference_lufs = ref;
    r.sample_peak = sample_peak;
    r.integrated_lufs = m.m.integrated_lufs;
    r.track_gain_db = ref - m.m.integrated_lufs;
    r.track_peak = linear(sample_peak ? m.m.sample_peak_dbfs : m.m.true_peak_dbtp);
    measured.append(r.measurement);
    records.push_back(std::move(r));
    ++i;
  }
  if (records.empty()) raise(PyExc_ValueError, "replaygain() needs at least one source");
  if (album) {
    nb::object a = nb::module_::import_("sonorik_meter").attr("measure_album")(measured);
    const double lufs = nb::cast<double>(a.attr("integrated_lufs"));
    check_loudness(lufs, "the album");
    const double peak =
        linear(nb::cast<double>(a.attr(sample_peak ? "sample_peak_dbfs" : "true_peak_dbtp")));
    for (GainRecord& r : records) {
      r.album_lufs = lufs;
      r.album_gain_db = ref - lufs;
      r.album_peak = peak;
    }
  }
  nb::list out;
  for (GainRecord& r : records) {
    // The album's gain into the header of each of its files, else the track's.
    if (opus_header && r.format.find("OPUS") != std::string::npos)
      r.opus_header_gain = q78(r.album_lufs.value_or(r.integrated_lufs));
    r.tags = tags_of(r);
    out.append(nb::cast(std::move(r)));
  }
  return nb::steal<nb::tuple>(PyList_AsTuple(out.ptr()));
}

nb::dict dict_of(const tags::GainValues& values) {
  nb::dict d;
  for (const auto& [k, v] : values) d[nb::cast(k)] = nb::cast(v);
  return d;
}

void write_gain_tags(const nb::object& path, const nb::object& values,
                     const nb::object& opus_header_gain) {
  const PathArg p = path_arg(path, "path");
  if (!nb::isinstance<nb::dict>(values))
    raise(PyExc_TypeError, "tags must be a dict of str to str, got " + type_name_of(values));
  tags::GainValues v;
  for (auto [key, value] : nb::cast<nb::dict>(values)) {
    if (!nb::isinstance<nb::str>(key) || !nb::isinstance<nb::str>(value))
      raise(PyExc_TypeError, "tags must be a dict of str to str");
    v.emplace_back(nb::cast<std::string>(key), nb::cast<std::string>(value));
  }
  for (const auto& [key, _] : v) {
    if (std::find(std::begin(tags::kGainTagKeys), std::end(tags::kGainTagKeys), key) ==
        std::end(tags::kGainTagKeys))
      raise(PyExc_ValueError,
            "'" + key +
                "' is not a gain tag (known: REPLAYGAIN_TRACK_GAIN, "
                "REPLAYGAIN_TRACK_PEAK, REPLAYGAIN_ALBUM_GAIN, REPLAYGAIN_ALBUM_PEAK, "
                "REPLAYGAIN_REFERENCE_LOUDNESS, R128_TRACK_GAIN, R128_ALBUM_GAIN)");
  }
  int steps = 0;
  if (!opus_header_gain.is_none()) {
    if (!PyLong_Check(opus_header_gain.ptr()) || PyBool_Check(opus_header_gain.ptr()))
      raise(PyExc_TypeError,
            "opus_header_gain must be an int (1/256 dB), got " + type_name_of(opus_header_gain));
    int overflow = 0;
    const long g = PyLong_AsLongAndOverflow(opus_header_gain.ptr(), &overflow);
    if (overflow != 0 || g < -65535 || g > 65535)
      raise(PyExc_ValueError, "opus_header_gain must be from -65535 to 65535 (1/256 dB)");
    steps = static_cast<int>(g);
  }
  Status s = released([&] { return tags::write_gain_tags(p.bytes, v, steps); });
  if (!s) raise_os_error(s.error(), p.shown);
}

nb::dict read_gain_tags(const nb::object& path) {
  const PathArg p = path_arg(path, "path");
  Result<tags::GainValues> v = released([&] { return tags::read_gain_tags(p.bytes); });
  if (!v) raise_os_error(v.error(), p.shown);
  return dict_of(*v);
}

}  // namespace

void bind_replaygain(nb::module_& m) {
  namespace d = doc::gain_record;
  nb::class_<GainRecord>(m, "GainRecord", doc::gain_record_class)
      .def_ro("file", &GainRecord::file, d::file)
      .def_ro("measurement", &GainRecord::measurement, d::measurement)
      .def_ro("format", &GainRecord::format, d::format)
      .def_ro("reference_lufs", &GainRecord::reference_lufs, d::reference_lufs)
      .def_ro("sample_peak", &GainRecord::sample_peak, d::sample_peak)
      .def_ro("integrated_lufs", &GainRecord::integrated_lufs, d::integrated_lufs)
      .def_ro("track_gain_db", &GainRecord::track_gain_db, d::track_gain_db)
      .def_ro("track_peak", &GainRecord::track_peak, d::track_peak)
      .def_ro("album_lufs", &GainRecord::album_lufs, d::album_lufs)
      .def_ro("album_gain_db", &GainRecord::album_gain_db, d::album_gain_db)
      .def_ro("album_peak", &GainRecord::album_peak, d::album_peak)
      .def_ro("opus_header_gain", &GainRecord::opus_header_gain, d::opus_header_gain)
      .def_prop_ro(
          "tags", [](const GainRecord& r) { return dict_of(r.tags); }, d::tags)
      .def("__repr__", [](const GainRecord& r) {
        return "GainRecord(track_gain_db=" + level_text(r.track_gain_db) +
               ", track_peak=" + printed("%.6f", r.track_peak) + ")";
      });
  m.def("replaygain", &replaygain, nb::arg("sources"), nb::kw_only(), nb::arg("album") = false,
        nb::arg("reference") = nb::float_(kDefaultReference), nb::arg("sample_peak") = false,
        nb::arg("opus_header") = false, doc::replaygain);
  m.def("write_gain_tags", &write_gain_tags, nb::arg("path"), nb::arg("tags"), nb::kw_only(),
        nb::arg("opus_header_gain") = nb::none(), doc::write_gain_tags);
  m.def("read_gain_tags", &read_gain_tags, nb::arg("path"), doc::read_gain_tags);
}

}  // namespace sonorik::meter
