// Gain tags written into a copy, checked, then renamed over the original.
#include "tags/gain_writer.h"

#include <sys/stat.h>
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
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
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
#include "tags/mp4_gain.h"
#include "tags/ogg_pages.h"
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

// Reads up to `frames` frames into `out`, short only at the end.
Result<std::size_t> fill(AudioReader& reader, double* out, std::size_t frames, unsigned channels) {
  std::size_t done = 0;
  while (done < frames) {
    Result<std::size_t> got = reader.read(out + done * channels, frames - done);
    if (!got) return got.error();
    if (*got == 0) break;
    done += *got;
  }
  return done;
}

// Whether the copy decodes to the original's samples times the gain of
// `steps` (1/256 dB): the least-squares ratio of the two within 1/512 dB of
// it, and nothing else left (after that ratio, less than 1e-8 of the copy's
// energy: the decoder's rounding).
Status check_gain_applied(const std::string& path, const std::string& copy, int steps) {
  const Error differs(
      "the copy does not decode to the audio at the header's new gain: the file "
      "is left as it was");
  Result<AudioSource> a = open_audio(path);
  if (!a) return a.error();
  Result<AudioSource> b = open_audio(copy);
  if (!b) return b.error();
  const unsigned channels = a->info.channels;
  if (b->info.channels != channels || b->info.rate_hz != a->info.rate_hz) return differs;
  constexpr std::size_t kBlock = 8192;
  std::vector<double> x(kBlock * channels), y(kBlock * channels);
  double xx = 0.0, xy = 0.0, yy = 0.0;
  for (;;) {
    if (interrupted()) return Error(kInterrupted);
    Result<std::size_t> na = fill(a->reader, x.data(), kBlock, channels);
    if (!na) return na.error();
    Result<std::size_t> nb = fill(b->reader, y.data(), kBlock, channels);
    if (!nb) return nb.error();
    if (*na != *nb) return differs;
    if (*na == 0) break;
    for (std::size_t i = 0; i < *na * channels; ++i) {
      xx += x[i] * x[i];
      xy += x[i] * y[i];
      yy += y[i] * y[i];
    }
  }
  if (xx == 0.0) return yy == 0.0 ? ok_status() : Status(differs);
  const double ratio = xy / xx;
  if (!(ratio > 0.0) || std::abs(20.0 * std::log10(ratio) - steps / 256.0) > 1.0 / 512.0 ||
      yy - xy * ratio > 1e-8 * yy)
    return differs;
  return ok_status();
}

// The output gain of the Opus header of the file at `path`, or nothing.
std::optional<std::int16_t> header_gain_at(const std::string& path) {
  Result<MappedFile> m = MappedFile::open(path);
  if (!m) return std::nullopt;
  const std::optional<std::int16_t> g = opus_header_gain(m->bytes());
  if (!g || !m->check_unchanged()) return std::nullopt;
  return g;
}

// Whether the tagged copy holds the original's audio: the same stream bytes
// or, where that cannot be shown, the same decoded samples; an Opus copy, its
// header's output gain moved by `steps` and its audio pages the same bytes.
Status check_audio(const std::string& path, const std::string& copy, Family family, int steps) {
  if (family == Family::opus) {
    const std::optional<std::int16_t> before = header_gain_at(path);
    const std::optional<std::int16_t> after = header_gain_at(copy);
    if (!before || !after || *after != *before + steps)
      return Error(
          "the tagged copy's Opus header does not hold the gain meant: the file is left "
          "as it was");
  }
  if (steps != 0) {
    if (!same_audio_bytes(path, copy, family))
      return Error(
          "the tagged copy's audio pages are not the original's: the file is left as it "
          "was");
    return check_gain_applied(path, copy, steps);
  }
  if (same_audio_bytes(path, copy, family)) return ok_status();
  Result<AudioPrint> before = audio_print(path);
  if (!before) return before.error();
  Result<AudioPrint> after = audio_print(copy);
  if (!after || !(*after == *before))
    return Error("the tagged copy does not decode to the same audio: the file is left as it was");
  return ok_status();
}

std::string db_text(int steps) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%+.2f dB", steps / 256.0);
  return buf;
}

// `values` and, when `steps` moves an Opus header's gain, the file's R128_*
// tags not among them moved by -steps to stay relative to it. Errors: the
// header is not an Opus header, the header gain would leave its range, or a
// kept tag cannot move.
Result<GainValues> with_header_gain(const std::string& path, const GainValues& values,
                                    Family family, int steps, const TagSet& tags) {
  if (steps == 0) return values;
  if (family != Family::opus) return Error("only Opus files have a header gain to write");
  const std::optional<std::int16_t> old = header_gain_at(path);
  if (!old) return Error("the file's first Ogg page is not an Opus header");
  const long total = long{*old} + steps;
  if (total < -32768 || total > 32767)
    return Error("the Opus header's gain would be " + db_text(static_cast<int>(total)) + " (" +
                 db_text(*old) + " now, " + db_text(steps) +
                 " added): beyond its range of -128 to +127.99 dB");
  GainValues all = values;
  for (const char* key : {"R128_TRACK_GAIN", "R128_ALBUM_GAIN"}) {
    const bool given =
        std::any_of(values.begin(), values.end(), [&](const auto& kv) { return kv.first == key; });
    if (given || !tags.text.contains(key) || tags.text[key].isEmpty()) continue;
    TagLib::PropertyMap moved;
    moved.insert(key, tags.text[key]);
    std::vector<std::string> notes;
    update_gain_tags(moved, steps / 256.0, notes);
    if (!notes.empty())
      return Error("its " + std::string(key) + " cannot move with the header gain: " + notes[0]);
    all.emplace_back(key, moved[key].front().to8Bit(true));
  }
  return all;
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

// Gain items into a copy of an MP4 file, checked (its samples and other
// items the same bytes), then renamed over it.
Status write_mp4_checked(const std::string& path, const GainValues& values, int steps) {
  if (steps != 0) return Error("only Opus files have a header gain to write");
  if (!mp4_intact(path))
    return Error("the MP4 file is damaged or cut off: its atoms or samples run past its end");
  GainValues removed;  // every gain item the write replaces or removes
  for (const char* k : kGainTagKeys) {
    if (replaced(k, values, Family::none)) removed.emplace_back(k, "");
  }
  const auto stamp = stamp_of(path);
  Result<FileReplacement> copy = FileReplacement::begin(path);
  if (!copy) return copy.error();
  if (Status s = copy_into(path, *copy); !s) return s;
  if (!tag_mp4(copy->temp_path(), values, removed))
    return Error("TagLib cannot write the gain tags (the file is left as it was)");
  if (std::optional<std::string> d = mp4_difference(path, copy->temp_path(), removed))
    return Error("writing the gain tags would change " + *d + ": the file is left as it was");
  if (!same_stamp(stamp, stamp_of(path))) return Error(kChangedWhileRead);
  if (interrupted()) return Error(kInterrupted);
  return copy->commit();
}

Status write_checked(const std::string& path, const GainValues& given, int steps) {
  if (is_mp4_file(path)) return write_mp4_checked(path, given, steps);
  Result<int> sf_format = sf_format_of(path);
  if (!sf_format) return sf_format.error();
  const Family family = family_of(*sf_format);
  if (family == Family::none || family == Family::w64) {
    return Error("gain tags are not written into " + sndfile_format_name(*sf_format) +
                 " files: the format has no place for them that players read");
  }
  bool readable = true;
  const TagSet tags = read_tags(path, family, readable);
  if (!readable) return Error("TagLib cannot read the file's tags");
  Result<GainValues> values = with_header_gain(path, given, family, steps, tags);
  if (!values) return values.error();
  const TagSet tags_before = without_gains(tags, *values, family);
  const auto stamp = stamp_of(path);
  Result<FileReplacement> copy = FileReplacement::begin(path);
  if (!copy) return copy.error();
  if (Status s = copy_into(path, *copy); !s) return s;
  if (!tag_file(copy->temp_path(), family, *values))
    return Error("TagLib cannot write the gain tags (the file is left as it was)");
  if (steps != 0) {
    const std::optional<std::int16_t> old = header_gain_at(copy->temp_path());
    if (!old) return Error("the tagged copy's first Ogg page is not an Opus header");
    if (Status s = set_opus_header_gain(copy->fd(), static_cast<std::int16_t>(*old + steps)); !s)
      return s;
  }
  if (Status s = check_audio(path, copy->temp_path(), family, steps); !s) return s;
  const TagSet tags_after =
      without_gains(read_tags(copy->temp_path(), family, readable), *values, family);
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
    if (is_mp4_file(path)) return read_mp4_gain_tags(path);
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

Status write_gain_tags(const std::string& path, const GainValues& values, int opus_header_steps) {
  for (const auto& [key, value] : values) {
    if (!is_gain_key(utf8(key)) || key != TagLib::String(key).upper().to8Bit())
      return Error("'" + key + "' is not a gain tag");
  }
  try {
    return write_checked(path, values, opus_header_steps);
  } catch (const std::bad_alloc&) {
    return Error("out of memory while writing the gain tags");
  } catch (const std::exception& e) {
    return Error(std::string("cannot write the gain tags: ") + e.what());
  }
}

}  // namespace sonorik::tags
