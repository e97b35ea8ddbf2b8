// carry_tags' answers that normalize acts on but Python cannot provoke: a
// written file TagLib cannot take is an error (the file is then discarded),
// and a source whose tags TagLib cannot read is a note, not an error.
#include "tags/tags.h"

#include <gtest/gtest.h>
#include <sndfile.h>

#include <string>

#include "support.h"

namespace sonorik {
namespace {

// A short mono WAV file with a RIFF INFO title.
std::string titled_wav() {
  std::string wav = testing::wav_file(1, 8000, 16, std::string(1600, '\x10'));
  wav += std::string("LIST\x14\0\0\0INFOINAM\x08\0\0\0Song\0\0\0\0", 28);
  const auto riff = static_cast<std::uint32_t>(wav.size() - 8);
  for (int i = 0; i < 4; ++i) wav[4 + i] = static_cast<char>((riff >> (8 * i)) & 0xFF);
  return wav;
}

TEST(CarryTags, AWrittenFileTagLibCannotTakeIsAnError) {
  testing::TempDir dir;
  const tags::TagCopy copy{dir.write("in.wav", titled_wav()),
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                           dir.write("out", "not a FLAC file"),
                           SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                           "FLAC PCM_16",
                           2.0};
  const Result<std::vector<std::string>> notes = tags::carry_tags(copy);
  ASSERT_FALSE(notes.ok());
  EXPECT_EQ(notes.error().message(), "cannot write the tags into the new FLAC file");
}

TEST(CarryTags, ASourceTagLibCannotReadIsANote) {
  testing::TempDir dir;
  const std::string out =
      dir.write("out.wav", testing::wav_file(1, 8000, 16, std::string(160, '\0')));
  const tags::TagCopy copy{dir.write("in.flac", std::string(4096, '\0')),
                           SF_FORMAT_FLAC | SF_FORMAT_PCM_16,
                           out,
                           SF_FORMAT_WAV | SF_FORMAT_PCM_16,
                           "WAV PCM_16",
                           2.0};
  const Result<std::vector<std::string>> notes = tags::carry_tags(copy);
  ASSERT_TRUE(notes.ok());
  EXPECT_EQ(notes.value(),
            std::vector<std::string>{"the source's tags cannot be read (TagLib does not "
                                     "take the file): none carried"});
}

}  // namespace
}  // namespace sonorik
