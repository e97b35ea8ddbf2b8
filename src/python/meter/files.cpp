// extensions() and find_audio_files(): the formats the installed libsndfile
// reads, and the files below a directory that have their names.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <vector>

#include "audio/source.h"
#include "python/meter/arguments.h"
#include "python/meter/bindings.h"
#include "python/meter/docs.h"
#include "scan/file_scanner.h"

namespace sonorik::meter {

namespace {

nb::list find_audio_files(nb::object directory) {
  const PathArg dir = path_arg(directory, "directory");
  std::optional<Result<std::vector<std::string>>> found;
  {
    nb::gil_scoped_release unlocked;
    found.emplace(
        utils::scan_directory_recursively(dir.bytes, utils::extension_test(audio_extensions())));
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
      "extensions", [] { return tuple_of(audio_extensions()); }, doc::extensions);
  m.def("find_audio_files", &find_audio_files, nb::arg("directory"), doc::find_audio_files);
}

}  // namespace sonorik::meter
