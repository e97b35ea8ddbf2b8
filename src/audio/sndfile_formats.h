// libsndfile's formats by name: the text shown for a major | subtype code, and
// the major formats the installed library opens without being told.
#pragma once

#include <functional>
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

// libsndfile keeps a failed open's error in one variable for the whole
// process, which every open in another thread writes over ("No Error." for a
// file that is not audio at all). Every open goes through one of these.
// open_sndfile runs opens side by side under a shared lock and tries a failed
// one again alone, so that the error text it gives is that open's own:
// `open` may run twice and must start from the input's beginning each time.
// open_sndfile_alone runs the open alone (for writers, whose open may write).
// The error text is set when the open fails.
SndfilePtr open_sndfile(const std::function<sf_private_tag*()>& open, std::string& error);
SndfilePtr open_sndfile_alone(const std::function<sf_private_tag*()>& open, std::string& error);

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
