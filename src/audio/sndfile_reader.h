// Any audio file libsndfile reads (WAV and WAVE_FORMAT_EXTENSIBLE, RF64, W64,
// AIFF, CAF, FLAC, Ogg Vorbis and Opus, MP3, ...), read front to back in
// bounded blocks of interleaved doubles (full scale is 1.0). The file is
// opened without blocking: FIFOs, devices and other non-regular files are
// refused before libsndfile sees them, and a path holding a NUL byte is
// refused before the system does. One owner closes the SNDFILE, then the
// descriptor, on every path.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/file.h"

struct sf_private_tag;  // libsndfile's SNDFILE

namespace sonorik {

// Where a channel plays, as a file declares it.
enum class Speaker {
  unknown,  // not declared
  mono,
  left,
  right,
  center,
  lfe,
  back_left,
  back_right,
  back_center,
  side_left,
  side_right,
  other,  // declared, but none of the above (heights, left of centre, ...)
};

struct SndfileInfo {
  std::string format;  // "WAV PCM_24", "FLAC PCM_16", "OGG VORBIS", ...
  std::uint32_t rate_hz = 0;
  unsigned channels = 0;
  std::uint64_t frames = 0;  // as the file declares them
  // One per channel, or empty when the file declares none. Ogg Vorbis and
  // Opus files of 3 to 8 channels declare their format's fixed order
  // (5.1: L C R Ls Rs LFE).
  std::vector<Speaker> speakers;
  int sf_format = 0;                   // libsndfile's major | subtype code
  std::vector<int> channel_positions;  // libsndfile's SF_CHANNEL_MAP_* values, as speakers
};

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

class SndfileReader {
 public:
  SndfileReader(SndfileReader&&) noexcept = default;
  SndfileReader& operator=(SndfileReader&&) noexcept = default;
  ~SndfileReader();

  // Opens `path`. Errors: the system's text for a file that cannot be opened
  // ("No such file or directory", "Is a directory", "No such device" for a
  // FIFO or device, ...), "file name contained an unexpected NUL byte", or
  // libsndfile's own reason for a file it cannot read.
  static Result<SndfileReader> open(const std::string& path);

  const SndfileInfo& info() const noexcept { return info_; }

  // Reads up to `max_frames` frames into `out` (max_frames x channels
  // values); 0 at the end. Error: libsndfile's reason.
  Result<std::size_t> read(double* out, std::size_t max_frames);

  // The file-name extensions (lower case, without the dot) of every major
  // format the installed libsndfile reads, with their usual aliases.
  static std::vector<std::string> extensions();

 private:
  struct Closer {
    void operator()(sf_private_tag* f) const noexcept;
  };
  SndfileReader() = default;
  File file_;  // declared first: closed after the SNDFILE
  std::unique_ptr<sf_private_tag, Closer> sndfile_;
  SndfileInfo info_;
};

}  // namespace sonorik
