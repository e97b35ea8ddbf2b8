#include "audio/flac_channel_mask.h"

#include <flacfile.h>
#include <id3v2framefactory.h>
#include <tiostream.h>
#include <xiphcomment.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace sonorik {

namespace {

constexpr const char* kField = "WAVEFORMATEXTENSIBLE_CHANNEL_MASK";

// TagLib's view of a ByteReader: reads by offset, never writes.
class ReaderStream final : public TagLib::IOStream {
 public:
  explicit ReaderStream(ByteReader& input) : input_(input) {}
  TagLib::FileName name() const override { return ""; }
  TagLib::ByteVector readBlock(unsigned long length) override {
    const long size = this->length();
    const unsigned long left = at_ < size ? static_cast<unsigned long>(size - at_) : 0;
    TagLib::ByteVector out(static_cast<unsigned int>(std::min(length, left)), '\0');
    if (out.isEmpty()) return out;
    Result<std::size_t> got = input_.read_at(
        static_cast<std::uint64_t>(at_), reinterpret_cast<std::uint8_t*>(out.data()), out.size());
    const std::size_t n = got ? *got : 0;
    out.resize(static_cast<unsigned int>(n));
    at_ += static_cast<long>(n);
    return out;
  }
  void writeBlock(const TagLib::ByteVector&) override {}
  void insert(const TagLib::ByteVector&, unsigned long, unsigned long) override {}
  void removeBlock(unsigned long, unsigned long) override {}
  bool readOnly() const override { return true; }
  bool isOpen() const override { return true; }
  void seek(long offset, Position p) override {
    const long base = p == Beginning ? 0 : p == Current ? at_ : length();
    at_ = std::max(0L, base + offset);
  }
  long tell() const override { return at_; }
  long length() override {
    if (length_ < 0) {
      Result<std::optional<std::uint64_t>> n = input_.length_bytes();
      length_ = n && *n ? static_cast<long>(std::min<std::uint64_t>(**n, LONG_MAX)) : 0;
    }
    return length_;
  }
  void truncate(long) override {}

 private:
  ByteReader& input_;
  long at_ = 0;
  long length_ = -1;
};

std::uint32_t mask_of(TagLib::FLAC::File& file) {
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

}  // namespace

std::uint32_t read_flac_channel_mask(const std::string& path) {
  TagLib::FLAC::File file(path.c_str(), false);
  return mask_of(file);
}

std::uint32_t read_flac_channel_mask(ByteReader& input) {
  ReaderStream stream(input);
  TagLib::FLAC::File file(&stream, TagLib::ID3v2::FrameFactory::instance(), false);
  return mask_of(file);
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
