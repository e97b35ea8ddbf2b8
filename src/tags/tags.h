// Tags, pictures and broadcast chunks carried from a source onto a newly
// written file of the same or another format, through TagLib (libsndfile
// reads what TagLib does not: the text chunks of AIFF, CAF and RF64 and the
// bext and iXML chunks of RF64).
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
//  - gains, changed by the gain applied so that a player using them plays
//    the file as loud as before: REPLAYGAIN_TRACK_GAIN and
//    REPLAYGAIN_ALBUM_GAIN less the gain (dB), REPLAYGAIN_*_PEAK scaled by
//    it, R128_TRACK_GAIN and R128_ALBUM_GAIN less it in 1/256 dB (an Opus
//    output's header gain is 0: the decoded source already had its own), and
//    a version-2 bext chunk's loudness, true peak and momentary and
//    short-term maxima moved by it; an ID3v2 RVA2 frame is removed.
// What a written file cannot hold (any tag on CAF, W64, RF64 and the other
// formats TagLib does not write; a picture or chunk where the format has no
// place for it; a tag key the format refuses; an ID3v2 frame without a text
// form; a gain tag that is not a number) is left out and named in a note.
#pragma once

#include <string>
#include <vector>

#include "core/error.h"

namespace sonorik::tags {

struct TagCopy {
  std::string source;     // the file the tags are read from
  int source_format = 0;  // its libsndfile major | subtype code
  std::string output;     // the written file the tags go onto (rewritten in place)
  int output_format = 0;
  std::string output_format_name;  // "FLAC PCM_16", as notes and errors name it
  double gain_db = 0.0;            // the gain the output's audio got
};

// Copies what `copy.output` can hold and returns notes, one per kind of thing
// left out ("not carried to the CAF output: tags TITLE, ARTIST"). The source's
// tags that TagLib cannot read are a note, not an error. Errors: the written
// file cannot be opened or saved by TagLib ("cannot write the tags
// into the new FLAC file"); it is then in an unknown state and must be discarded.
Result<std::vector<std::string>> carry_tags(const TagCopy& copy);

}  // namespace sonorik::tags
