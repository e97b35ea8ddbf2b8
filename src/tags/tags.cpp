#include "tags/tags.h"

#include <sndfile.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <utility>

#include "audio/sndfile_formats.h"
#include "tags/tag_set.h"

namespace sonorik::tags {

namespace {

std::string joined(const std::vector<std::string>& items, const char* separator) {
  std::string out;
  for (const std::string& s : items) out += (out.empty() ? "" : separator) + s;
  return out;
}

// "FLAC" of "FLAC PCM_16".
std::string major_name(const std::string& format_name) {
  const std::size_t space = format_name.find(' ');
  return space == std::string::npos ? format_name : format_name.substr(0, space);
}

// What libsndfile sees of the file: its format, rate, channels and frames,
// or nothing when it cannot open it.
std::optional<SF_INFO> audio_of(const std::string& path) {
  SF_INFO info{};
  std::string error;
  SndfilePtr f = open_sndfile([&] { return sf_open(path.c_str(), SFM_READ, &info); }, error);
  if (!f) return std::nullopt;
  return info;
}

bool same_audio(const std::optional<SF_INFO>& a, const std::optional<SF_INFO>& b) {
  return a && b && a->format == b->format && a->samplerate == b->samplerate &&
         a->channels == b->channels && a->frames == b->frames;
}

// The set as it goes onto an output whose audio got `gain_db`.
TagSet with_gain(TagSet set, double gain_db, std::vector<std::string>& notes) {
  if (gain_db == 0.0) return set;
  update_gain_tags(set.text, gain_db, notes);
  if (set.bext) update_bext_loudness(*set.bext, gain_db);
  // Relative volume adjustments were set for the old level.
  const auto rva2 = std::remove_if(set.id3_frames.begin(), set.id3_frames.end(),
                                   [](const RawFrame& f) { return f.id == "RVA2"; });
  if (rva2 != set.id3_frames.end()) {
    notes.emplace_back("ID3v2 RVA2 frame removed: its volume adjustment was set for the old level");
    set.id3_frames.erase(rva2, set.id3_frames.end());
  }
  return set;
}

}  // namespace

SourceTags::SourceTags() : set_(std::make_unique<TagSet>()) {}
SourceTags::SourceTags(SourceTags&&) noexcept = default;
SourceTags& SourceTags::operator=(SourceTags&&) noexcept = default;
SourceTags::~SourceTags() = default;

Result<SourceTags> SourceTags::read(const std::string& path, int sf_format) {
  try {
    SourceTags tags;
    *tags.set_ = read_tags(path, family_of(sf_format), tags.readable_);
    return tags;
  } catch (const std::bad_alloc&) {
    return Error("out of memory while reading the tags");
  } catch (const std::exception& e) {
    return Error(std::string("cannot read the source's tags: ") + e.what());
  }
}

SndfileMetadata SourceTags::creation_metadata(int output_format, double gain_db) const {
  if (!readable_ || family_of(output_format) != Family::none) return {};
  try {
    std::vector<std::string> notes;  // carry_tags gives them
    return sndfile_metadata(with_gain(*set_, gain_db, notes));
  } catch (const std::exception&) {
    return {};  // carry_tags names what the file then lacks
  }
}

Result<std::vector<std::string>> carry_tags(const SourceTags& tags, const TagCopy& copy) {
  const std::string format = major_name(copy.output_format_name);
  try {
    std::vector<std::string> notes;
    if (!tags.readable()) {
      notes.emplace_back(
          "the source's tags cannot be read (TagLib does not take the file): "
          "none carried");
      return notes;
    }
    if (tags.set().empty() && tags.set().unreadable.empty()) return notes;
    const TagSet set = with_gain(tags.set(), copy.gain_db, notes);
    std::vector<std::string> left_out;
    if (!set.unreadable.empty())
      left_out.push_back("tags without a text form " + joined(set.unreadable, ", "));
    // The audio as written, to be found unchanged once TagLib has rewritten the file.
    const std::optional<SF_INFO> before = audio_of(copy.output);
    if (!write_tags(copy.output, family_of(copy.output_format), set, left_out))
      return Error("cannot write the tags into the new " + format + " file");
    if (!same_audio(before, audio_of(copy.output)))
      return Error("the new " + format +
                   " file no longer reads as written once its tags were added");
    if (!left_out.empty())
      notes.push_back("not carried to the " + format + " output: " + joined(left_out, "; "));
    return notes;
  } catch (const std::bad_alloc&) {
    return Error("out of memory while copying the tags");
  } catch (const std::exception& e) {
    return Error("cannot copy the tags into the new " + format + " file: " + e.what());
  }
}

Result<std::vector<std::string>> carry_tags(const TagCopy& copy) {
  Result<SourceTags> tags = SourceTags::read(copy.source, copy.source_format);
  if (!tags) return std::move(tags).error();
  return carry_tags(*tags, copy);
}

}  // namespace sonorik::tags
