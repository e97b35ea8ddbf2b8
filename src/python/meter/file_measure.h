// A file or encoded source opened for measuring, shared by measure() and
// the measuring of many sources at once (together.cpp). Everything here
// runs with the interpreter lock released.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "audio/source.h"
#include "core/error.h"
#include "python/meter/arrays.h"
#include "python/meter/measurement.h"
#include "python/meter/sources.h"

namespace sonorik::meter {

// Why a measurement failed, for the exception made once the lock is back.
// sample: a sample that is not finite (a ValueError naming the path too).
enum class Failure { none, os, value, memory, sample };

struct MeasureOutcome {
  Failure failure = Failure::none;
  std::optional<Error> error;
  std::optional<Measurement> measurement;
};

// A source opened, its channel layout chosen (the roles it is weighted by).
struct FileToMeasure {
  FileToMeasure(AudioSource s, std::vector<int> r) : source(std::move(s)), roles(std::move(r)) {}

  AudioSource source;
  std::vector<int> roles;
  bool reader_failed = false;
  BadSample bad;
  std::uint64_t frames_read = 0;

  // Reads as the engine asks; a sample that is not finite is an error.
  Result<std::size_t> read(double* out, std::size_t max_frames);
};

// Opens `given` and chooses its layout (`names`, else the file's own):
// the file, with o.measurement holding its format and layout; else null,
// with o saying why (an OSError for a file that cannot be opened, a
// ValueError for one that cannot be measured or a layout that does not fit).
std::unique_ptr<FileToMeasure> open_to_measure(SourceArg& given,
                                               const std::optional<std::vector<std::string>>& names,
                                               MeasureOutcome& o);

}  // namespace sonorik::meter
