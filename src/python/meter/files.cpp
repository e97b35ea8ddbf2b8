// extensions() and find_audio_files(): the formats the installed libsndfile
// reads, and the files below a directory that have their names (or names the
// caller gives).
#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "audio/source.h"
#include "python/meter/arguments.h"
#include "python/meter/bindings.h"
#include "python/meter/docs.h"
#include "python/meter/video.h"
#include "scan/file_scanner.h"

namespace sonorik::meter {

namespace {

// The extensions measure() reads: libsndfile's, and the containers it reads
// through PyAV (listed with or without PyAV, so that such files fail naming
// the extra rather than being passed over).
std::vector<std::string> readable_extensions() {
  std::vector<std::string> out = audio_extensions();
  const std::vector<std::string>& containers = video::container_extensions();
  out.insert(out.end(), containers.begin(), containers.end());
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

// The extensions asked for, lower-cased; the readable ones when none are given.
std::vector<std::string> wanted(std::optional<std::vector<std::string>> asked) {
  if (!asked) return readable_extensions();
  for (std::string& ext : *asked) {
    if (ext.empty() || ext.find_first_of("./") != std::string::npos || ext.find('\0') != std::string::npos) {
      throw nb::value_error(
          "extensions are names without a dot or slash, such as 'wav' (got an empty one or one "
          "holding '.', '/' or NUL)");
    }
    for (char& c : ext) {
      if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
  }
  return *std::move(asked);
}

nb::list find_audio_files(nb::object directory,
                          std::optional<std::vector<std::string>> extensions) {
  const PathArg dir = path_arg(directory, "directory");
  utils::NameTest is_wanted = utils::extension_test(wanted(std::move(extensions)));
  std::optional<Result<std::vector<std::string>>> found;
  {
    nb::gil_scoped_release unlocked;
    found.emplace(utils::scan_directory_recursively(dir.bytes, is_wanted));
  }
  if (!*found) raise_os_error(found->error(), dir.shown);
  nb::list out;
  for (const std::string& path : found->value()) {
    nb::object text = nb::steal(
        PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
    if (!text.is_valid()) throw nb::python_error();
    out.append(text);
  }
  return out;
}

}  // namespace

void bind_files(nb::module_& m) {
  m.def(
      "extensions", [] { return tuple_of(readable_extensions()); }, doc::extensions);
  m.def("find_audio_files", &find_audio_files, nb::arg("directory"), nb::kw_only(),
        nb::arg("extensions") = nb::none(), doc::find_audio_files);
}

}  // namespace sonorik::meter
