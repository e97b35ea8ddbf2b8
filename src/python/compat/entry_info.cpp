// get_audio_info_py: the loaded file's basic description, read from its header.
#include "python/compat/entries.h"
#include "python/compat/result_types.h"

namespace sonorik::py {

SONORIK_ENTRY(get_audio_info_py) {
  static const Signature sig{"get_audio_info_py", {"file_path"}, 1};
  return run_entry(sig, args, nargsf, kwnames, [](std::vector<PyObject*>& argv) -> Outcome {
    std::string path;
    if (!convert("file_path", argv[0], to_string, path)) return PyRef();
    // The header alone: what the loader would report, looping included.
    Result<AudioInfo> info = AudioData::load_info(path);
    if (!info) return os_failure("Failed to load audio: " + info.error().message());
    return make_audio_info(audio_info_record(*info));
  });
  (void)self;
}

}  // namespace sonorik::py
