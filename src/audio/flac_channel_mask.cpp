#include "audio/flac_channel_mask.h"

#include <flacfile.h>
#include <xiphcomment.h>

#include <cstdio>
#include <cstdlib>

namespace sonorik {

namespace {
constexpr const char* kField = "WAVEFORMATEXTENSIBLE_CHANNEL_MASK";
}

std::uint32_t read_flac_channel_mask(const std::string& path) {
  TagLib::FLAC::File file(path.c_str(), false);
  if (!file.isValid() || !file.hasXiphComment()) return 0;
  const TagLib::Ogg::FieldListMap& fields = file.xiphComment()->fieldListMap();
  const auto it = fields.find(kField);
  if (it == fields.end() || it->second.isEmpty()) return 0;
  const std::string text = it->second.front().to8Bit();
  char* end = nullptr;
  const unsigned long mask = std::strtoul(text.c_str(), &end, 0);
  if (end == text.c_str() || *end != '\0' || mask > 0xFFFFFFFFul) return 0;
  return static_cast<std::uint32_t>(mask);
}

Status write_flac_channel_mask(const std::string& path, std::uint32_t mask) {
  TagLib::FLAC::File file(path.c_str(), false);
  char text[16];
  std::snprintf(text, sizeof text, "0x%04X", static_cast<unsigned>(mask));
  if (file.isValid()) {
    file.xiphComment(true)->addField(kField, text, true);
    if (file.save()) return ok_status();
  }
  return Error("cannot write the channel mask into the FLAC file");
}

}  // namespace sonorik
