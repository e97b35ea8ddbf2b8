#include <gtest/gtest.h>

#include "core/error.h"
#include "core/text.h"

namespace sonorik {
namespace {

TEST(OsErrorText, DescriptionThenNumber) {
  EXPECT_EQ(os_error_text(2), "No such file or directory (os error 2)");
  EXPECT_EQ(os_error_text(13), "Permission denied (os error 13)");
}

TEST(Quoted, EscapesQuotesBackslashesAndControls) {
  EXPECT_EQ(quoted_path("a.wav"), "\"a.wav\"");
  EXPECT_EQ(quoted_path("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted_path(std::string("t\tr\rn\nz\0", 8)), "\"t\\tr\\rn\\nz\\0\"");
  EXPECT_EQ(quoted_path("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(quoted_path("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  EXPECT_EQ(quoted_path("bad\xff"), "\"bad\\xFF\"");
}

struct ExtCase {
  const char* path;
  const char* lower_ext;
};
class Extension : public ::testing::TestWithParam<ExtCase> {};
TEST_P(Extension, LowerCasedAfterLastDotOfFinalComponent) {
  EXPECT_EQ(lower_extension(GetParam().path), GetParam().lower_ext);
}
INSTANTIATE_TEST_SUITE_P(Paths, Extension,
                         ::testing::Values(ExtCase{"a.wav", "wav"}, ExtCase{"dir/B.WAV", "wav"},
                                           ExtCase{"x.tar.AiFf", "aiff"}, ExtCase{".wav", ""},
                                           ExtCase{"dir/.wav", ""}, ExtCase{"noext", ""},
                                           ExtCase{"dir.d/noext", ""}, ExtCase{"a.", ""},
                                           ExtCase{"a.w\xffv", ""}, ExtCase{"d/a.wav/", "wav"}));

TEST(FileName, LastComponent) {
  EXPECT_EQ(file_name("dir/sub/a.wav"), "a.wav");
  EXPECT_EQ(file_name("a.wav"), "a.wav");
  EXPECT_EQ(file_name("dir/"), "dir");
  EXPECT_EQ(file_name("/"), "");
  EXPECT_EQ(file_name("dir/.."), "");
}

TEST(ErrorChain, PlainShowsOutermostOnly) {
  const Error e("outer", Error("middle", Error("inner")));
  EXPECT_EQ(e.message(), "outer");
  ASSERT_NE(e.cause(), nullptr);
  EXPECT_EQ(e.cause()->message(), "middle");
  EXPECT_EQ(e.chain(), "outer: middle: inner");
}

}  // namespace
}  // namespace sonorik

namespace sonorik {
namespace {

struct DurationCase {
  double seconds;
  const char* text;
};
class Duration : public ::testing::TestWithParam<DurationCase> {};
TEST_P(Duration, HoursMinutesSecondsWithThreeDecimals) {
  EXPECT_EQ(format_duration(GetParam().seconds), GetParam().text);
}
INSTANTIATE_TEST_SUITE_P(
    Values, Duration,
    ::testing::Values(DurationCase{205.12, "00:03:25.120"}, DurationCase{7205.0, "02:00:05.000"},
                      DurationCase{101 * 3600.0, "101:00:00.000"}, DurationCase{0.5, "00:00:00.500"},
                      DurationCase{59.9996, "00:00:60.000"}, DurationCase{0.0, "00:00:00.000"}));

}  // namespace
}  // namespace sonorik
