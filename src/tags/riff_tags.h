// The RIFF side of tagging: a WAV file whose chunks can be read and added
// (TagLib keeps its chunk functions for its own subclasses), and the names
// of RIFF INFO fields as TagLib property names.
#pragma once

#include <taglib/tbytevector.h>
#include <taglib/tstring.h>
#include <taglib/wavfile.h>

#include <optional>

namespace sonorik::tags {

class WavChunks : public TagLib::RIFF::WAV::File {
 public:
  WavChunks(const char* path, bool read_properties);

  // The body of the first top-level chunk called `name`, or nothing.
  std::optional<TagLib::ByteVector> chunk(const TagLib::ByteVector& name);
  // Writes a chunk called `name` (replacing the first one of that name, or
  // after the last chunk).
  void set_chunk(const TagLib::ByteVector& name, const TagLib::ByteVector& body);
};

// "TITLE" for "INAM", ...; an id without a usual name is its own name ("IENG").
TagLib::String info_key(const TagLib::ByteVector& id);
// The INFO id that holds the property `key`, or nothing.
std::optional<TagLib::ByteVector> info_id(const TagLib::String& key);

}  // namespace sonorik::tags
