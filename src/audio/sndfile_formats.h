// libsndfile's formats by name: the text shown for a major | subtype code, and
// the major formats the installed library opens without being told.
#pragma once

#include <memory>
#include <string>
#include <vector>

struct sf_private_tag;  // libsndfile's SNDFILE

namespace sonorik {

// The one owner of an open SNDFILE: closes it (sf_close) when dropped.
struct SndfileCloser {
  void operator()(sf_private_tag* f) const noexcept;
};
using SndfilePtr = std::unique_ptr<sf_private_tag, SndfileCloser>;

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
