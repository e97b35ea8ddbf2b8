#include "report/export.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <sstream>
#include <string>
#include <vector>

#include "core/text.h"

namespace sonorik::report {
namespace {

namespace fs = std::filesystem;

void put_le(std::string& out, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out += static_cast<char>((v >> (8 * i)) & 0xFF);
}

// A mono 16-bit PCM WAV file holding a 1 kHz sine of `amplitude`.
void write_sine_wav(const std::string& path, std::uint32_t rate_hz, double seconds,
                    double amplitude) {
  const auto frames = static_cast<std::uint32_t>(rate_hz * seconds);
  std::string data;
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double s = amplitude * std::sin(2 * std::numbers::pi * 1000.0 * i / rate_hz);
    put_le(data, static_cast<std::uint16_t>(static_cast<std::int16_t>(std::lround(s * 32767))), 2);
  }
  std::string wav = "RIFF";
  put_le(wav, static_cast<std::uint32_t>(36 + data.size()), 4);
  wav += "WAVEfmt ";
  put_le(wav, 16, 4);
  put_le(wav, 1, 2);  // PCM
  put_le(wav, 1, 2);  // channels
  put_le(wav, rate_hz, 4);
  put_le(wav, rate_hz * 2, 4);
  put_le(wav, 2, 2);
  put_le(wav, 16, 2);
  wav += "data";
  put_le(wav, static_cast<std::uint32_t>(data.size()), 4);
  wav += data;
  std::ofstream(path, std::ios::binary) << wav;
}

std::string read_all(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

class Export : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = (fs::temp_directory_path() / "sonorik_export_XXXXXX").string();
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    write_sine_wav(path("a.wav"), 48000, 0.5, 0.5);
    write_sine_wav(path("b,c.wav"), 48000, 0.05, 0.25);  // shorter than 0.1 s: looped
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string path(const std::string& rel) const { return (dir_ / rel).string(); }

  fs::path dir_;
};

TEST_F(Export, NamesOnlyAppendedTwiceUnderOneHeader) {
  const std::vector<std::string> paths = {path("a.wav"), path("b,c.wav"), path("a.wav")};
  for (const OutputFormat format : {OutputFormat::Csv, OutputFormat::Tsv}) {
    const std::string out = path(format == OutputFormat::Csv ? "r/r.csv" : "r/r.tsv");
    ASSERT_FALSE(export_files(paths, out, format, {}).has_value());
    ASSERT_FALSE(export_files(paths, out, format, {}).has_value());
    const std::string once =
        format == OutputFormat::Csv ? "a.wav\n\"b,c.wav\"\na.wav\n" : "a.wav\nb,c.wav\na.wav\n";
    EXPECT_EQ(read_all(out), "file_name_ext\n" + once + once);
  }
}

TEST_F(Export, MeasuresInFlagOrderAfterTheName) {
  MeasureFlags flags;
  flags.true_peak = true;
  flags.integrated_loudness = true;
  ASSERT_FALSE(export_files({path("a.wav")}, path("r.csv"), OutputFormat::Csv, flags));
  std::istringstream lines(read_all(path("r.csv")));
  std::string header, record, extra;
  std::getline(lines, header);
  std::getline(lines, record);
  EXPECT_FALSE(std::getline(lines, extra));
  EXPECT_EQ(header, "file_name_ext,integrated_loudness,true_peak");
  ASSERT_EQ(record.rfind("a.wav,", 0), 0u) << record;
  const std::string peak = record.substr(record.rfind(',') + 1);
  EXPECT_EQ(peak.size() - peak.find('.'), 4u) << "three decimals: " << peak;
  EXPECT_NEAR(std::stod(peak), 20 * std::log10(0.5), 0.1);

  ASSERT_FALSE(export_files({path("a.wav")}, path("r.json"), OutputFormat::Json, flags));
  const std::string json = read_all(path("r.json"));
  EXPECT_EQ(json.rfind("{\"file_name_ext\":\"a.wav\",\"integrated_loudness\":-", 0), 0u) << json;
  EXPECT_NE(json.find(",\"true_peak\":-6.0"), std::string::npos) << json;
}

TEST_F(Export, EmptyListWritesOnlyTheDelimitedHeader) {
  for (const OutputFormat format : {OutputFormat::Json, OutputFormat::Xml}) {
    EXPECT_FALSE(export_files({}, path("d/none"), format, MeasureFlags::all()));
    EXPECT_FALSE(fs::exists(path("d/none")));
  }
  EXPECT_FALSE(export_files({}, path("d/none"), OutputFormat::Tsv, {}));
  EXPECT_EQ(read_all(path("d/none")), "file_name_ext\n");
}

TEST_F(Export, FirstUnloadableFileStopsAndEarlierRecordsStay) {
  const std::string missing = path("missing.wav");
  const std::string text = path("notes.txt");
  std::ofstream(text) << "not audio";
  struct Case {
    std::string bad;
    std::string message;
  };
  const Case cases[] = {
      {missing, "Failed to load " + missing + ": Failed to decode audio file: " +
                    quoted_path(missing)},
      {text, "Failed to load " + text + ": Unsupported audio format: " + quoted_path(text)},
  };
  for (const Case& c : cases) {
    const std::string out = path("stop.xml");
    fs::remove(out);
    const auto err = export_files({path("a.wav"), c.bad, path("b,c.wav")}, out, OutputFormat::Xml, {});
    ASSERT_TRUE(err.has_value());
    EXPECT_EQ(err->kind, ExportFailure::Load);
    EXPECT_EQ(err->message, c.message);
    EXPECT_EQ(read_all(out), "<audio><file_name_ext>a.wav</file_name_ext></audio>\n");
  }
}

TEST_F(Export, MeterRefusalIsAnAnalysisFailure) {
  write_sine_wav(path("slow.wav"), 8, 1.0, 0.5);  // 8 Hz: below what the meter accepts
  MeasureFlags flags;
  flags.integrated_loudness = true;
  const auto err = export_files({path("slow.wav")}, path("r.json"), OutputFormat::Json, flags);
  ASSERT_TRUE(err.has_value());
  EXPECT_EQ(err->kind, ExportFailure::Analysis);
  EXPECT_EQ(err->message, "Analysis failed for " + path("slow.wav") + ": NoMem");
  EXPECT_FALSE(fs::exists(path("r.json")));
}

TEST_F(Export, UnwritableReportFailsAtTheFirstRecord) {
  fs::create_directory(path("dir.csv"));
  auto err = export_files({path("a.wav"), path("missing.wav")}, path("dir.csv"),
                          OutputFormat::Csv, {});
  ASSERT_TRUE(err.has_value());
  EXPECT_EQ(err->kind, ExportFailure::Write);
  EXPECT_EQ(err->message, "Is a directory (os error 21)");

  err = export_files({path("a.wav")}, path("a.wav/r.json"), OutputFormat::Json, {});
  ASSERT_TRUE(err.has_value());
  EXPECT_EQ(err->kind, ExportFailure::Write);
  EXPECT_EQ(err->message, "Not a directory (os error 20)");
  // Nothing written to report on: no error.
  EXPECT_FALSE(export_files({}, path("dir.csv"), OutputFormat::Csv, {}));
}

}  // namespace
}  // namespace sonorik::report
