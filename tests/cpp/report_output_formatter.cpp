#include "report/output_formatter.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <random>
#include <sstream>
#include <string>

namespace sonorik::report {
namespace {

namespace fs = std::filesystem;
using M = Metric;
constexpr double kInf = std::numeric_limits<double>::infinity();
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

class TempDir : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "sonorik_report_XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& rel) const { return (dir_ / rel).string(); }

  fs::path dir_;
};

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

AnalysisResults results(std::optional<double> integrated, std::optional<double> true_peak) {
  AnalysisResults r;
  r.integrated_loudness = integrated;
  r.true_peak = true_peak;
  return r;
}

const MetricList kExample = {M::file_name_ext, M::integrated_loudness, M::true_peak};

void write_two(OutputFormat format, const std::string& out) {
  const OutputFormatter f = OutputFormatter::create(format, out, kExample);
  ASSERT_TRUE(f.format_output("a.wav", results(-23.0123456, -1.0039), kExample).ok());
  ASSERT_TRUE(f.format_output("b.wav", results(-18.5, -0.25), kExample).ok());
}

using ReportFile = TempDir;

TEST_F(ReportFile, TwoRecordsInEachFormatExactBytes) {
  write_two(OutputFormat::Csv, path("r.csv"));
  EXPECT_EQ(read_all(path("r.csv")),
            "file_name_ext,integrated_loudness,true_peak\n"
            "a.wav,-23.012,-1.004\n"
            "b.wav,-18.500,-0.250\n");
  write_two(OutputFormat::Tsv, path("r.tsv"));
  EXPECT_EQ(read_all(path("r.tsv")),
            "file_name_ext\tintegrated_loudness\ttrue_peak\n"
            "a.wav\t-23.012\t-1.004\n"
            "b.wav\t-18.500\t-0.250\n");
  write_two(OutputFormat::Json, path("r.json"));
  EXPECT_EQ(read_all(path("r.json")),
            "{\"file_name_ext\":\"a.wav\",\"integrated_loudness\":-23.0123456,\"true_peak\":-1.0039}\n"
            "{\"file_name_ext\":\"b.wav\",\"integrated_loudness\":-18.5,\"true_peak\":-0.25}\n");
  write_two(OutputFormat::Xml, path("r.xml"));
  EXPECT_EQ(read_all(path("r.xml")),
            "<audio><file_name_ext>a.wav</file_name_ext><integrated_loudness>-23.012"
            "</integrated_loudness><true_peak>-1.004</true_peak></audio>\n"
            "<audio><file_name_ext>b.wav</file_name_ext><integrated_loudness>-18.500"
            "</integrated_loudness><true_peak>-0.250</true_peak></audio>\n");
}

TEST_F(ReportFile, HeaderOnlyForNewDelimitedFiles) {
  // A second export appends without a second header.
  write_two(OutputFormat::Csv, path("r.csv"));
  write_two(OutputFormat::Csv, path("r.csv"));
  const std::string once = "a.wav,-23.012,-1.004\nb.wav,-18.500,-0.250\n";
  EXPECT_EQ(read_all(path("r.csv")), "file_name_ext,integrated_loudness,true_peak\n" + once + once);

  // An existing empty file gets no header.
  std::ofstream(path("empty.tsv")).close();
  const MetricList only_name = {M::file_name_ext};
  const auto tsv = OutputFormatter::create(OutputFormat::Tsv, path("empty.tsv"), only_name);
  ASSERT_TRUE(tsv.format_output("x.wav", {}, only_name).ok());
  EXPECT_EQ(read_all(path("empty.tsv")), "x.wav\n");

  // With no record: CSV and TSV keep their header; JSON and XML create no
  // file, but their directories are created all the same.
  OutputFormatter::create(OutputFormat::Csv, path("n/none.csv"), kExample);
  OutputFormatter::create(OutputFormat::Tsv, path("n/none.tsv"), only_name);
  OutputFormatter::create(OutputFormat::Json, path("j/none.json"), kExample);
  OutputFormatter::create(OutputFormat::Xml, path("x/none.xml"), kExample);
  EXPECT_EQ(read_all(path("n/none.csv")), "file_name_ext,integrated_loudness,true_peak\n");
  EXPECT_EQ(read_all(path("n/none.tsv")), "file_name_ext\n");
  EXPECT_FALSE(fs::exists(path("j/none.json")));
  EXPECT_FALSE(fs::exists(path("x/none.xml")));
  EXPECT_TRUE(fs::is_directory(path("j")));
  EXPECT_TRUE(fs::is_directory(path("x")));
}

TEST_F(ReportFile, MissingDirectoriesCreatedWithOpenPermissions) {
  const mode_t old = ::umask(0);
  const auto f = OutputFormatter::create(OutputFormat::Json, path("a/b//c/r.json"), kExample);
  const Status st = f.format_output("a.wav", {}, kExample);
  ::umask(old);
  ASSERT_TRUE(st.ok()) << st.error().message();
  EXPECT_EQ(read_all(path("a/b/c/r.json")),
            "{\"file_name_ext\":\"a.wav\",\"integrated_loudness\":null,\"true_peak\":null}\n");
  EXPECT_EQ(fs::status(path("a/b")).permissions(), fs::perms::all);
  EXPECT_EQ(fs::status(path("a/b/c/r.json")).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read |
                fs::perms::group_write | fs::perms::others_read | fs::perms::others_write);
}

TEST_F(ReportFile, DirectoriesRemovedAfterCreateAreMadeAgainForARecord) {
  const auto f = OutputFormatter::create(OutputFormat::Csv, path("d/r.csv"), kExample);
  fs::remove_all(path("d"));
  ASSERT_TRUE(f.format_output("a.wav", results(-23, -1), kExample).ok());
  EXPECT_EQ(read_all(path("d/r.csv")), "a.wav,-23.000,-1.000\n");
}

class Unwritable : public TempDir, public ::testing::WithParamInterface<OutputFormat> {};

TEST_P(Unwritable, DirectoryAsReportPathFailsAtFirstRecord) {
  fs::create_directory(path("report"));
  const auto f = OutputFormatter::create(GetParam(), path("report"), kExample);
  EXPECT_TRUE(fs::is_empty(path("report")));
  const Status st = f.format_output("a.wav", {}, kExample);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().message(), "Is a directory (os error 21)");
}

TEST_P(Unwritable, PathBelowARegularFileFailsNotADirectory) {
  std::ofstream(path("plain")) << "x";
  for (const char* rel : {"plain/r.out", "plain/sub/r.out"}) {
    const auto f = OutputFormatter::create(GetParam(), path(rel), kExample);
    const Status st = f.format_output("a.wav", {}, kExample);
    ASSERT_FALSE(st.ok()) << rel;
    EXPECT_EQ(st.error().message(), "Not a directory (os error 20)") << rel;
  }
  EXPECT_EQ(read_all(path("plain")), "x");
}

INSTANTIATE_TEST_SUITE_P(Formats, Unwritable,
                         ::testing::Values(OutputFormat::Csv, OutputFormat::Tsv,
                                           OutputFormat::Json, OutputFormat::Xml));

// Records built in memory.

// A report path that can never be created: building a record writes nothing.
std::string record(OutputFormat format, std::string_view name, const AnalysisResults& r,
                   const MetricList& metrics) {
  return OutputFormatter::create(format, "/proc/sonorik-none/never-written", metrics)
      .record(name, r, metrics);
}

const MetricList kAllEight = {M::file_name_ext,   M::integrated_loudness, M::short_term_loudness,
                              M::momentary_loudness, M::loudness_range, M::true_peak,
                              M::rms_max,         M::rms_average};

TEST(Record, AbsentAndNonFiniteMeasures) {
  AnalysisResults r;
  r.integrated_loudness = -kInf;
  r.short_term_loudness = kInf;
  r.momentary_loudness = kNaN;
  r.loudness_range = -std::numeric_limits<double>::quiet_NaN();
  r.rms_max = -3.5;
  EXPECT_EQ(record(OutputFormat::Csv, "a.wav", r, kAllEight),
            "a.wav,-inf,inf,NaN,NaN,N/A,-3.500,N/A");
  EXPECT_EQ(record(OutputFormat::Xml, "a.wav", r, kAllEight),
            "<audio><file_name_ext>a.wav</file_name_ext>"
            "<integrated_loudness>-inf</integrated_loudness>"
            "<short_term_loudness>inf</short_term_loudness>"
            "<momentary_loudness>NaN</momentary_loudness>"
            "<loudness_range>NaN</loudness_range><true_peak>N/A</true_peak>"
            "<rms_max>-3.500</rms_max><rms_average>N/A</rms_average></audio>");
  EXPECT_EQ(record(OutputFormat::Json, "a.wav", r, kAllEight),
            "{\"file_name_ext\":\"a.wav\",\"integrated_loudness\":0,\"loudness_range\":0,"
            "\"momentary_loudness\":0,\"rms_average\":null,\"rms_max\":-3.5,"
            "\"short_term_loudness\":0,\"true_peak\":null}");
}

TEST(Record, JsonKeysAscendingWhateverTheListOrder) {
  const MetricList reversed(kAllEight.rbegin(), kAllEight.rend());
  AnalysisResults r;
  r.true_peak = -1.0;
  EXPECT_EQ(record(OutputFormat::Json, "a.wav", r, reversed),
            "{\"file_name_ext\":\"a.wav\",\"integrated_loudness\":null,\"loudness_range\":null,"
            "\"momentary_loudness\":null,\"rms_average\":null,\"rms_max\":null,"
            "\"short_term_loudness\":null,\"true_peak\":-1.0}");
  // A repeated field is one JSON key but one column per occurrence elsewhere.
  const MetricList twice = {M::true_peak, M::file_name_ext, M::true_peak};
  EXPECT_EQ(record(OutputFormat::Json, "a.wav", r, twice),
            "{\"file_name_ext\":\"a.wav\",\"true_peak\":-1.0}");
  EXPECT_EQ(record(OutputFormat::Csv, "a.wav", r, twice), "-1.000,a.wav,-1.000");
  EXPECT_EQ(header_line(OutputFormat::Tsv, twice), "true_peak\tfile_name_ext\ttrue_peak");
  EXPECT_EQ(record(OutputFormat::Json, "a.wav", r, {}), "{}");
  EXPECT_EQ(record(OutputFormat::Xml, "a.wav", r, {}), "<audio></audio>");
  EXPECT_EQ(record(OutputFormat::Csv, "a.wav", r, {}), "");
}

TEST(Record, FieldsWithoutAValueAreAbsent) {
  const MetricList others = {M::file_name, M::full_path, M::sample_rate, M::rms_min,
                             M::sample_peak};
  AnalysisResults r;
  r.rms_max = -1.0;
  EXPECT_EQ(record(OutputFormat::Csv, "a.wav", r, others), "N/A,N/A,N/A,N/A,N/A");
  EXPECT_EQ(record(OutputFormat::Json, "a.wav", r, others),
            "{\"file_name\":null,\"full_path\":null,\"rms_min\":null,\"sample_peak\":null,"
            "\"sample_rate\":null}");
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
            "<audio><file_name_ext>" + std::string(c.xml) +
                "</file_name_ext><rms_max>-3.500</rms_max></audio>");
  EXPECT_EQ(record(OutputFormat::Json, c.name, r, metrics),
            "{\"file_name_ext\":" + std::string(c.json) + ",\"rms_max\":-3.5}");
}

INSTANTIATE_TEST_SUITE_P(
    Escaping, Names,
    ::testing::Values(
        NameCase{"plain name.wav", "plain name.wav", "plain name.wav", "plain name.wav",
                 "\"plain name.wav\""},
        NameCase{"a,b.wav", "\"a,b.wav\"", "a,b.wav", "a,b.wav", "\"a,b.wav\""},
        NameCase{"t\tab.wav", "t\tab.wav", "\"t\tab.wav\"", "t\tab.wav", "\"t\\tab.wav\""},
        NameCase{"say \"hi\".wav", "\"say \"\"hi\"\".wav\"", "\"say \"\"hi\"\".wav\"",
                 "say \"hi\".wav", "\"say \\\"hi\\\".wav\""},
        NameCase{"two\nlines\r.wav", "\"two\nlines\r.wav\"", "\"two\nlines\r.wav\"",
                 "two&#10;lines&#13;.wav", "\"two\\nlines\\r.wav\""},
        NameCase{"R&B <live>.wav", "R&B <live>.wav", "R&B <live>.wav",
                 "R&amp;B &lt;live&gt;.wav", "\"R&B <live>.wav\""},
        NameCase{"caf\xc3\xa9 \xe9\x9f\xb3.wav", "caf\xc3\xa9 \xe9\x9f\xb3.wav",
                 "caf\xc3\xa9 \xe9\x9f\xb3.wav", "caf\xc3\xa9 \xe9\x9f\xb3.wav",
                 "\"caf\xc3\xa9 \xe9\x9f\xb3.wav\""},
        NameCase{"back\\slash\x01.wav", "back\\slash\x01.wav", "back\\slash\x01.wav",
                 "back\\slash\x01.wav", "\"back\\\\slash\\u0001.wav\""},
        NameCase{"bad\xff.wav", "bad\xff.wav", "bad\xff.wav", "bad\xff.wav",
                 "\"bad\xef\xbf\xbd.wav\""}));

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
    ::testing::Values(NumberCase{-23.0, "-23.000", "-23.0"}, NumberCase{0.125, "0.125", "0.125"},
                      NumberCase{-23.0123456, "-23.012", "-23.0123456"},
                      NumberCase{-0.0, "-0.000", "-0.0"}, NumberCase{0.0, "0.000", "0.0"},
                      NumberCase{-0.0004, "-0.000", "-0.0004"},
                      NumberCase{0.0001, "0.000", "0.0001"},
                      NumberCase{1e-5, "0.000", "1e-05"},
                      NumberCase{-1.5e-7, "-0.000", "-1.5e-07"},
                      NumberCase{0.1 + 0.2, "0.300", "0.30000000000000004"},
                      NumberCase{-70.0, "-70.000", "-70.0"},
                      NumberCase{99.9996, "100.000", "99.9996"},
                      NumberCase{1e15, "1000000000000000.000", "1000000000000000.0"},
                      NumberCase{1e16, "10000000000000000.000", "1e+16"},
                      NumberCase{5e-324, "0.000", "5e-324"}));

TEST(Numbers, LargestDoubleInThreeDecimals) {
  const std::string text = three_decimals(-std::numeric_limits<double>::max());
  EXPECT_EQ(text.size(), 1 + 309 + 4u);
  EXPECT_EQ(text.substr(0, 6), "-17976");
  EXPECT_EQ(text.substr(text.size() - 4), ".000");
}

// Oracle: the text reads back with strtod as the same double, and rounding
// the value to one significant digit fewer (printf) does not.
TEST(Numbers, JsonFormReadsBackAndIsShortest) {
  std::mt19937_64 gen(20240611);
  std::uniform_real_distribution<double> level(-200.0, 30.0);
  std::uniform_int_distribution<int> scale(-30, 60);
  for (int i = 0; i < 20000; ++i) {
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
