// Writing a TagSet into a file, one function per family; what the family
// cannot hold is named in `left_out`.
#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2framefactory.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <string_view>

#include "audio/sndfile_formats.h"
#include "tags/riff_tags.h"
#include "tags/tag_set.h"
#include "tags/w64_chunks.h"

namespace sonorik::tags {

namespace {

TagLib::FLAC::Picture* flac_picture(const Picture& p) {
  auto* f = new TagLib::FLAC::Picture();
  f->setType(static_cast<TagLib::FLAC::Picture::Type>(p.type));
  f->setMimeType(p.mime);
  f->setDescription(p.description);
  f->setData(p.data);
  f->setWidth(p.width);
  f->setHeight(p.height);
  f->setColorDepth(p.depth);
  f->setNumColors(p.colors);
  return f;
}

std::string keys_of(const TagLib::PropertyMap& map) {
  std::string out;
  for (const auto& kv : map) out += (out.empty() ? "" : ", ") + kv.first.to8Bit(true);
  return out;
}

// Notes the keys `set_properties` refused.
void refused(const TagLib::PropertyMap& rejected, std::vector<std::string>& left_out) {
  if (!rejected.isEmpty()) left_out.push_back("tags the format refuses: " + keys_of(rejected));
}

void no_chunks(const TagSet& set, std::vector<std::string>& left_out) {
  if (set.bext) left_out.emplace_back("the bext chunk (broadcast description)");
  if (set.ixml) left_out.emplace_back("the iXML chunk");
}

void no_id3_frames(const TagSet& set, std::vector<std::string>& left_out) {
  std::string ids;
  for (const RawFrame& f : set.id3_frames) ids += (ids.empty() ? "" : ", ") + f.id;
  if (!ids.empty()) left_out.push_back("ID3v2 frames " + ids);
}

void no_pictures(const TagSet& set, std::vector<std::string>& left_out) {
  if (!set.pictures.empty()) {
    left_out.push_back(std::to_string(set.pictures.size()) +
                       (set.pictures.size() == 1 ? " picture" : " pictures"));
  }
}

// Replaces the tag's text and APIC frames with the set's.
void fill_id3(TagLib::ID3v2::Tag& tag, const TagSet& set, std::vector<std::string>& left_out) {
  refused(tag.setProperties(set.text), left_out);
  tag.removeFrames("APIC");
  for (const Picture& p : set.pictures) {
    auto* a = new TagLib::ID3v2::AttachedPictureFrame();
    a->setType(static_cast<TagLib::ID3v2::AttachedPictureFrame::Type>(p.type));
    a->setMimeType(p.mime);
    a->setDescription(p.description);
    a->setPicture(p.data);
    tag.addFrame(a);
  }
  for (const RawFrame& raw : set.id3_frames) {
    TagLib::ID3v2::Header header;
    header.setMajorVersion(raw.version);
    TagLib::ID3v2::Frame* frame =
        TagLib::ID3v2::FrameFactory::instance()->createFrame(raw.bytes, &header);
    if (frame == nullptr) {
      left_out.push_back("the ID3v2 frame " + raw.id + " (it cannot be read again)");
    } else {
      tag.addFrame(frame);
    }
  }
}

void fill_xiph(TagLib::Ogg::XiphComment& x, const TagSet& set, std::vector<std::string>& left_out) {
  refused(x.setProperties(set.text), left_out);
  x.removeAllPictures();
  for (const Picture& p : set.pictures) x.addPicture(flac_picture(p));
}

bool write_flac(const std::string& path, const TagSet& set, std::vector<std::string>& left_out) {
  TagLib::FLAC::File f(path.c_str(), false);
  if (!f.isValid()) return false;
  refused(f.xiphComment(true)->setProperties(set.text), left_out);
  f.removePictures();
  for (const Picture& p : set.pictures) f.addPicture(flac_picture(p));
  no_id3_frames(set, left_out);
  no_chunks(set, left_out);
  return f.save();
}

template <class OggFile>
bool write_ogg(const std::string& path, const TagSet& set, std::vector<std::string>& left_out) {
  OggFile f(path.c_str(), false);
  if (!f.isValid() || f.tag() == nullptr) return false;
  fill_xiph(*f.tag(), set, left_out);
  no_id3_frames(set, left_out);
  no_chunks(set, left_out);
  return f.save();
}

bool write_mp3(const std::string& path, const TagSet& set, std::vector<std::string>& left_out) {
  TagLib::MPEG::File f(path.c_str(), false);
  if (!f.isValid()) return false;
  fill_id3(*f.ID3v2Tag(true), set, left_out);
  no_chunks(set, left_out);
  return f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripOthers, TagLib::ID3v2::v4,
                TagLib::File::DoNotDuplicate);
}

bool write_aiff(const std::string& path, const TagSet& set, std::vector<std::string>& left_out) {
  TagLib::RIFF::AIFF::File f(path.c_str(), false);
  if (!f.isValid() || f.tag() == nullptr) return false;
  fill_id3(*f.tag(), set, left_out);
  no_chunks(set, left_out);
  return f.save();
}

// INFO holds the keys it has fields for, in Latin-1. Anything else (other
// keys, other characters, pictures) puts every tag in an id3 chunk instead,
// and in INFO too only when the source had INFO: readers that find both
// tend to show only one of them.
bool write_wav(const std::string& path, const TagSet& set, std::vector<std::string>& left_out) {
  WavChunks f(path.c_str(), false);
  if (!f.isValid()) return false;
  bool id3 = !set.pictures.empty();
  for (const auto& [key, values] : set.text) {
    if (!info_id(key) || !values.toString("; ").isLatin1()) id3 = true;
  }
  const bool info = !id3 || set.riff_info;
  if (info) {
    TagLib::RIFF::Info::Tag* tag = f.InfoTag();
    for (const auto& [key, values] : set.text) {
      const TagLib::String value = values.toString("; ");
      const std::optional<TagLib::ByteVector> id = info_id(key);
      if (id && value.isLatin1() && tag->fieldText(*id).isEmpty()) tag->setFieldText(*id, value);
    }
  }
  if (id3) fill_id3(*f.ID3v2Tag(), set, left_out);
  if (set.bext) f.set_chunk("bext", *set.bext);
  if (set.ixml) f.set_chunk("iXML", *set.ixml);
  using Wav = TagLib::RIFF::WAV::File;
  const auto kinds = static_cast<Wav::TagTypes>((info ? Wav::Info : 0) | (id3 ? Wav::ID3v2 : 0));
  return f.save(kinds, TagLib::File::StripOthers);
}

const SndfileString* sndfile_string(const TagLib::String& key) {
  for (const SndfileString& n : kSndfileStrings) {
    if (key == n.key) return &n;
  }
  return nullptr;
}

std::string bytes_of(const TagLib::ByteVector& v) { return std::string(v.data(), v.size()); }

// Whether the string libsndfile reads back is `want` (libsndfile adds its
// own name to the software string).
bool holds(SNDFILE* f, const SndfileString& n, const std::string& want) {
  const char* got = sf_get_string(f, n.id);
  if (got == nullptr) return false;
  const std::string_view g(got);
  return n.id == SF_STR_SOFTWARE ? g.substr(0, want.size()) == want : g == want;
}

// Whether libsndfile reads back the chunk `id` as `want` (it pads bodies
// with zero bytes to a multiple of four).
bool holds_chunk(SNDFILE* f, const char* id, const TagLib::ByteVector& want) {
  const std::optional<TagLib::ByteVector> got = sndfile_chunk(f, id);
  if (!got || !got->startsWith(want)) return false;
  for (unsigned i = want.size(); i < got->size(); ++i) {
    if ((*got)[static_cast<int>(i)] != '\0') return false;
  }
  return true;
}

// A file libsndfile wrote with sndfile_metadata(set): read back, what it
// does not hold is named.
bool check_sndfile(const std::string& path, const TagSet& set, std::vector<std::string>& left_out) {
  SF_INFO info{};
  std::string error;
  SndfilePtr f = open_sndfile([&] { return sf_open(path.c_str(), SFM_READ, &info); }, error);
  if (!f) return false;
  std::string keys;
  for (const auto& [key, values] : set.text) {
    const SndfileString* n = sndfile_string(key);
    if (n == nullptr || !holds(f.get(), *n, values.toString("; ").to8Bit(true)))
      keys += (keys.empty() ? "" : ", ") + key.to8Bit(true);
  }
  if (!keys.empty()) left_out.push_back("tags " + keys);
  no_pictures(set, left_out);
  no_id3_frames(set, left_out);
  if (set.bext && !holds_chunk(f.get(), "bext", *set.bext))
    left_out.emplace_back("the bext chunk (broadcast description)");
  if (set.ixml && !holds_chunk(f.get(), "iXML", *set.ixml)) left_out.emplace_back("the iXML chunk");
  return true;
}

// W64: the bext and iXML chunks put before the audio (w64_chunks.h);
// libsndfile takes no string on W64, so every text tag is named.
bool write_w64(const std::string& path, const TagSet& set, std::vector<std::string>& left_out) {
  TagSet rest = set;
  std::vector<W64Chunk> chunks;
  if (set.bext && set.bext->size() <= kLargestChunk) {
    chunks.emplace_back("bext", bytes_of(*set.bext));
    rest.bext.reset();
  }
  if (set.ixml && set.ixml->size() <= kLargestChunk) {
    chunks.emplace_back("iXML", bytes_of(*set.ixml));
    rest.ixml.reset();
  }
  if (!chunks.empty() && !insert_w64_chunks(path, chunks)) return false;
  return check_sndfile(path, rest, left_out);
}

}  // namespace

SndfileMetadata sndfile_metadata(const TagSet& set) {
  SndfileMetadata m;
  for (const auto& [key, values] : set.text) {
    const SndfileString* n = sndfile_string(key);
    const std::string text = values.toString("; ").to8Bit(true);
    if (n != nullptr && !text.empty()) m.strings.emplace_back(n->id, text);
  }
  if (set.bext && set.bext->size() <= kLargestChunk)
    m.chunks.emplace_back("bext", bytes_of(*set.bext));
  if (set.ixml && set.ixml->size() <= kLargestChunk)
    m.chunks.emplace_back("iXML", bytes_of(*set.ixml));
  return m;
}

bool write_tags(const std::string& path, Family family, const TagSet& set,
                std::vector<std::string>& left_out) {
  switch (family) {
    case Family::wav:
      return write_wav(path, set, left_out);
    case Family::aiff:
      return write_aiff(path, set, left_out);
    case Family::flac:
      return write_flac(path, set, left_out);
    case Family::vorbis:
      return write_ogg<TagLib::Ogg::Vorbis::File>(path, set, left_out);
    case Family::opus:
      return write_ogg<TagLib::Ogg::Opus::File>(path, set, left_out);
    case Family::mp3:
      return write_mp3(path, set, left_out);
    case Family::none:
      return check_sndfile(path, set, left_out);
    case Family::w64:
      return write_w64(path, set, left_out);
  }
  return true;
}

}  // namespace sonorik::tags
