// Path and duration text at edges the Python tests cannot reach with file names.
#include "core/text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace sonorik {
namespace {

TEST(QuotedPath, EscapesQuotesBackslashesControlsAndInvalidBytes) {
  EXPECT_EQ(quoted_path("a\"b\\c"), "\"a\\\"b\\\\c\"");
  EXPECT_EQ(quoted_path(std::string("t\tr\rn\nz\0", 8)), "\"t\\tr\\rn\\nz\\0\"");
  EXPECT_EQ(quoted_path("\x01\x7f"), "\"\\u{1}\\u{7f}\"");
  EXPECT_EQ(quoted_path("caf\xc3\xa9"), "\"caf\xc3\xa9\"");
  EXPECT_EQ(quoted_path("bad\xff"), "\"bad\\xFF\"");
}

TEST(LowerExtension, AfterTheLastDotOfTheFinalComponent) {
  EXPECT_EQ(lower_extension("x.tar.AiFf"), "aiff");
  EXPECT_EQ(lower_extension("dir/.wav"), "");
  EXPECT_EQ(lower_extension("dir.d/noext"), "");
  EXPECT_EQ(lower_extension("a."), "");
  EXPECT_EQ(lower_extension("a.w\xffv"), "");
  EXPECT_EQ(lower_extension("d/a.wav/"), "wav");
}

TEST(FormatDuration, RoundsTheSecondsOnlyAndHoursGrowPastTwoDigits) {
  EXPECT_EQ(format_duration(59.9996), "00:00:60.000");
  EXPECT_EQ(format_duration(101 * 3600.0), "101:00:00.000");
  EXPECT_EQ(format_duration(0.0), "00:00:00.000");
  // 0 Hz headers on the fast path: frames / 0.
  EXPECT_EQ(format_duration(HUGE_VAL), "4294967295:00:000NaN");
  EXPECT_EQ(format_duration(std::nan("")), "00:00:000NaN");
}

}  // namespace
}  // namespace sonorik
