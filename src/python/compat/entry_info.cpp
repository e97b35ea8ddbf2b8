// get_audio_info_py: the loaded file's basic description.
#include "python/compat/entries.h"
#include "python/compat/result_types.h"

namespace sonorik::py {

SONORIK_ENTRY(get_audio_info_py) {
  static const Signature sig{"get_audio_info_py", {"file_path"}, 1};
  return run_entry(sig, args, nargsf, kwnames, [](std::vector<PyObject*>& argv) -> Outcome {
    std::string path;
    if (!convert("file_path", argv[0], to_string, path)) return PyRef();
    Result<AudioData> audio = AudioData::load_from_file_with_options(path, {});
    if (!audio) return os_failure("Failed to load audio: " + audio.error().message());
    AudioInfoRecord record = audio_info_record(audio->info);
    audio->samples = {};  // release the samples before building the result
    return make_audio_info(std::move(record));
  });
  (void)self;
}

}  // namespace sonorik::py
