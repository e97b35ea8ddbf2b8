// analyze_audio / analyze_audio_all: one file's information and measures.
// WAV paths go through the memory-mapped reader and the robust analyzer;
// every other path is handed to the loader, which refuses it.
#include "compat/extensions.h"
#include "compat/robust_analyzer.h"
#include "compat/ultra_fast_wav.h"
#include "core/text.h"
#include "python/compat/entries.h"
#include "python/compat/result_types.h"

namespace sonorik::py {

bool convert_flags(const std::vector<PyObject*>& argv, std::size_t first, MeasureFlags& flags) {
  bool* fields[7] = {&flags.integrated_loudness, &flags.short_term_loudness,
                     &flags.momentary_loudness,  &flags.loudness_range,
                     &flags.true_peak,           &flags.rms_max,
                     &flags.rms_average};
  for (std::size_t i = 0; i < 7; ++i) {
    *fields[i] = false;
    PyObject* obj = argv[first + i];
    if (obj != nullptr && !convert(kFlagNames[i], obj, to_bool, *fields[i])) return false;
  }
  return true;
}

namespace {

// The fast path's file information: frames as the sample count, the format
// named by its bit depth alone, no looping.
AudioInfo fast_path_info(const WavFormatInfo& f) {
  AudioInfo info;
  info.sample_rate = f.sample_rate;
  info.channels = f.channels;
  info.bit_depth = f.bits_per_sample;
  info.total_samples = f.frames;
  info.duration_seconds = f.duration_seconds;
  info.sample_format = f.bits_per_sample == 16   ? SampleFormat::I16
                       : f.bits_per_sample == 24 ? SampleFormat::I24
                                                 : SampleFormat::F32;
  return info;
}

Outcome analyze(const std::string& path, const MeasureFlags& flags) {
  if (audio_extension_of(path) != AudioExtension::Wav) {
    // Only WAV data can be decoded, and WAV paths take the fast path: the
    // loader refuses everything that reaches it here.
    Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
    if (!audio) return os_failure("Failed to load audio: " + audio.error().message());
    return runtime_failure("Analysis failed: only WAV files can be analysed");
  }
  Result<UltraFastWavReader> reader = UltraFastWavReader::open(path);
  if (!reader) return os_failure("Failed to open WAV file: " + reader.error().message());
  // Before anything sized by the rate is allocated.
  if (Status rate = check_sample_rate(path, reader->info().sample_rate); !rate) {
    return os_failure("Failed to open WAV file: " + rate.error().message());
  }
  AudioInfoRecord info = audio_info_record(fast_path_info(reader->info()));
  Result<AnalysisResults> results =
      analysis::RobustAnalyzer::analyze_with_fallback(*reader, metrics_from_flags(flags));
  if (Status unchanged = reader->check_unchanged(); !unchanged) {
    return os_failure("Failed to read WAV file " + quoted_path(path) + ": " +
                      unchanged.error().message());
  }
  if (!results) return runtime_failure("Analysis failed: " + results.error().message());
  PyRef py_info = make_audio_info(std::move(info));
  PyRef py_results = make_analysis_results(*results);
  PyRef tuple = PyRef::steal(PyTuple_Pack(2, py_info.get(), py_results.get()));
  if (!tuple) throw std::runtime_error("could not create the result tuple");
  return tuple;
}

}  // namespace

SONORIK_ENTRY(analyze_audio) {
  (void)self;
  static const Signature sig = with_flags("analyze_audio", {"file_path"}, 1);
  return run_entry(sig, args, nargsf, kwnames, [](std::vector<PyObject*>& argv) -> Outcome {
    std::string path;
    MeasureFlags flags;
    if (!convert("file_path", argv[0], to_string, path) || !convert_flags(argv, 1, flags)) {
      return PyRef();
    }
    return analyze(path, flags);
  });
}

SONORIK_ENTRY(analyze_audio_all) {
  (void)self;
  static const Signature sig{"analyze_audio_all", {"file_path"}, 1};
  return run_entry(sig, args, nargsf, kwnames, [](std::vector<PyObject*>& argv) -> Outcome {
    std::string path;
    if (!convert("file_path", argv[0], to_string, path)) return PyRef();
    return analyze(path, MeasureFlags::all());
  });
}

}  // namespace sonorik::py
