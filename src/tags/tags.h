// Tags, pictures and broadcast chunks carried from a source onto a newly
// written file of the same or another format, through TagLib (libsndfile
// reads what TagLib does not: the text chunks of AIFF, CAF and RF64 and the
// bext and iXML chunks of RF64). The formats TagLib does not write (RF64,
// W64, CAF, ...) get theirs from libsndfile as the file is created (W64's
// chunks are put in afterwards: libsndfile takes none on W64)
// (SourceTags::creation_metadata given to SndfileWriter::open); carry_tags
// then reads the finished file back and names what it does not hold.
//
// What is carried, by the written file's format:
//  - text tags, standard and custom, through TagLib's property names (TITLE,
//    ARTIST, ALBUM, ..., any other key as it is): Vorbis comments (FLAC, Ogg
//    Vorbis, Opus), ID3v2 frames with TXXX for other keys (MP3, and the id3
//    chunk of WAV and AIFF), RIFF INFO fields (WAV: INFO alone when every tag
//    has an INFO field and is Latin-1, else an id3 chunk holding them all,
//    and INFO as well when the source had INFO);
//  - ID3v2 frames without a text form (PRIV, GEOB, UFID, chapters, ...),
//    copied whole between ID3v2 tags (of ID3v2.3 and 2.4);
//  - embedded pictures: FLAC PICTURE blocks, Vorbis comment pictures in Ogg
//    Vorbis and Opus, ID3v2 APIC frames (MP3, WAV, AIFF);
//  - the bext and iXML chunks of a WAV or RF64 source onto WAV output,
//    placed after the audio, where RIFF readers find them;
//  - onto RF64: the bext and iXML chunks (before the audio) and the tags
//    libsndfile writes as RIFF INFO (TITLE, ARTIST, ALBUM, COMMENT, DATE,
//    GENRE, TRACKNUMBER, COPYRIGHT, ENCODER, libsndfile adding its name to
//    the last); onto CAF: those tags and LICENSE in its info chunk, and the
//    bext and iXML chunks as chunks of the same names (libsndfile pads
//    chunk bodies with zero bytes to a multiple of four); onto W64 the bext
//    and iXML chunks, put before the audio (w64_chunks.h), and no text tag;
//  - gains, changed by the gain applied so that a player using them plays
//    the file as loud as before: REPLAYGAIN_TRACK_GAIN and
//    REPLAYGAIN_ALBUM_GAIN less the gain (dB), REPLAYGAIN_*_PEAK scaled by
//    it, R128_TRACK_GAIN and R128_ALBUM_GAIN less it in 1/256 dB (an Opus
//    output's header gain is 0: the decoded source already had its own), and
//    a version-2 bext chunk's loudness, true peak and momentary and
//    short-term maxima moved by it; an ID3v2 RVA2 frame is removed.
// What a written file cannot hold (a tag libsndfile has no string for on
// the formats TagLib does not write, any text tag on W64; a picture or chunk
// where the format has no place for it; a tag key the format refuses; an
// ID3v2 frame without a text form; a gain tag that is not a number) is left
// out and named in a note.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "audio/sndfile_writer.h"
#include "core/error.h"

namespace sonorik::tags {

struct TagSet;

// A source's tags, read once before its output is written (the normaliser
// may write an output more than once).
class SourceTags {
 public:
  // The tags of the file at `path` (its libsndfile major | subtype code
  // `sf_format`); tags TagLib cannot read are remembered as such, to be a
  // note. Errors: out of memory, or TagLib's own failure.
  static Result<SourceTags> read(const std::string& path, int sf_format);
  SourceTags(SourceTags&&) noexcept;
  SourceTags& operator=(SourceTags&&) noexcept;
  ~SourceTags();

  // What libsndfile is to write as it creates an output of `output_format`
  // whose audio got `gain_db`: the tags and chunks above for the formats
  // TagLib does not write, nothing for the others (TagLib tags them once
  // written).
  SndfileMetadata creation_metadata(int output_format, double gain_db) const;

  const TagSet& set() const { return *set_; }
  bool readable() const { return readable_; }

 private:
  SourceTags();
  std::unique_ptr<TagSet> set_;
  bool readable_ = true;
};

struct TagCopy {
  std::string source;     // the file the tags are read from
  int source_format = 0;  // its libsndfile major | subtype code
  std::string output;     // the written file the tags go onto (rewritten in place)
  int output_format = 0;
  std::string output_format_name;  // "FLAC PCM_16", as notes and errors name it
  double gain_db = 0.0;            // the gain the output's audio got
};

// Copies what `copy.output` can hold of `tags` and returns notes, one per
// kind of thing left out ("not carried to the W64 output: tags TITLE,
// ARTIST"). An output TagLib does not write is only read back: it holds
// what creation_metadata gave its writer. The source's tags that TagLib
// cannot read are a note, not an error. Errors: the written file cannot be
// opened or saved by TagLib ("cannot write the tags into the new FLAC
// file"), or read back; it is then in an unknown state and must be discarded.
Result<std::vector<std::string>> carry_tags(const SourceTags& tags, const TagCopy& copy);
// The same, reading the tags of `copy.source` first.
Result<std::vector<std::string>> carry_tags(const TagCopy& copy);

}  // namespace sonorik::tags
