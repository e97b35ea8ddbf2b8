// Containers libsndfile does not read (MP4, M4A, Matroska, WebM, MPEG-TS,
// AAC, AC-3, ...): measure() and info() hand such a path to the pure-Python
// module _sonorik_av, which decodes it with PyAV and feeds the blocks into a
// Meter, the same engine as every other input. Everything here runs with the
// interpreter lock held.
#pragma once

#include <nanobind/nanobind.h>

#include <optional>
#include <string>
#include <vector>

#include "normalize/stream_normalizer.h"
#include "python/meter/arguments.h"
#include "python/meter/file_info.h"
#include "python/meter/measurement.h"

namespace sonorik::meter::video {

// The extensions of the containers read through _sonorik_av (lower case,
// without the dot), whether PyAV is installed or not.
const std::vector<std::string>& container_extensions();

// True when _sonorik_av reads `path`: by its extension, or, with `sniff`
// (libsndfile did not recognise the file), by its first bytes.
bool claims(const PathArg& path, bool sniff);

// The Measurement of audio stream `stream` (None: the default one) of
// `path`, through _sonorik_av. Raises what it raises: ModuleNotFoundError
// naming the extra without PyAV, OSError for damage, ValueError for a
// stream that is not there.
Measurement measure(const PathArg& path, const nb::object& stream,
                    const std::optional<std::vector<std::string>>& names, bool series);

// The FileInfo of `path` and its audio streams, through _sonorik_av.
FileInfo info(const PathArg& path, const nb::object& stream);

// Raises TypeError unless `stream` is None or an int, ValueError "no audio
// stream {stream}: {why}" unless it is 0.
void check_single_stream(const nb::object& stream, const std::string& why);

// The AudioStream libsndfile's file declares.
AudioStream only_stream(const SourceInfo& info, const std::vector<std::string>& layout);

// normalize() of a container's default audio stream, through
// _sonorik_av_normalize (video_normalize.cpp): the report, or the exception
// it raised (OSError naming the file, ValueError).
normalize::StreamOutcome normalize(const normalize::StreamRequest& req, const PathArg& source,
                                   const PathArg& destination);

// _layout_of, _measurement_as, _file_info and AudioStream (module.cpp).
void bind(nb::module_& m);

// _Replacement: core/replace_file.h for _sonorik_av_normalize
// (video_normalize.cpp). _Replacement(destination) makes the temporary file
// beside the destination's final target (raises OSError naming the
// destination); .path is it; .commit() syncs it and renames it over the
// target; .discard() removes it.
void bind_replacement(nb::module_& m);

}  // namespace sonorik::meter::video
