// Writing any format libsndfile writes (WAV and WAVE_FORMAT_EXTENSIBLE with
// its channel mask, RF64, W64, AIFF, CAF, FLAC, Ogg Vorbis and Opus, MP3...)
// into a descriptor the caller owns, in blocks. libsndfile goes through our
// own virtual I/O on the descriptor, so that a failed write(2) keeps its
// errno ("File too large (os error 27)", "No space left on device (os error
// 28)") instead of libsndfile's generic text. Conversions to integer samples
// clip (SFC_SET_CLIPPING) instead of wrapping.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "audio/sndfile_formats.h"
#include "core/error.h"

namespace sonorik {

struct SndfileOutputFormat {
  int sf_format = 0;  // libsndfile major | subtype
  std::uint32_t rate_hz = 0;
  unsigned channels = 0;
  std::vector<int> channel_positions;  // SF_CHANNEL_MAP_* per channel, or empty
};

// How the samples of a subtype are stored.
struct SampleCoding {
  unsigned int_bits = 0;   // 8, 16, 24 or 32 for linear integer PCM, else 0
  bool is_float = false;   // 32-bit float
  bool is_double = false;  // 64-bit float
  // Whether the stored values are exactly the ones given (linear PCM, float).
  bool exact() const noexcept { return int_bits != 0 || is_float || is_double; }
};
SampleCoding sample_coding(int sf_format) noexcept;

// What libsndfile writes into a file as it creates it, before the first
// frame: text strings (SF_STR_TITLE, ... with their UTF-8 values) and whole
// chunks (a four-character id and its body, as sf_set_chunk takes them).
// What the format has no place for is left out without an error; read the
// finished file back to know what it holds.
struct SndfileMetadata {
  std::vector<std::pair<int, std::string>> strings;
  std::vector<std::pair<std::string, std::string>> chunks;
};

// The output format for `name` (a file-name extension or format name, any
// case: "wav", "flac", "aiff", "caf", "w64", "rf64", "ogg", "opus", "mp3",
// ...; empty means WAV), keeping as much of the input as the major format
// takes: the input's subtype when it fits, else linear PCM of the same bits
// (at most 24 for FLAC), else the major format's usual encoding. A WAV with
// declared channel positions and more than two channels, or an input
// WAVE_FORMAT_EXTENSIBLE, is written as WAVE_FORMAT_EXTENSIBLE so that its
// channel mask stays. A decoded input (MP3, Vorbis, Opus, ALAC) keeps its
// coding only in its own container; elsewhere it becomes 24-bit PCM (or
// float). The subtype must be one the encoder starts at `rate_hz` or 48 kHz.
// Error: "unknown output format 'x'", or "cannot write
// {n} channels at {rate} Hz as {format}".
Result<int> choose_output_format(std::string_view name, int input_format, unsigned channels,
                                 std::uint32_t rate_hz, bool has_positions);

// Whether `name` names a format choose_output_format knows.
bool is_output_format_name(std::string_view name);

// The names choose_output_format takes, sorted: "aiff", "au", "caf", "flac",
// "mp3", "oga", "ogg", "opus", "rf64", "w64", "wav", ...
std::vector<std::string> output_format_names();

// Whether two formats (codes) or two names are the same container (a WAV and
// a WAV extensible are; Ogg Vorbis and Ogg Opus names are not).
bool same_container(int a, int b);
bool names_same_container(std::string_view a, std::string_view b);

// The rate to write `format` at: `asked_hz` when not 0 (error "cannot write
// OGG OPUS at 44100 Hz" when the format does not take it); else 48 kHz for
// Opus, the source's rate when the format takes it, else the highest usual
// rate below it that the format takes (MP3 of 96 kHz: 48 kHz), else the
// lowest above.
Result<std::uint32_t> choose_output_rate(int format, unsigned channels, std::uint32_t source_hz,
                                         std::uint32_t asked_hz);

class SndfileWriter {
 public:
  SndfileWriter(SndfileWriter&&) noexcept;
  SndfileWriter& operator=(SndfileWriter&&) = delete;
  ~SndfileWriter();

  // Starts a file of `format` at the start of `fd` (seekable, open for
  // reading and writing; it stays the caller's), holding `metadata` where
  // the format has a place for it. Errors: libsndfile's reason, or the
  // system's for a failed write.
  static Result<SndfileWriter> open(int fd, const SndfileOutputFormat& format,
                                    const SndfileMetadata& metadata = {});

  // Appends `frames` frames of integer samples left-justified in 32 bits
  // (a 16-bit code c is c << 16), or of doubles (full scale 1.0).
  Status write_int(const std::int32_t* interleaved, std::size_t frames);
  Status write_double(const double* interleaved, std::size_t frames);

  // Finishes the file (headers, encoder flush). Errors as for writing.
  Status close();

 private:
  struct Io;
  SndfileWriter() = default;
  Status failure() const;
  std::unique_ptr<Io> io_;
  SndfilePtr sndfile_;  // closed before io_
};

}  // namespace sonorik
