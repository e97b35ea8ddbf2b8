// The two result classes, PyAudioInfo and PyAnalysisResults: read-only records
// made only by the library. Each type object is created once per process, on
// first use, and shared by both module objects.
#pragma once

#include <cstdint>
#include <string>

#include "compat/analysis_results.h"
#include "compat/audio_data.h"
#include "python/pyref.h"

namespace sonorik::py {

struct AudioInfoRecord {
  std::uint32_t sample_rate = 0;
  std::uint16_t channels = 0;
  std::uint8_t bit_depth = 0;
  std::uint64_t total_samples = 0;
  double duration_seconds = 0.0;
  std::string duration_formatted;
  std::string sample_format;
};

// The record shown for loaded audio: durations formatted, format named,
// bit depth cut to its low 8 bits.
AudioInfoRecord audio_info_record(const AudioInfo& info);

// Type objects (borrowed; they live for the process). Null with an
// exception set if creation fails.
PyObject* audio_info_type();
PyObject* analysis_results_type();

// New instances; throw std::bad_alloc when the instance cannot be allocated.
PyRef make_audio_info(AudioInfoRecord record);
PyRef make_analysis_results(const AnalysisResults& results);

}  // namespace sonorik::py
