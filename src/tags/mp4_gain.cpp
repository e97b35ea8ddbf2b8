// Gain tags as freeform MP4 items, and the check that a tagged copy keeps
// its samples and its other items.
#include "tags/mp4_gain.h"

#include <taglib/mp4file.h>
#include <taglib/mp4tag.h>

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "core/file.h"
#include "tags/mp4_atoms.h"

namespace sonorik::tags {

namespace {

constexpr const char* kFreeform = "----:com.apple.iTunes:";

// The gain key an item key names ("----:com.apple.iTunes:replaygain_track_gain"), or "".
std::string gain_key_of(const TagLib::String& item) {
  if (!item.startsWith(kFreeform)) return {};
  const std::string name = item.substr(TagLib::String(kFreeform).size()).upper().to8Bit(true);
  for (const char* k : kGainTagKeys) {
    if (name == k) return name;
  }
  return {};
}

bool named(const std::string& key, const GainValues& values) {
  for (const auto& kv : values) {
    if (kv.first == key) return true;
  }
  return false;
}

std::string upper(const std::string& s) {
  return TagLib::String(s, TagLib::String::UTF8).upper().to8Bit(true);
}

}  // namespace

bool is_mp4_file(const std::string& path) {
  Result<MappedFile> m = MappedFile::open(path);
  return m && looks_like_mp4(m->bytes()) && m->check_unchanged();
}

bool mp4_intact(const std::string& path) {
  Result<MappedFile> m = MappedFile::open(path);
  return m && same_mp4_samples(m->bytes(), m->bytes()) && mp4_items(m->bytes()) &&
         m->check_unchanged();
}

bool tag_mp4(const std::string& path, const GainValues& values, const GainValues& removed) {
  TagLib::MP4::File f(path.c_str(), false);
  if (!f.isValid() || f.tag() == nullptr) return false;
  TagLib::MP4::Tag& tag = *f.tag();
  std::vector<TagLib::String> old;
  for (const auto& [key, item] : tag.itemMap()) {
    const std::string k = gain_key_of(key);
    if (!k.empty() && (named(k, removed) || named(k, values))) old.push_back(key);
  }
  for (const TagLib::String& key : old) tag.removeItem(key);
  for (const auto& [key, value] : values) {
    tag.setItem(kFreeform + key,
                TagLib::MP4::Item(TagLib::StringList(TagLib::String(value, TagLib::String::UTF8))));
  }
  return f.save();
}

Result<GainValues> read_mp4_gain_tags(const std::string& path) {
  TagLib::MP4::File f(path.c_str(), false);
  if (!f.isValid() || f.tag() == nullptr) return Error("TagLib cannot read the file's tags");
  GainValues out;
  for (const char* k : kGainTagKeys) {
    for (const auto& [key, item] : f.tag()->itemMap()) {
      const TagLib::StringList texts = item.toStringList();
      if (gain_key_of(key) == k && !texts.isEmpty()) {
        out.emplace_back(k, texts.front().to8Bit(true));
        break;
      }
    }
  }
  return out;
}

std::optional<std::string> mp4_difference(const std::string& a, const std::string& b,
                                          const GainValues& written) {
  Result<MappedFile> ma = MappedFile::open(a);
  Result<MappedFile> mb = MappedFile::open(b);
  if (!ma || !mb) return "its audio, which cannot be read back";
  if (!same_mp4_samples(ma->bytes(), mb->bytes())) return "its audio samples";
  const std::optional<std::vector<Mp4Item>> ia = mp4_items(ma->bytes());
  const std::optional<std::vector<Mp4Item>> ib = mp4_items(mb->bytes());
  if (!ia || !ib) return "its tags, which cannot be read back";
  // The items but the gain items written or removed, byte for byte.
  auto kept = [&](const std::vector<Mp4Item>& items) {
    std::vector<Bytes> out;
    for (const Mp4Item& i : items) {
      const std::string k = upper(i.freeform_name);
      bool gain = false;
      for (const char* g : kGainTagKeys) gain = gain || k == g;
      if (!gain || !named(k, written)) out.push_back(i.atom);
    }
    return out;
  };
  // TagLib writes the items in the order of their keys: compare them sorted.
  std::vector<Bytes> ka = kept(*ia), kb = kept(*ib);
  const auto before = [](Bytes x, Bytes y) {
    return std::lexicographical_compare(x.begin(), x.end(), y.begin(), y.end());
  };
  std::sort(ka.begin(), ka.end(), before);
  std::sort(kb.begin(), kb.end(), before);
  bool same = ka.size() == kb.size();
  for (std::size_t i = 0; same && i < ka.size(); ++i) {
    same = ka[i].size() == kb[i].size() && std::equal(ka[i].begin(), ka[i].end(), kb[i].begin());
  }
  if (!same) return "its other tags or cover art";
  if (!ma->check_unchanged() || !mb->check_unchanged()) return "its bytes while they were read";
  return std::nullopt;
}

}  // namespace sonorik::tags
