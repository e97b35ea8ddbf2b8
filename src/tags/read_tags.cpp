// Reading a file's tags into a TagSet, one function per family.
#include <sndfile.h>
#include <taglib/aifffile.h>
#include <taglib/attachedpictureframe.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2tag.h>
#include <taglib/infotag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/vorbisfile.h>
#include <taglib/xiphcomment.h>

#include <cstdio>
#include <memory>
#include <optional>

#include "audio/sndfile_formats.h"
#include "tags/riff_tags.h"
#include "tags/tag_set.h"

namespace sonorik::tags {

namespace {

Picture from_flac(const TagLib::FLAC::Picture& f) {
  Picture p;
  p.type = static_cast<int>(f.type());
  p.mime = f.mimeType();
  p.description = f.description();
  p.data = f.data();
  p.width = f.width();
  p.height = f.height();
  p.depth = f.colorDepth();
  p.colors = f.numColors();
  return p;
}

void add_pictures(const TagLib::List<TagLib::FLAC::Picture*>& list, TagSet& set) {
  for (const TagLib::FLAC::Picture* f : list) {
    if (f != nullptr) set.pictures.push_back(from_flac(*f));
  }
}

// Whether TagLib names the frame `id` among a tag's items without a text
// form ("PRIV", "UNKNOWN/XYZW", "UFID/owner", ...).
bool without_text(const TagLib::StringList& unsupported, const TagLib::String& id) {
  for (const TagLib::String& u : unsupported) {
    if (u == id || u.startsWith(id + "/") || u == "UNKNOWN/" + id) return true;
  }
  return false;
}

// The APIC frames of an ID3v2 tag as pictures, and its frames without a
// text form as they are stored (of ID3v2.3 and 2.4 tags; those of older
// ones are named as not carried).
void add_id3_frames(const TagLib::ID3v2::Tag* tag, TagSet& set) {
  if (tag == nullptr) return;
  const TagLib::StringList unsupported = tag->properties().unsupportedData();
  const unsigned version = tag->header()->majorVersion();
  for (const TagLib::ID3v2::Frame* frame : tag->frameList()) {
    const TagLib::ByteVector id_bytes = frame->frameID();
    const TagLib::String id(id_bytes, TagLib::String::Latin1);
    if (const auto* a = dynamic_cast<const TagLib::ID3v2::AttachedPictureFrame*>(frame)) {
      Picture p;
      p.type = static_cast<int>(a->type());
      p.mime = a->mimeType();
      p.description = a->description();
      p.data = a->picture();
      set.pictures.push_back(std::move(p));
    } else if (without_text(unsupported, id)) {
      if (version >= 3) {
        set.id3_frames.push_back({id.to8Bit(), version, frame->render()});
      } else {
        set.unreadable.push_back(id.to8Bit());
      }
    }
  }
}

// The text tags of `properties`; what has no text form is noted unless it
// comes from an ID3v2 tag, whose frames are read on their own.
void add_text(const TagLib::PropertyMap& properties, bool from_id3, TagSet& set) {
  for (const auto& [key, values] : properties) {
    // A FLAC layout comment describes the source's channels, not the
    // output's: the normaliser writes the output's own.
    if (key == "WAVEFORMATEXTENSIBLE_CHANNEL_MASK") continue;
    if (!set.text.contains(key)) set.text.insert(key, values);
  }
  if (from_id3) return;
  for (const TagLib::String& u : properties.unsupportedData())
    set.unreadable.push_back(u.to8Bit(true));
}

// The strings libsndfile reads from chunks TagLib does not look at (AIFF
// NAME, AUTH, ANNO and (c) chunks; CAF info; RIFF INFO of RF64).
void add_sndfile_strings(SNDFILE* f, TagSet& set) {
  for (const SndfileString& n : kSndfileStrings) {
    const char* s = sf_get_string(f, n.id);
    if (s != nullptr && *s != '\0' && !set.text.contains(n.key))
      set.text.insert(n.key, TagLib::String(s, TagLib::String::UTF8));
  }
}

// What libsndfile reads of a file TagLib does not take, or of an AIFF file's
// own text chunks.
void add_sndfile_metadata(const std::string& path, bool chunks, TagSet& set) {
  SF_INFO info{};
  std::string error;
  SndfilePtr f = open_sndfile([&] { return sf_open(path.c_str(), SFM_READ, &info); }, error);
  if (!f) return;
  add_sndfile_strings(f.get(), set);
  if (chunks) {
    set.bext = sndfile_chunk(f.get(), "bext");
    set.ixml = sndfile_chunk(f.get(), "iXML");
  }
}

bool read_wav(const std::string& path, TagSet& set) {
  WavChunks f(path.c_str(), false);
  if (!f.isValid()) return false;
  if (f.hasID3v2Tag()) {
    add_text(f.ID3v2Tag()->properties(), true, set);
    add_id3_frames(f.ID3v2Tag(), set);
  }
  if (f.hasInfoTag()) {
    set.riff_info = true;
    for (const auto& [id, value] : f.InfoTag()->fieldListMap()) {
      const TagLib::String key = info_key(id);
      if (!set.text.contains(key) && !value.isEmpty()) set.text.insert(key, value);
    }
  }
  set.bext = f.chunk("bext");
  set.ixml = f.chunk("iXML");
  return true;
}

bool read_aiff(const std::string& path, TagSet& set) {
  TagLib::RIFF::AIFF::File f(path.c_str(), false);
  if (!f.isValid()) return false;
  if (f.hasID3v2Tag()) {
    add_text(f.tag()->properties(), true, set);
    add_id3_frames(f.tag(), set);
  }
  add_sndfile_metadata(path, false, set);
  return true;
}

template <class OggFile>
bool read_ogg(const std::string& path, TagSet& set) {
  OggFile f(path.c_str(), false);
  if (!f.isValid()) return false;
  if (TagLib::Ogg::XiphComment* x = f.tag()) {
    add_text(x->properties(), false, set);
    add_pictures(x->pictureList(), set);
  }
  return true;
}

bool read_flac(const std::string& path, TagSet& set) {
  TagLib::FLAC::File f(path.c_str(), false);
  if (!f.isValid()) return false;
  add_text(f.properties(), false, set);
  add_pictures(f.pictureList(), set);
  return true;
}

bool read_mp3(const std::string& path, TagSet& set) {
  TagLib::MPEG::File f(path.c_str(), false);
  if (!f.isValid()) return false;
  // The first tag of ID3v2, APE, ID3v1 gives the text.
  add_text(f.properties(), f.hasID3v2Tag(), set);
  if (f.hasID3v2Tag()) add_id3_frames(f.ID3v2Tag(), set);
  return true;
}

}  // namespace

std::optional<TagLib::ByteVector> sndfile_chunk(SNDFILE* f, const char* id) {
  SF_CHUNK_INFO want{};
  std::snprintf(want.id, sizeof want.id, "%s", id);
  want.id_size = 4;
  SF_CHUNK_ITERATOR* it = sf_get_chunk_iterator(f, &want);
  SF_CHUNK_INFO got{};
  if (it == nullptr || sf_get_chunk_size(it, &got) != SF_ERR_NO_ERROR || got.datalen == 0 ||
      got.datalen > kLargestChunk)
    return std::nullopt;
  TagLib::ByteVector body(got.datalen, '\0');
  got.data = body.data();
  if (sf_get_chunk_data(it, &got) != SF_ERR_NO_ERROR) return std::nullopt;
  return body;
}

Family family_of(int sf_format) {
  const int sub = sf_format & SF_FORMAT_SUBMASK;
  switch (sf_format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
      return Family::wav;
    case SF_FORMAT_AIFF:
      return Family::aiff;
    case SF_FORMAT_FLAC:
      return Family::flac;
    case SF_FORMAT_OGG:
      return sub == SF_FORMAT_VORBIS ? Family::vorbis
             : sub == SF_FORMAT_OPUS ? Family::opus
                                     : Family::none;
    case SF_FORMAT_MPEG:
      return Family::mp3;
    case SF_FORMAT_W64:
      return Family::w64;
    default:
      return Family::none;
  }
}

TagSet read_tags(const std::string& path, Family family, bool& readable) {
  TagSet set;
  switch (family) {
    case Family::wav:
      readable = read_wav(path, set);
      break;
    case Family::aiff:
      readable = read_aiff(path, set);
      break;
    case Family::flac:
      readable = read_flac(path, set);
      break;
    case Family::vorbis:
      readable = read_ogg<TagLib::Ogg::Vorbis::File>(path, set);
      break;
    case Family::opus:
      readable = read_ogg<TagLib::Ogg::Opus::File>(path, set);
      break;
    case Family::mp3:
      readable = read_mp3(path, set);
      break;
    case Family::none:
    case Family::w64:
      readable = true;
      add_sndfile_metadata(path, true, set);
      break;
  }
  if (!readable) return TagSet{};
  return set;
}

}  // namespace sonorik::tags
