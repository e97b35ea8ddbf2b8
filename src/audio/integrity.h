// What the door checks beyond the decoder, so that a damaged or cut-short
// input is an error instead of shorter audio: the checks that read the
// container's own bytes (Ogg page checksums and end-of-stream pages; the data
// size a WAV, RF64, W64 or AIFF header declares) and the frames read against
// those declared. Every message a damaged input is reported with comes from
// one table (integrity.cpp); positions are seconds into the audio.
//
// Nothing here allocates from a size the input declares: pages and chunk
// headers are read through a bounded buffer, and a declared size is only
// compared with the input's length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "core/error.h"

namespace sonorik {

// The input's bytes as the checks read them: by offset, without moving what
// the decoder reads.
class ByteReader {
 public:
  virtual ~ByteReader() = default;
  // The input's length in bytes, or nullopt when it cannot be told.
  virtual Result<std::optional<std::uint64_t>> length_bytes() = 0;
  // Copies up to `count` bytes from `offset_bytes` into `out`; fewer only at
  // the end of the input. Errors: the input's (an I/O error).
  virtual Result<std::size_t> read_at(std::uint64_t offset_bytes, std::uint8_t* out,
                                      std::size_t count) = 0;
};

// A damaged or cut-short input: what was found and where.
struct Damage {
  enum class Kind {
    decoder,      // the decoder failed; `reason` is its own
    bad_page,     // an Ogg page fails its checksum
    lost_page,    // no Ogg page where the previous one ends
    cut_in_page,  // the file ends inside an Ogg page
    no_end_page,  // the Ogg stream ends without its end-of-stream page
    ends_early,   // fewer frames than declared
    cut_in_data,  // the file ends inside the audio data of a known size
  };
  Kind kind = Kind::decoder;
  double at_s = 0.0;        // where the audio is damaged or ends
  double declared_s = 0.0;  // ends_early: the length the input declares
  std::string reason;       // decoder: its text
};

// The message for `damage` ("damaged audio at 12.345 s: ...", "the audio
// ends at 13.333 s of the 40.000 s it declares", ...).
std::string describe(const Damage& damage);

// The text for a file the decoder would not open, from libsndfile's
// sf_strerror: its own words, except where they mislead about a regular file
// we opened ourselves ("File does not exist or is not a regular file
// (possibly a pipe?)" for a cut MP3) or speak of the library's internals
// ("SF_INFO struct incomplete" for a rate of 0 Hz).
std::string open_failure_text(const std::string& sf_text);

// The decoder's failure `sf_text` (libsndfile's sf_strerror) at `at_s`, with
// its "Error : " prefix and final period dropped.
Damage decoder_damage(double at_s, const std::string& sf_text);

// The frames libsndfile says an input declares, or 0 when it declares none
// (libsndfile's SF_COUNT_MAX, or a count below 1).
std::uint64_t declared_frames(std::int64_t sf_frames);

// Where the decoder stopped: the input's libsndfile major | subtype code,
// its rate, the frames it declares (declared_frames) and the frames read.
struct StreamEnd {
  int sf_format = 0;
  std::uint32_t rate_hz = 0;
  std::uint64_t declared_frames = 0;
  std::uint64_t read_frames = 0;
};

// What the container's bytes show once the decoder has ended: an Ogg page
// that fails its checksum or is missing, an Ogg stream cut off or without its
// end-of-stream page, or a WAV, RF64, W64 or AIFF file that ends inside the
// data chunk its header declares. Other formats pass. Reads every page of an
// Ogg input (one page at a time) and the chunk headers of the others. Errors:
// the input's.
Result<std::optional<Damage>> check_container(ByteReader& bytes, const StreamEnd& end);

// Fewer frames read than declared by a coded stream (FLAC, Vorbis, Opus,
// MP3, ALAC, ADPCM, ...). Uncompressed samples are left to check_container:
// libsndfile counts them from the bytes there, and declares more than it
// reads only for a few very short files (SDS, PAF). An MP3 declares an exact
// count only in a Xing, Info or VBRI header (else its length is an
// estimate), which `bytes` is read for; its count may differ from the
// decoder's by one MPEG frame (1152 samples). Errors: the input's.
Result<std::optional<Damage>> check_length(ByteReader& bytes, const StreamEnd& end);

}  // namespace sonorik
