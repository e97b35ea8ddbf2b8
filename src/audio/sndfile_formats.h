// libsndfile's formats by name: the text shown for a major | subtype code, and
// the major formats the installed library opens without being told.
#pragma once

#include <string>
#include <vector>

namespace sonorik {

// "WAV PCM_24", "FLAC PCM_16", ...: the name of a libsndfile major | subtype code.
std::string sndfile_format_name(int sf_format);

// Every major format of the installed libsndfile that a file can be opened
// as without being told its format (headerless raw left out): its major code
// and its usual extension as the library gives it.
struct SndfileMajorFormat {
  int major = 0;
  std::string extension;
};
std::vector<SndfileMajorFormat> sndfile_major_formats();

}  // namespace sonorik
