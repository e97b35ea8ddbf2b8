#include "tags/riff_tags.h"

namespace sonorik::tags {

namespace {

struct InfoName {
  const char* id;
  const char* key;
};

// The first id of a key is the one written.
constexpr InfoName kInfoNames[] = {
    {"INAM", "TITLE"},     {"IART", "ARTIST"},  {"IPRD", "ALBUM"},       {"ICMT", "COMMENT"},
    {"IGNR", "GENRE"},     {"ICRD", "DATE"},    {"IPRT", "TRACKNUMBER"}, {"ITRK", "TRACKNUMBER"},
    {"ICOP", "COPYRIGHT"}, {"ISFT", "ENCODER"}, {"ILNG", "LANGUAGE"},    {"IENG", "ENGINEER"},
    {"ITCH", "ENCODEDBY"}, {"ISBJ", "SUBJECT"}, {"IKEY", "KEYWORDS"},
};

bool info_like(const TagLib::String& key) {
  if (key.size() != 4 || key[0] != 'I') return false;
  for (unsigned i = 1; i < 4; ++i) {
    const wchar_t c = key[static_cast<int>(i)];
    if (!((c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
  }
  return true;
}

}  // namespace

WavChunks::WavChunks(const char* path, bool read_properties)
    : TagLib::RIFF::WAV::File(path, read_properties) {}

std::optional<TagLib::ByteVector> WavChunks::chunk(const TagLib::ByteVector& name) {
  for (unsigned i = 0; i < chunkCount(); ++i) {
    if (chunkName(i) == name) return chunkData(i);
  }
  return std::nullopt;
}

void WavChunks::set_chunk(const TagLib::ByteVector& name, const TagLib::ByteVector& body) {
  setChunkData(name, body);
}

TagLib::String info_key(const TagLib::ByteVector& id) {
  for (const InfoName& n : kInfoNames) {
    if (id == n.id) return n.key;
  }
  return TagLib::String(id, TagLib::String::Latin1);
}

std::optional<TagLib::ByteVector> info_id(const TagLib::String& key) {
  for (const InfoName& n : kInfoNames) {
    if (key == n.key) return TagLib::ByteVector(n.id);
  }
  if (info_like(key)) return key.data(TagLib::String::Latin1);
  return std::nullopt;
}

}  // namespace sonorik::tags
