// Report records: exact bytes of the canonical examples, the header rule,
// escaping of names and the forms of numbers.
#include "report/output_formatter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <string>

#include "support.h"

namespace sonorik::report {
namespace {

namespace fs = std::filesystem;
using M = Metric;
using testing::read_all;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

const MetricList kExample = {M::file_name_ext, M::integrated_loudness, M::true_peak};

void write_two(OutputFormat format, const std::string& out) {
  AnalysisResults a, b;
  a.integrated_loudness = -23.0123456;
  a.true_peak = -1.0039;
  b.integrated_loudness = -18.5;
  b.true_peak = -0.25;
  const OutputFormatter f = OutputFormatter::create(format, out, kExample);
  ASSERT_TRUE(f.format_output("a.wav", a, kExample).ok());
  ASSERT_TRUE(f.format_output("b.wav", b, kExample).ok());
}

TEST(ReportFile, TwoRecordsInEachFormatExactBytes) {
  testing::TempDir dir;
  const std::pair<OutputFormat, const char*> expected[] = {
      {OutputFormat::Csv,
       "file_name_ext,integrated_loudness,true_peak\na.wav,-23.012,-1.004\nb.wav,-18.500,-0.250\n"},
      {OutputFormat::Tsv,
       "file_name_ext\tintegrated_loudness\ttrue_peak\na.wav\t-23.012\t-1.004\nb.wav\t-18.500\t-0.250\n"},
      {OutputFormat::Json,
       "{\"file_name_ext\":\"a.wav\",\"integrated_loudness\":-23.0123456,\"true_peak\":-1.0039}\n"
       "{\"file_name_ext\":\"b.wav\",\"integrated_loudness\":-18.5,\"true_peak\":-0.25}\n"},
      {OutputFormat::Xml,
       "<audio><file_name_ext>a.wav</file_name_ext><integrated_loudness>-23.012</integrated_loudness>"
       "<true_peak>-1.004</true_peak></audio>\n"
       "<audio><file_name_ext>b.wav</file_name_ext><integrated_loudness>-18.500</integrated_loudness>"
       "<true_peak>-0.250</true_peak></audio>\n"}};
  for (const auto& [format, bytes] : expected) {
    const std::string path = dir.path("r" + std::to_string(static_cast<int>(format)));
    write_two(format, path);
    EXPECT_EQ(read_all(path), bytes);
  }
}

// A header only for a new delimited file; none for an existing one, even an
// empty one. With no record, CSV and TSV keep their header, JSON and XML
// create no file, but the directories are created all the same, open to all
// but the umask.
TEST(ReportFile, HeaderRule) {
  testing::TempDir dir;
  write_two(OutputFormat::Csv, dir.path("r.csv"));
  write_two(OutputFormat::Csv, dir.path("r.csv"));
  const std::string once = "a.wav,-23.012,-1.004\nb.wav,-18.500,-0.250\n";
  EXPECT_EQ(read_all(dir.path("r.csv")), "file_name_ext,integrated_loudness,true_peak\n" + once + once);

  const std::string empty = dir.write("empty.tsv", "");
  const MetricList only_name = {M::file_name_ext};
  ASSERT_TRUE(OutputFormatter::create(OutputFormat::Tsv, empty, only_name).format_output("x.wav", {}, only_name).ok());
  EXPECT_EQ(read_all(empty), "x.wav\n");

  const mode_t old = ::umask(0);
  OutputFormatter::create(OutputFormat::Csv, dir.path("n/none.csv"), kExample);
  OutputFormatter::create(OutputFormat::Json, dir.path("j/k/none.json"), kExample);
  OutputFormatter::create(OutputFormat::Xml, dir.path("x/none.xml"), kExample);
  ::umask(old);
  EXPECT_EQ(read_all(dir.path("n/none.csv")), "file_name_ext,integrated_loudness,true_peak\n");
  EXPECT_EQ(fs::status(dir.path("n/none.csv")).permissions() & fs::perms::all,
            fs::perms::all & ~(fs::perms::owner_exec | fs::perms::group_exec | fs::perms::others_exec));
  EXPECT_FALSE(fs::exists(dir.path("j/k/none.json")));
  EXPECT_FALSE(fs::exists(dir.path("x/none.xml")));
  EXPECT_EQ(fs::status(dir.path("j/k")).permissions(), fs::perms::all);
  EXPECT_TRUE(fs::is_directory(dir.path("x")));
}

// Records built in memory against a report path that can never be created.
std::string record(OutputFormat format, std::string_view name, const AnalysisResults& r, const MetricList& metrics) {
  return OutputFormatter::create(format, "/proc/sonorik-none/never-written", metrics).record(name, r, metrics);
}

TEST(Record, AbsentAndNonFiniteMeasures) {
  const MetricList all = {M::file_name_ext, M::integrated_loudness, M::short_term_loudness, M::momentary_loudness,
                          M::loudness_range, M::true_peak,          M::rms_max,             M::rms_average};
  AnalysisResults r;
  r.integrated_loudness = -kInf;
  r.short_term_loudness = kInf;
  r.momentary_loudness = kNaN;
  r.loudness_range = -kNaN;
  r.rms_max = -3.5;
  EXPECT_EQ(record(OutputFormat::Csv, "a.wav", r, all), "a.wav,-inf,inf,NaN,NaN,N/A,-3.500,N/A");
  EXPECT_EQ(record(OutputFormat::Xml, "a.wav", r, all),
            "<audio><file_name_ext>a.wav</file_name_ext><integrated_loudness>-inf</integrated_loudness>"
            "<short_term_loudness>inf</short_term_loudness><momentary_loudness>NaN</momentary_loudness>"
            "<loudness_range>NaN</loudness_range><true_peak>N/A</true_peak>"
            "<rms_max>-3.500</rms_max><rms_average>N/A</rms_average></audio>");
  EXPECT_EQ(record(OutputFormat::Json, "a.wav", r, all),
            "{\"file_name_ext\":\"a.wav\",\"integrated_loudness\":0,\"loudness_range\":0,"
            "\"momentary_loudness\":0,\"rms_average\":null,\"rms_max\":-3.5,"
            "\"short_term_loudness\":0,\"true_peak\":null}");
}

struct NameCase {
  const char* name;
  const char* csv;
  const char* tsv;
  const char* xml;
  const char* json;
};
class Names : public ::testing::TestWithParam<NameCase> {};

TEST_P(Names, NeverBreakTheRecord) {
  const NameCase& c = GetParam();
  const MetricList metrics = {M::file_name_ext, M::rms_max};
  AnalysisResults r;
  r.rms_max = -3.5;
  EXPECT_EQ(record(OutputFormat::Csv, c.name, r, metrics), std::string(c.csv) + ",-3.500");
  EXPECT_EQ(record(OutputFormat::Tsv, c.name, r, metrics), std::string(c.tsv) + "\t-3.500");
  EXPECT_EQ(record(OutputFormat::Xml, c.name, r, metrics),
            "<audio><file_name_ext>" + std::string(c.xml) + "</file_name_ext><rms_max>-3.500</rms_max></audio>");
  EXPECT_EQ(record(OutputFormat::Json, c.name, r, metrics), "{\"file_name_ext\":" + std::string(c.json) + ",\"rms_max\":-3.5}");
}

INSTANTIATE_TEST_SUITE_P(
    Escaping, Names,
    ::testing::Values(
        NameCase{"plain name.wav", "plain name.wav", "plain name.wav", "plain name.wav", "\"plain name.wav\""},
        NameCase{"a,b.wav", "\"a,b.wav\"", "a,b.wav", "a,b.wav", "\"a,b.wav\""},
        NameCase{"t\tab.wav", "t\tab.wav", "\"t\tab.wav\"", "t\tab.wav", "\"t\\tab.wav\""},
        NameCase{"say \"hi\".wav", "\"say \"\"hi\"\".wav\"", "\"say \"\"hi\"\".wav\"", "say \"hi\".wav",
                 "\"say \\\"hi\\\".wav\""},
        NameCase{"two\nlines\r.wav", "\"two\nlines\r.wav\"", "\"two\nlines\r.wav\"", "two&#10;lines&#13;.wav",
                 "\"two\\nlines\\r.wav\""},
        NameCase{"R&B <live>.wav", "R&B <live>.wav", "R&B <live>.wav", "R&amp;B &lt;live&gt;.wav", "\"R&B <live>.wav\""},
        NameCase{"caf\xc3\xa9.wav", "caf\xc3\xa9.wav", "caf\xc3\xa9.wav", "caf\xc3\xa9.wav", "\"caf\xc3\xa9.wav\""},
        NameCase{"back\\slash\x01.wav", "back\\slash\x01.wav", "back\\slash\x01.wav", "back\\slash\x01.wav",
                 "\"back\\\\slash\\u0001.wav\""},
        NameCase{"bad\xff.wav", "bad\xff.wav", "bad\xff.wav", "bad\xff.wav", "\"bad\xef\xbf\xbd.wav\""}));

struct NumberCase {
  double value;
  const char* decimals;
  const char* json;
};
class Numbers : public ::testing::TestWithParam<NumberCase> {};

TEST_P(Numbers, ThreeDecimalsAndShortestJson) {
  EXPECT_EQ(three_decimals(GetParam().value), GetParam().decimals);
  EXPECT_EQ(shortest_json_number(GetParam().value), GetParam().json);
}
INSTANTIATE_TEST_SUITE_P(
    Forms, Numbers,
    ::testing::Values(NumberCase{-23.0, "-23.000", "-23.0"}, NumberCase{-0.0, "-0.000", "-0.0"},
                      NumberCase{-0.0004, "-0.000", "-0.0004"}, NumberCase{1e-5, "0.000", "1e-05"},
                      NumberCase{0.1 + 0.2, "0.300", "0.30000000000000004"},
                      NumberCase{99.9996, "100.000", "99.9996"},
                      NumberCase{1e15, "1000000000000000.000", "1000000000000000.0"},
                      NumberCase{1e16, "10000000000000000.000", "1e+16"}, NumberCase{5e-324, "0.000", "5e-324"}));

// Oracle: the JSON form reads back with strtod as the same double, and the
// value printed with one significant digit fewer does not.
TEST(Numbers, JsonFormReadsBackAndIsShortest) {
  std::mt19937_64 gen(20240611);
  std::uniform_real_distribution<double> level(-200.0, 30.0);
  std::uniform_int_distribution<int> scale(-30, 60);
  for (int i = 0; i < 5000; ++i) {
    const double v = std::ldexp(level(gen), scale(gen));
    const std::string text = shortest_json_number(v);
    ASSERT_EQ(std::strtod(text.c_str(), nullptr), v) << text;
    std::string digits;
    for (const char c : text.substr(0, text.find('e'))) {
      if (c >= '0' && c <= '9') digits += c;
    }
    digits.erase(0, digits.find_first_not_of('0'));
    digits.erase(digits.find_last_not_of('0') + 1);
    if (digits.size() < 2) continue;
    char fewer[64];
    std::snprintf(fewer, sizeof fewer, "%.*e", static_cast<int>(digits.size()) - 2, v);
    ASSERT_NE(std::strtod(fewer, nullptr), v) << text << " vs " << fewer;
  }
}

}  // namespace
}  // namespace sonorik::report
