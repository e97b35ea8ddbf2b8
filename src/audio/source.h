// The one door through which audio comes in: any audio libsndfile reads (WAV
// and WAVE_FORMAT_EXTENSIBLE, RF64, W64, AIFF, CAF, FLAC, Ogg Vorbis and Opus,
// MP3, ...), from a path or from bytes behind a VirtualFile, opened once and
// handed over as what it declares (SourceInfo), the channel layout it is
// weighted by, and a reader of bounded blocks of interleaved doubles (full
// scale is 1.0) that can start again from the first frame.
//
// A new kind of input (Python bytes or file-like objects, a container's audio
// stream) is a new VirtualFile, never a new branch in the callers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/channel_layout.h"
#include "audio/sndfile_formats.h"
#include "core/bytes.h"
#include "core/error.h"

namespace sonorik {

// What an input declares about itself.
struct SourceInfo {
  std::string format;  // "WAV PCM_24", "FLAC PCM_16", "OGG VORBIS", ...
  std::uint32_t rate_hz = 0;
  unsigned channels = 0;
  std::uint64_t frames = 0;  // as the input declares them
  // One per channel, or empty when the input declares none. Ogg Vorbis and
  // Opus inputs of 3 to 8 channels declare their format's fixed order
  // (5.1: L C R Ls Rs LFE); a FLAC file, the mask of its
  // WAVEFORMATEXTENSIBLE_CHANNEL_MASK comment.
  std::vector<analysis::Speaker> speakers;
  int sf_format = 0;                   // libsndfile's major | subtype code
  std::vector<int> channel_positions;  // libsndfile's SF_CHANNEL_MAP_* values, as speakers
};

// Bytes the decoder reads through libsndfile's virtual I/O, in the manner of
// a seekable file; the audio starts at byte 0. Positions and counts are in
// bytes. A call that cannot be done returns -1 (size, seek, tell) or 0
// (read); when the reason is worth showing (an I/O error, an exception) it is
// kept in failure(), and the door reports it instead of the decoder's own.
class VirtualFile {
 public:
  virtual ~VirtualFile() = default;
  // The whole length, or -1.
  virtual std::int64_t size_bytes() = 0;
  // Moves to `offset` from SEEK_SET, SEEK_CUR or SEEK_END; the new position,
  // or -1 (a position before the start is refused).
  virtual std::int64_t seek(std::int64_t offset, int whence) = 0;
  // Copies up to `count` bytes into `out`; how many, 0 at the end (or past it).
  virtual std::int64_t read(void* out, std::int64_t count) = 0;
  // The position, or -1.
  virtual std::int64_t tell() = 0;
  // The first failure, or nullptr while there is none.
  virtual const Error* failure() const noexcept { return nullptr; }
};

// A byte span in memory, which must outlive the file; reading it never fails.
class MemoryFile final : public VirtualFile {
 public:
  explicit MemoryFile(Bytes bytes) noexcept : bytes_(bytes) {}
  std::int64_t size_bytes() override;
  std::int64_t seek(std::int64_t offset, int whence) override;
  std::int64_t read(void* out, std::int64_t count) override;
  std::int64_t tell() override;

 private:
  Bytes bytes_;
  std::uint64_t at_ = 0;  // may lie past the end after a seek
};

struct AudioSource;

class AudioReader {
 public:
  AudioReader(AudioReader&&) noexcept;
  AudioReader& operator=(AudioReader&&) noexcept;
  ~AudioReader();

  // Reads up to `max_frames` frames into `out` (max_frames x channels
  // values); 0 at the end, once the input has shown no damage. Errors: the
  // VirtualFile's failure or an I/O error; a damaged or cut-short input
  // (audio/integrity.h), where it is in seconds: the decoder's failure
  // ("damaged audio at 12.345 s: flac decoder lost sync"), a container whose
  // bytes show damage (Ogg page checksums, an Ogg stream without its end
  // page, a WAV, RF64, W64 or AIFF file that ends inside its data), or fewer
  // frames than declared ("the audio ends at 13.333 s of the 40.000 s it
  // declares"). The Ogg pages are read at the first end only.
  Result<std::size_t> read(double* out, std::size_t max_frames);

  // Back to the first frame. The decoder starts again on the input already
  // open, so the next pass reads exactly the samples the first one did.
  // Errors: as for opening; "the file changed while being read" when the
  // input now declares another format, rate or channel count. After an
  // error every read fails ("no audio is open").
  Status rewind();

 private:
  struct Input;
  friend Result<AudioSource> open_audio(const std::string& path);
  friend Result<AudioSource> open_audio_once(const std::string& path);
  friend Result<AudioSource> open_audio(std::unique_ptr<VirtualFile> file);
  static Result<AudioSource> open_input(std::unique_ptr<Input> input);
  AudioReader();
  // At the decoder's end: the container's bytes and the frames read.
  Status check_end();
  std::unique_ptr<Input> input_;   // outlives the SNDFILE
  SndfilePtr sndfile_;             // declared after: closed first
  std::uint64_t read_frames_ = 0;  // in this pass
  bool ended_ = false;             // the end was reached and checked
  // 16-bit PCM in a WAV-family file in this processor's byte order: its
  // bytes are read as they are and widened here (to the values libsndfile
  // gives, x / 32768), in one read per call.
  bool raw16_ = false;
};

struct AudioSource {
  SourceInfo info;
  // The channel names the input is weighted by (analysis::file_layout).
  std::vector<std::string> layout;
  AudioReader reader;
};

// Opens the file at `path` without blocking: FIFOs, devices and other
// non-regular files are refused before libsndfile sees them. Errors: the
// system's text for a file that cannot be opened ("No such file or
// directory", "Is a directory", "No such device" for a FIFO or device, ...),
// "file name contained an unexpected NUL byte", libsndfile's own reason for a
// file it cannot read, or "Invalid channel count or sample rate.".
Result<AudioSource> open_audio(const std::string& path);

// The same, for a caller that reads the audio once from start to end (no
// rewind): the decoder reads the file by position, its first 4 KiB (the
// headers) read once at opening and then from memory, in a few system calls
// rather than dozens. A file cut while it is read is still an error.
Result<AudioSource> open_audio_once(const std::string& path);

// Opens the audio held by `file` (read from its start). Errors: the file's
// failure, else "the input cannot go back to its start" when seeking to
// byte 0 fails, libsndfile's reason or "Invalid channel count or sample
// rate.".
Result<AudioSource> open_audio(std::unique_ptr<VirtualFile> file);

// The file-name extensions (lower case, without the dot) of every major
// format the door reads, with their usual aliases.
std::vector<std::string> audio_extensions();

}  // namespace sonorik
