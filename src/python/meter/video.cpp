#include "python/meter/video.h"

#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/tuple.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <cctype>
#include <string_view>
#include <tuple>
#include <utility>

#include "analysis/channel_layout.h"
#include "python/meter/docs.h"
#include "python/meter/video_docs.h"

namespace sonorik::meter::video {

namespace {

using analysis::Speaker;

nb::object reader() { return nb::module_::import_("_sonorik_av"); }

nb::object names_arg(const std::optional<std::vector<std::string>>& names) {
  if (!names) return nb::none();
  return nb::cast(*names);
}

// FFmpeg's channel names as speakers; a name it gives an unplaced channel
// ("UNK", "NONE") places nothing.
Speaker speaker_named(std::string_view name, unsigned channels) {
  struct FfmpegName {
    std::string_view name;
    Speaker speaker;
  };
  static constexpr FfmpegName kNames[] = {
      {"FL", Speaker::left},        {"FR", Speaker::right},     {"FC", Speaker::center},
      {"LFE", Speaker::lfe},        {"BL", Speaker::back_left}, {"BR", Speaker::back_right},
      {"BC", Speaker::back_center}, {"SL", Speaker::side_left}, {"SR", Speaker::side_right},
      {"UNK", Speaker::unknown},    {"NONE", Speaker::unknown}, {"", Speaker::unknown},
  };
  if (channels == 1 && name == "FC") return Speaker::mono;
  for (const FfmpegName& n : kNames)
    if (n.name == name) return n.speaker;
  return Speaker::other;
}

// The layout a stream is weighted by, from FFmpeg's names of its channels
// (none: the usual layout for the count), by the rule for every file.
std::vector<std::string> layout_of(const std::vector<std::string>& names, unsigned channels) {
  std::vector<Speaker> speakers;
  for (const std::string& n : names) speakers.push_back(speaker_named(n, channels));
  // An unplaced channel leaves the whole layout undeclared: the usual one.
  if (speakers.size() != channels ||
      std::find(speakers.begin(), speakers.end(), Speaker::unknown) != speakers.end()) {
    speakers.clear();
  }
  return analysis::file_layout(channels, speakers);
}

Measurement measurement_as(const Measurement& m, std::string format) {
  Measurement out = m;
  out.format = std::move(format);
  return out;
}

// One row of _sonorik_av: (index, codec, rate_hz, channels, channel_map,
// language, duration_s, default).
using StreamRow =
    std::tuple<unsigned, std::string, std::uint32_t, unsigned, std::vector<std::string>,
               std::optional<std::string>, std::optional<double>, bool>;

FileInfo file_info_of(std::string format, std::uint32_t rate_hz, unsigned channels,
                      std::uint64_t frames, std::vector<std::string> channel_map,
                      const std::vector<StreamRow>& rows) {
  FileInfo out;
  out.info.format = std::move(format);
  out.info.rate_hz = rate_hz;
  out.info.channels = channels;
  out.info.frames = frames;
  out.channel_map = std::move(channel_map);
  for (const StreamRow& r : rows) {
    out.streams.push_back(AudioStream{std::get<0>(r), std::get<1>(r), std::get<2>(r),
                                      std::get<3>(r), std::get<4>(r), std::get<5>(r),
                                      std::get<6>(r), std::get<7>(r)});
  }
  return out;
}

}  // namespace

const std::vector<std::string>& container_extensions() {
  static const std::vector<std::string> kExtensions = {
      "3g2",  "3gp", "aac",  "ac3", "adts", "asf", "avi",  "dts",  "eac3", "f4a",
      "f4v",  "flv", "m2ts", "m4a", "m4b",  "m4v", "mka",  "mkv",  "mov",  "mp4",
      "mpeg", "mpg", "mts",  "mxf", "ts",   "vob", "weba", "webm", "wma",  "wmv"};
  return kExtensions;
}

bool claims(const PathArg& path, bool sniff) {
  const std::size_t dot = path.bytes.find_last_of("./");
  if (dot != std::string::npos && path.bytes[dot] == '.') {
    std::string ext = path.bytes.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const std::vector<std::string>& known = container_extensions();
    if (std::find(known.begin(), known.end(), ext) != known.end()) return true;
  }
  return sniff && nb::cast<bool>(reader().attr("sniffs")(path.shown));
}

Measurement measure(const PathArg& path, const nb::object& stream,
                    const std::optional<std::vector<std::string>>& names, bool series) {
  nb::object m = reader().attr("measure")(path.shown, stream, names_arg(names), series);
  Measurement out = nb::cast<Measurement>(m);
  out.series = series;
  return out;
}

FileInfo info(const PathArg& path, const nb::object& stream) {
  return nb::cast<FileInfo>(reader().attr("info")(path.shown, stream));
}

void check_single_stream(const nb::object& stream, const std::string& why) {
  if (stream.is_none()) return;
  if (nb::isinstance<nb::bool_>(stream) || !nb::isinstance<nb::int_>(stream))
    raise(PyExc_TypeError, "stream must be None or an int, got " + type_name_of(stream));
  if (nb::cast<long long>(stream) != 0)
    raise(PyExc_ValueError, "no audio stream " + text_of(stream) + ": " + why);
}

AudioStream only_stream(const SourceInfo& info, const std::vector<std::string>& layout) {
  AudioStream s;
  const std::size_t space = info.format.find(' ');
  s.codec = space == std::string::npos ? info.format : info.format.substr(space + 1);
  s.rate_hz = info.rate_hz;
  s.channels = info.channels;
  s.channel_map = layout;
  if (info.rate_hz != 0)
    s.duration_s = static_cast<double>(info.frames) / static_cast<double>(info.rate_hz);
  s.is_default = true;
  return s;
}

void bind(nb::module_& m) {
  nb::class_<AudioStream>(m, "AudioStream", doc::audio_stream_class)
      .def_ro("index", &AudioStream::index, doc::audio_stream::index)
      .def_ro("codec", &AudioStream::codec, doc::audio_stream::codec)
      .def_ro("rate_hz", &AudioStream::rate_hz, doc::audio_stream::rate_hz)
      .def_ro("channels", &AudioStream::channels, doc::audio_stream::channels)
      .def_prop_ro(
          "channel_map", [](const AudioStream& s) { return tuple_of(s.channel_map); },
          doc::audio_stream::channel_map)
      .def_ro("language", &AudioStream::language, doc::audio_stream::language)
      .def_ro("duration_s", &AudioStream::duration_s, doc::audio_stream::duration_s)
      .def_ro("default", &AudioStream::is_default, doc::audio_stream::is_default)
      .def("__repr__", [](const AudioStream& s) {
        return "AudioStream(index=" + std::to_string(s.index) + ", codec='" + s.codec +
               "', rate_hz=" + std::to_string(s.rate_hz) +
               ", channels=" + std::to_string(s.channels) +
               ", language=" + (s.language ? "'" + *s.language + "'" : std::string("None")) + ")";
      });
  // For _sonorik_av only.
  bind_replacement(m);
  m.def("_layout_of", &layout_of, nb::arg("names"), nb::arg("channels"));
  m.def("_container_extensions", [] { return tuple_of(container_extensions()); });
  m.def("_measurement_as", &measurement_as, nb::arg("measurement"), nb::arg("format"));
  m.def("_file_info", &file_info_of, nb::arg("format"), nb::arg("rate_hz"), nb::arg("channels"),
        nb::arg("frames"), nb::arg("channel_map"), nb::arg("streams"));
}

}  // namespace sonorik::meter::video
