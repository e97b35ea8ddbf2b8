// ReplayGain and R128 gain tags after the audio's gain changed: a player
// applying them plays the file exactly as loud as before.
#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <optional>
#include <string>

#include "tags/tag_set.h"

namespace sonorik::tags {

namespace {

enum class GainKind { gain_db, peak, r128 };

struct GainKey {
  const char* key;
  GainKind kind;
};

constexpr GainKey kGainKeys[] = {
    {"REPLAYGAIN_TRACK_GAIN", GainKind::gain_db}, {"REPLAYGAIN_ALBUM_GAIN", GainKind::gain_db},
    {"REPLAYGAIN_TRACK_PEAK", GainKind::peak},    {"REPLAYGAIN_ALBUM_PEAK", GainKind::peak},
    {"R128_TRACK_GAIN", GainKind::r128},          {"R128_ALBUM_GAIN", GainKind::r128},
};

// "-6.02 dB", "+1.5dB", "0.98": the number, with "dB" allowed after gains.
std::optional<double> number_in(const std::string& text, bool db_unit) {
  std::size_t at = text.find_first_not_of(' ');
  if (at == std::string::npos) return std::nullopt;
  if (text[at] == '+') ++at;
  double v = 0.0;
  const char* end = text.data() + text.size();
  const auto [rest, ec] = std::from_chars(text.data() + at, end, v);
  if (ec != std::errc() || !std::isfinite(v)) return std::nullopt;
  std::string tail(rest, end);
  while (!tail.empty() && tail.front() == ' ') tail.erase(0, 1);
  while (!tail.empty() && tail.back() == ' ') tail.pop_back();
  if (tail.empty() || (db_unit && (tail == "dB" || tail == "db" || tail == "DB"))) return v;
  return std::nullopt;
}

// The new text of one value, or nothing when it cannot be updated.
std::optional<std::string> updated(GainKind kind, const std::string& text, double gain_db) {
  char buf[48];
  if (kind == GainKind::r128) {
    int q = 0;
    const char* end = text.data() + text.size();
    const char* begin = text.data() + (text.rfind('+', 0) == 0 ? 1 : 0);
    const auto [rest, ec] = std::from_chars(begin, end, q);
    if (ec != std::errc() || rest != end) return std::nullopt;
    const long v = q - std::lround(gain_db * 256.0);
    if (v < -32768 || v > 32767) return std::nullopt;
    std::snprintf(buf, sizeof buf, "%ld", v);
    return std::string(buf);
  }
  const std::optional<double> v = number_in(text, kind == GainKind::gain_db);
  if (!v) return std::nullopt;
  if (kind == GainKind::gain_db) {
    std::snprintf(buf, sizeof buf, "%.2f dB", *v - gain_db);
  } else {
    std::snprintf(buf, sizeof buf, "%.6f", *v * std::pow(10.0, gain_db / 20.0));
  }
  return std::string(buf);
}

}  // namespace

void update_gain_tags(TagLib::PropertyMap& text, double gain_db, std::vector<std::string>& notes) {
  for (const GainKey& g : kGainKeys) {
    if (!text.contains(g.key)) continue;
    TagLib::StringList values;
    bool all = true;
    for (const TagLib::String& v : text[g.key]) {
      std::optional<std::string> u = updated(g.kind, v.to8Bit(true), gain_db);
      if (!u) {
        notes.push_back(std::string(g.key) + " removed: '" + v.to8Bit(true) + "' cannot be " +
                        (g.kind == GainKind::r128
                             ? "changed by the gain applied within the tag's range"
                             : "read as a number"));
        all = false;
        break;
      }
      values.append(TagLib::String(*u, TagLib::String::UTF8));
    }
    if (all) {
      text.replace(g.key, values);
    } else {
      text.erase(g.key);
    }
  }
}

void update_bext_loudness(TagLib::ByteVector& bext, double gain_db) {
  constexpr unsigned kVersion = 346;                   // after the texts, dates and time reference
  constexpr unsigned kMoved[] = {412, 416, 418, 420};  // loudness, true peak, momentary, short-term
  constexpr short kUnset = 0x7fff;
  if (bext.size() < 422 || bext.toUShort(kVersion, false) < 2) return;
  const long step = std::lround(gain_db * 100.0);
  for (unsigned at : kMoved) {
    const short v = bext.toShort(at, false);
    if (v == kUnset) continue;
    const long moved = std::clamp<long>(v + step, -32768, kUnset - 1);
    const TagLib::ByteVector bytes =
        TagLib::ByteVector::fromShort(static_cast<short>(moved), false);
    for (unsigned i = 0; i < 2; ++i) bext[static_cast<int>(at + i)] = bytes[static_cast<int>(i)];
  }
}

}  // namespace sonorik::tags
