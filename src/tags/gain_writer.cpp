// Gain tags written into a copy, checked, then renamed over the original.
#include "tags/gain_writer.h"

#include <taglib/aifffile.h>
#include <taglib/flacfile.h>
#include <taglib/id3v2header.h>
#include <taglib/id3v2tag.h>
#include <taglib/mpegfile.h>
#include <taglib/opusfile.h>
#include <taglib/textidentificationframe.h>
#include <taglib/vorbisfile.h>
#include <taglib/wavfile.h>
#include <taglib/xiphcomment.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "audio/sndfile_formats.h"
#include "audio/source.h"
#include "core/file.h"
#include "core/interrupt.h"
#include "core/replace_file.h"
#include "tags/audio_bytes.h"
#include "tags/tag_set.h"

namespace sonorik::tags {

namespace {

// What the check compares: the decoded audio, hashed block by block.
struct AudioPrint {
  std::uint32_t rate_hz = 0;
  unsigned channels = 0;
  std::uint64_t frames = 0;
  std::uint64_t hash = 14695981039346656037ull;  // FNV-1a over the samples' bytes
  bool operator==(const AudioPrint& o) const {
    return rate_hz == o.rate_hz && channels == o.channels && frames == o.frames && hash == o.hash;
  }
};

Result<AudioPrint> audio_print(const std::string& path) {
  Result<AudioSource> opened = open_audio(path);
  if (!opened) return opened.error();
  AudioSource& source = *opened;
  AudioPrint p;
  p.rate_hz = source.info.rate_hz;
  p.channels = source.info.channels;
  constexpr std::size_t kBlock = 8192;
  std::vector<double> block(kBlock * p.channels);
  for (;;) {
    Result<std::size_t> got = source.reader.read(block.data(), kBlock);
    if (!got) return got.error();
    if (*got == 0) break;
    p.frames += *got;
    const auto* bytes = reinterpret_cast<const unsigned char*>(block.data());
    for (std::size_t i = 0, n = *got * p.channels * sizeof(double); i < n; ++i) {
      p.hash = (p.hash ^ bytes[i]) * 1099511628211ull;
    }
  }
  return p;
}

bool is_gain_key(const TagLib::String& key) {
  for (const char* k : kGainTagKeys) {
    if (key.upper() == k) return true;
  }
  return false;
}

bool replaced(const TagLib::String& key, const GainValues& values, Family family);

// Everything read_tags finds but the gain tags writing `values` replaces.
TagSet without_gains(TagSet set, const GainValues& values, Family family) {
  TagLib::PropertyMap kept;
  for (const auto& [key, v] : set.text) {
    if (!replaced(key, values, family)) kept.insert(key, v);
  }
  set.text = kept;
  // An ID3v2 frame without a text form holding a gain tag does not occur:
  // TXXX frames have a text form.
  return set;
}

bool same_pictures(const std::vector<Picture>& a, const std::vector<Picture>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].type != b[i].type || a[i].mime != b[i].mime || a[i].description != b[i].description ||
        a[i].data != b[i].data)
      return false;
  }
  return true;
}

bool same_frames(const std::vector<RawFrame>& a, const std::vector<RawFrame>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].id != b[i].id || a[i].bytes != b[i].bytes) return false;
  }
  return true;
}

// What differs between the tags before and after, or nothing.
std::optional<std::string> tag_difference(const TagSet& before, const TagSet& after) {
  if (!(before.text == after.text)) return "its text tags";
  if (!same_pictures(before.pictures, after.pictures)) return "its pictures";
  if (!same_frames(before.id3_frames, after.id3_frames)) return "its ID3v2 frames";
  if (before.bext != after.bext || before.ixml != after.ixml) return "its broadcast chunks";
  if (before.riff_info != after.riff_info) return "its RIFF INFO list";
  return std::nullopt;
}

TagLib::String utf8(const std::string& s) { return TagLib::String(s, TagLib::String::UTF8); }

// Whether writing `values` into a file of `family` replaces or removes the
// gain tag `key`: those given, the reference loudness (it belongs to the
// gains written), and on Opus every REPLAYGAIN_* tag.
bool replaced(const TagLib::String& key, const GainValues& values, Family family) {
  const TagLib::String k = key.upper();
  if (!is_gain_key(k)) return false;
  if (k == "REPLAYGAIN_REFERENCE_LOUDNESS") return true;
  if (family == Family::opus && k.startsWith("REPLAYGAIN_")) return true;
  for (const auto& kv : values) {
    if (k == kv.first.c_str()) return true;
  }
  return false;
}

void set_xiph(TagLib::Ogg::XiphComment& c, const GainValues& values, Family family) {
  for (const char* k : kGainTagKeys) {
    if (replaced(k, values, family)) c.removeFields(k);
  }
  for (const auto& [key, value] : values) c.addField(key, utf8(value), true);
}

// The ID3v2 version to save `tag` in: its own, or 2.4 for a new one (and
// for 2.2, which TagLib does not write).
TagLib::ID3v2::Version id3_version(const TagLib::ID3v2::Tag* tag) {
  return tag != nullptr && tag->header()->majorVersion() == 3 ? TagLib::ID3v2::v3
                                                              : TagLib::ID3v2::v4;
}

void set_id3(TagLib::ID3v2::Tag& tag, const GainValues& values) {
  std::vector<TagLib::ID3v2::Frame*> old;
  for (TagLib::ID3v2::Frame* f : tag.frameList("TXXX")) {
    const auto* t = dynamic_cast<TagLib::ID3v2::UserTextIdentificationFrame*>(f);
    if (t != nullptr && replaced(t->description(), values, Family::mp3)) old.push_back(f);
  }
  for (TagLib::ID3v2::Frame* f : old) tag.removeFrame(f, true);
  for (const auto& [key, value] : values) {
    auto* t = new TagLib::ID3v2::UserTextIdentificationFrame(TagLib::String::UTF8);
    t->setDescription(utf8(key));
    t->setText(utf8(value));
    tag.addFrame(t);
  }
}

// Writes `values` into the file at `path` of `family`; false when TagLib
// cannot open or save it.
bool tag_file(const std::string& path, Family family, const GainValues& values) {
  const char* p = path.c_str();
  switch (family) {
    case Family::flac: {
      TagLib::FLAC::File f(p, false);
      if (!f.isValid()) return false;
      set_xiph(*f.xiphComment(true), values, family);
      return f.save();
    }
    case Family::vorbis: {
      TagLib::Ogg::Vorbis::File f(p, false);
      if (!f.isValid() || f.tag() == nullptr) return false;
      set_xiph(*f.tag(), values, family);
      return f.save();
    }
    case Family::opus: {
      TagLib::Ogg::Opus::File f(p, false);
      if (!f.isValid() || f.tag() == nullptr) return false;
      set_xiph(*f.tag(), values, family);
      return f.save();
    }
    case Family::mp3: {
      TagLib::MPEG::File f(p, false);
      if (!f.isValid()) return false;
      const auto version = id3_version(f.hasID3v2Tag() ? f.ID3v2Tag() : nullptr);
      set_id3(*f.ID3v2Tag(true), values);
      return f.save(TagLib::MPEG::File::ID3v2, TagLib::File::StripNone, version,
                    TagLib::File::DoNotDuplicate);
    }
    case Family::wav: {
      TagLib::RIFF::WAV::File f(p, false);
      if (!f.isValid()) return false;
      const auto version = id3_version(f.hasID3v2Tag() ? f.ID3v2Tag() : nullptr);
      const bool info = f.hasInfoTag();
      set_id3(*f.ID3v2Tag(), values);
      using Wav = TagLib::RIFF::WAV::File;
      const auto kinds = static_cast<Wav::TagTypes>(Wav::ID3v2 | (info ? Wav::Info : 0));
      return f.save(kinds, TagLib::File::StripNone, version);
    }
    case Family::aiff: {
      TagLib::RIFF::AIFF::File f(p, false);
      if (!f.isValid()) return false;
      const auto version = id3_version(f.hasID3v2Tag() ? f.tag() : nullptr);
      set_id3(*f.tag(), values);
      return f.save(version);
    }
    case Family::none:
    case Family::w64:
      break;
  }
  return false;
}

// The original's bytes into the replacement's temporary file.
Status copy_into(const std::string& path, const FileReplacement& copy) {
  Result<File> in = File::open_regular_for_reading(path);
  if (!in) return in.error();
  std::vector<char> buf(1 << 20);
  for (;;) {
    if (interrupted()) return Error(kInterrupted);
    const ssize_t n = ::read(in->fd(), buf.data(), buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Error::with_os_errno("cannot read the file to copy it", errno);
    if (n == 0) return ok_status();
    Status w = write_all(copy.fd(), std::string_view(buf.data(), static_cast<std::size_t>(n)));
    if (!w) return w;
  }
}

// The libsndfile format code of the file at `path`, from its header.
Result<int> sf_format_of(const std::string& path) {
  Result<AudioSource> opened = open_audio(path);
  if (!opened) return opened.error();
  return opened->info.sf_format;
}

// Whether the tagged copy holds the original's audio: the same stream bytes
// or, where that cannot be shown, the same decoded samples.
Status check_audio(const std::string& path, const std::string& copy, Family family) {
  if (same_audio_bytes(path, copy, family)) return ok_status();
  Result<AudioPrint> before = audio_print(path);
  if (!before) return before.error();
  Result<AudioPrint> after = audio_print(copy);
  if (!after || !(*after == *before))
    return Error("the tagged copy does not decode to the same audio: the file is left as it was");
  return ok_status();
}

// The size and modification time of the file at `path`, to tell whether it
// changed while its tagged copy was made.
std::optional<std::pair<off_t, timespec>> stamp_of(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return std::nullopt;
  return std::pair{st.st_size, st.st_mtim};
}

bool same_stamp(const std::optional<std::pair<off_t, timespec>>& a,
                const std::optional<std::pair<off_t, timespec>>& b) {
  return a && b && a->first == b->first && a->second.tv_sec == b->second.tv_sec &&
         a->second.tv_nsec == b->second.tv_nsec;
}

Status write_checked(const std::string& path, const GainValues& values) {
  Result<int> sf_format = sf_format_of(path);
  if (!sf_format) return sf_format.error();
  const Family family = family_of(*sf_format);
  if (family == Family::none || family == Family::w64) {
    return Error("gain tags are not written into " + sndfile_format_name(*sf_format) +
                 " files: the format has no place for them that players read");
  }
  bool readable = true;
  const TagSet tags_before = without_gains(read_tags(path, family, readable), values, family);
  if (!readable) return Error("TagLib cannot read the file's tags");
  const auto stamp = stamp_of(path);
  Result<FileReplacement> copy = FileReplacement::begin(path);
  if (!copy) return copy.error();
  if (Status s = copy_into(path, *copy); !s) return s;
  if (!tag_file(copy->temp_path(), family, values))
    return Error("TagLib cannot write the gain tags (the file is left as it was)");
  if (Status s = check_audio(path, copy->temp_path(), family); !s) return s;
  const TagSet tags_after =
      without_gains(read_tags(copy->temp_path(), family, readable), values, family);
  if (!readable) return Error("the tagged copy cannot be read back: the file is left as it was");
  if (std::optional<std::string> d = tag_difference(tags_before, tags_after))
    return Error("writing the gain tags would change " + *d + ": the file is left as it was");
  // A file written meanwhile keeps what was written to it.
  if (!same_stamp(stamp, stamp_of(path))) return Error(kChangedWhileRead);
  if (interrupted()) return Error(kInterrupted);
  return copy->commit();
}

}  // namespace

Result<GainValues> read_gain_tags(const std::string& path) {
  try {
    Result<AudioSource> opened = open_audio(path);
    if (!opened) return opened.error();
    bool readable = true;
    const TagSet set = read_tags(path, family_of(opened->info.sf_format), readable);
    if (!readable) return Error("TagLib cannot read the file's tags");
    GainValues out;
    for (const char* k : kGainTagKeys) {
      if (set.text.contains(k) && !set.text[k].isEmpty())
        out.emplace_back(k, set.text[k].front().to8Bit(true));
    }
    return out;
  } catch (const std::bad_alloc&) {
    return Error("out of memory while reading the tags");
  }
}

Status write_gain_tags(const std::string& path, const GainValues& values) {
  for (const auto& [key, value] : values) {
    if (!is_gain_key(utf8(key)) || key != TagLib::String(key).upper().to8Bit())
      return Error("'" + key + "' is not a gain tag");
  }
  try {
    return write_checked(path, values);
  } catch (const std::bad_alloc&) {
    return Error("out of memory while writing the gain tags");
  } catch (const std::exception& e) {
    return Error(std::string("cannot write the gain tags: ") + e.what());
  }
}

}  // namespace sonorik::tags
