// What carry_tags moves between formats: one neutral set of text tags,
// pictures and broadcast chunks, read from a file of one family and written
// into a file of another.
#pragma once

#include <sndfile.h>
#include <taglib/tbytevector.h>
#include <taglib/tpropertymap.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "audio/sndfile_writer.h"

namespace sonorik::tags {

// The tag families TagLib writes that libsndfile writes too.
enum class Family : std::uint8_t { none, wav, aiff, flac, vorbis, opus, mp3, w64 };

// The family of a libsndfile major | subtype code.
Family family_of(int sf_format);

// An embedded picture, as FLAC and ID3v2 both describe one (the same type codes).
struct Picture {
  int type = 3;  // front cover
  TagLib::String mime;
  TagLib::String description;
  TagLib::ByteVector data;
  int width = 0, height = 0, depth = 0, colors = 0;
};

// An ID3v2 frame with no text form (PRIV, GEOB, UFID, chapters, ...), as
// its tag stored it, copied whole between ID3v2 tags.
struct RawFrame {
  std::string id;            // "PRIV"
  unsigned version = 4;      // the ID3v2 version it is stored in
  TagLib::ByteVector bytes;  // header and body
};

struct TagSet {
  TagLib::PropertyMap text;  // keys in upper case, as TagLib names them
  std::vector<Picture> pictures;
  std::vector<RawFrame> id3_frames;
  std::optional<TagLib::ByteVector> bext;  // chunk bodies of a WAV source
  std::optional<TagLib::ByteVector> ixml;
  bool riff_info = false;               // the source holds a RIFF INFO list
  std::vector<std::string> unreadable;  // items of other tags with no text form (APE binary items)
  bool empty() const {
    return text.isEmpty() && pictures.empty() && id3_frames.empty() && !bext && !ixml;
  }
};

// The text tags libsndfile reads and writes (where the format has a place
// for them), by their TagLib property names.
struct SndfileString {
  int id;
  const char* key;
};
inline constexpr SndfileString kSndfileStrings[] = {
    {SF_STR_TITLE, "TITLE"},
    {SF_STR_ARTIST, "ARTIST"},
    {SF_STR_ALBUM, "ALBUM"},
    {SF_STR_COMMENT, "COMMENT"},
    {SF_STR_DATE, "DATE"},
    {SF_STR_GENRE, "GENRE"},
    {SF_STR_COPYRIGHT, "COPYRIGHT"},
    {SF_STR_SOFTWARE, "ENCODER"},
    {SF_STR_TRACKNUMBER, "TRACKNUMBER"},
    {SF_STR_LICENSE, "LICENSE"},
};

// Larger chunk bodies are not broadcast metadata: neither read nor written
// through libsndfile.
inline constexpr unsigned kLargestChunk = 16u << 20;

// The body of the chunk `id` (four characters) as libsndfile finds it in an
// open file, or nothing.
std::optional<TagLib::ByteVector> sndfile_chunk(SNDFILE* f, const char* id);

// The strings and chunks of `set` that libsndfile may write as it creates a
// file (write_tags of Family::none then names what the file does not hold).
SndfileMetadata sndfile_metadata(const TagSet& set);

// The tags of the file at `path`. Sets `readable` false when TagLib cannot
// parse it (the set is then empty).
TagSet read_tags(const std::string& path, Family family, bool& readable);

// Writes `set` into the file at `path`, replacing the tags there; adds to
// `left_out` a line per kind of thing the family cannot hold. False when
// TagLib cannot open or save the file. A file of Family::none is only read
// back (through libsndfile, which wrote sndfile_metadata as it created it):
// false when libsndfile cannot open it.
bool write_tags(const std::string& path, Family family, const TagSet& set,
                std::vector<std::string>& left_out);

// REPLAYGAIN_* and R128_* values changed by a gain of `gain_db`; a value
// that is not a number (or an R128 gain out of its range) is removed and
// named in `notes`.
void update_gain_tags(TagLib::PropertyMap& text, double gain_db, std::vector<std::string>& notes);

// The loudness fields of a bext chunk body of version 2 or later (integrated
// loudness, largest true peak, momentary and short-term loudness, in 1/100
// of their units) moved by `gain_db`; the loudness range and fields marked
// unset are kept.
void update_bext_loudness(TagLib::ByteVector& bext, double gain_db);

}  // namespace sonorik::tags
