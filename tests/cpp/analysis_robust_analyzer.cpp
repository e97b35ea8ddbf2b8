#include "analysis/robust_analyzer.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "wav_test_files.h"

namespace sonorik::analysis {
namespace {

using testing::ByteString;
using testing::StdoutCapture;
using testing::TempDir;

// ---- a literal reference: whole lists, two meter passes ----------------------

// Straight from the description of the algorithm, with no streaming, no
// threads and no shared helpers: the whole file converted to one list, short
// audio repeated into a new list, one meter per measurement, an amplified
// copy for the re-measurement. Its notices are appended to `log`.
namespace reference {

std::string format(const char* f, double v) {
  char b[200];
  std::snprintf(b, sizeof b, f, v);
  return b;
}

std::vector<double> extend(const std::vector<double>& s, double duration, double target,
                           std::string& log) {
  if (duration >= target) return s;
  std::uint64_t n = static_cast<std::uint64_t>(std::floor(target / duration)) + 1;
  n = std::max<std::uint64_t>(n, 5);
  std::vector<double> out;
  for (std::uint64_t i = 0; i < n; ++i) out.insert(out.end(), s.begin(), s.end());
  char b[200];
  std::snprintf(b, sizeof b, "FFmpeg compatibility: Extended %.3fs audio with %llu repeats (total %.3fs)\n",
                duration, static_cast<unsigned long long>(n), duration * static_cast<double>(n));
  log += b;
  return out;
}

struct Measurement {
  bool ok = false;
  std::optional<double> integrated, momentary_max, short_term_max;
  double loudness_range = 0.0, true_peak = 0.0;
};

Measurement measure(const std::vector<double>& samples, const WavFormatInfo& info, std::string& log) {
  // Empty audio is not repeated (there is nothing to repeat).
  const std::vector<double> w = info.duration_seconds < 5.0 && !samples.empty()
                                    ? extend(samples, info.duration_seconds, 10.0, log)
                                    : samples;
  Measurement m;
  const unsigned ch = info.channels;
  ebur128_state* st = ebur128_init(ch, info.sample_rate,
                                   EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
  if (st == nullptr) return m;
  if (ch == 2) {
    ebur128_set_channel(st, 0, EBUR128_LEFT);
    ebur128_set_channel(st, 1, EBUR128_RIGHT);
  }
  const std::size_t p = static_cast<std::size_t>(info.sample_rate * 0.1) * ch;
  const std::size_t t = static_cast<std::size_t>(info.sample_rate * 3.0) * ch;
  double mmax = -70.0, smax = -70.0;
  std::size_t processed = 0;
  std::vector<double> v;
  for (std::size_t start = 0; start < w.size(); start += p) {
    const std::size_t len = std::min(p, w.size() - start);
    if (len % ch != 0) continue;
    if (ebur128_add_frames_double(st, w.data() + start, len / ch) != EBUR128_SUCCESS) continue;
    double x;
    if (ebur128_loudness_momentary(st, &x) == EBUR128_SUCCESS && std::isfinite(x) && x > mmax) mmax = x;
    processed += len;
    if (ebur128_loudness_shortterm(st, &x) == EBUR128_SUCCESS && std::isfinite(x)) {
      if (x > smax) smax = x;
      if (processed >= t && x > -70.0) v.push_back(x);
    }
  }
  double g = -70.0;
  if (ebur128_loudness_global(st, &g) != EBUR128_SUCCESS) g = -70.0;
  if (std::isfinite(g) && g > -70.0) m.integrated = g;
  if (v.size() >= 2) {
    double e = 0.0;
    for (double x : v) e += std::pow(10.0, x / 10.0);
    const double gate = 10.0 * std::log10(e / static_cast<double>(v.size())) - 20.0;
    std::vector<double> r;
    for (double x : v) if (x > gate) r.push_back(x);
    if (r.size() >= 2) {
      std::sort(r.begin(), r.end());
      const std::size_t k = r.size();
      const std::size_t lo = std::min(k - 1, static_cast<std::size_t>(std::floor(0.1 * static_cast<double>(k))));
      const std::size_t c = static_cast<std::size_t>(std::ceil(0.95 * static_cast<double>(k)));
      const std::size_t hi = std::min(k - 1, c == 0 ? 0 : c - 1);
      const double range = r[hi] - r[lo];
      m.loudness_range = (std::isfinite(range) && range >= 0.0) ? range : 0.0;
    }
  }
  double peak = 0.0;
  for (unsigned c = 0; c < ch; ++c) {
    double x;
    if (ebur128_true_peak(st, c, &x) == EBUR128_SUCCESS && x > peak) peak = x;
  }
  m.true_peak = peak > 0.0 ? 20.0 * std::log10(peak) : -100.0;
  if (mmax > -70.0) m.momentary_max = mmax;
  if (smax > -70.0) m.short_term_max = smax;
  ebur128_destroy(&st);
  m.ok = true;
  return m;
}

double fallback_peak(const std::vector<double>& s, unsigned ch) {
  const std::size_t n = s.size();
  if (n == 0 || ch == 0 || n / ch < 2) return -150.0;
  const std::size_t frames = n / ch;
  double m = 0.0;
  for (double x : s) m = std::max(m, std::fabs(x));
  auto at = [&](std::int64_t f, unsigned c) {
    if (f < 0 || f >= static_cast<std::int64_t>(frames)) return 0.0;
    const std::size_t i = static_cast<std::size_t>(f) * ch + c;
    return i < n ? s[i] : 0.0;
  };
  for (std::size_t i = 0; i + 1 < frames; ++i) {
    for (unsigned c = 0; c < ch; ++c) {
      const auto fi = static_cast<std::int64_t>(i);
      const double p0 = at(fi - 1, c), p1 = at(fi, c), p2 = at(fi + 1, c), p3 = at(fi + 2, c);
      const double a = -0.5 * p0 + 1.5 * p1 - 1.5 * p2 + 0.5 * p3;
      const double b = p0 - 2.5 * p1 + 2.0 * p2 - 0.5 * p3;
      const double c1 = -0.5 * p0 + 0.5 * p2;
      for (double t : {0.25, 0.5, 0.75}) m = std::max(m, std::fabs(p1 + t * (c1 + t * (b + t * a))));
    }
  }
  return m > 0.0 ? 20.0 * std::log10(m) : -150.0;
}

AnalysisResults analyze(const std::vector<double>& s, const WavFormatInfo& info, bool loud, bool peak,
                        bool rms, std::string& log) {
  AnalysisResults out;
  if (loud) {
    const Measurement m = measure(s, info, log);
    if (m.ok) {
      out.integrated_loudness = m.integrated;
      out.momentary_loudness = m.momentary_max;
      out.short_term_loudness = m.short_term_max;
      out.loudness_range = m.loudness_range;
    }
  }
  if (peak) {
    const Measurement m = measure(s, info, log);
    out.true_peak = m.ok ? m.true_peak : fallback_peak(s, info.channels);
  }
  if (rms) {
    const std::size_t b = (info.sample_rate / 10) * info.channels;
    double total = 0.0, mx = 0.0;
    for (std::size_t start = 0; start < s.size(); start += b) {
      const std::size_t len = std::min(b, s.size() - start);
      double sum = 0.0;
      for (std::size_t i = start; i < start + len; ++i) sum += s[i] * s[i];
      total += sum;
      const double ms = sum / static_cast<double>(len);
      if (ms > 0.0) mx = std::max(mx, std::sqrt(ms));
    }
    const double mean = s.empty() ? 0.0 : total / static_cast<double>(s.size());
    out.rms_average = mean > 0.0 ? 20.0 * std::log10(std::sqrt(mean)) : -150.0;
    out.rms_max = mx > 0.0 ? 20.0 * std::log10(mx) : -150.0;
  }
  if (info.duration_seconds < 15.0) return out;
  if (out.integrated_loudness && *out.integrated_loudness <= -69.9) {
    log += format("Detecting abnormal integrated loudness: %.1f LUFS, attempting correction...\n",
                  *out.integrated_loudness);
    std::vector<double> louder(s);
    for (double& x : louder) x *= 31.622776601683793;
    const Measurement m = measure(louder, info, log);
    std::optional<double> corrected;
    if (m.ok && m.integrated && *m.integrated > -69.0) {
      corrected = *m.integrated - 30.0;
    } else {
      double sum = 0.0;
      for (double x : s) sum += x * x;
      if (sum / static_cast<double>(s.size()) > 0.0) {
        corrected = 20.0 * std::log10(std::sqrt(sum / static_cast<double>(s.size()))) - 23.0;
      }
    }
    if (corrected) {
      log += format("Corrected integrated loudness: %.1f LUFS\n", *corrected);
      out.integrated_loudness = corrected;
    }
  }
  if (out.loudness_range && *out.loudness_range < 0.1) {
    log += format("Detecting abnormal loudness range: %.3f LU, attempting correction...\n",
                  *out.loudness_range);
    const std::size_t b = static_cast<std::size_t>(info.sample_rate) * info.channels;
    std::vector<double> levels;
    for (std::size_t start = 0; start < s.size(); start += b) {
      const std::size_t len = std::min(b, s.size() - start);
      double sum = 0.0;
      for (std::size_t i = start; i < start + len; ++i) sum += s[i] * s[i];
      const double ms = sum / static_cast<double>(len);
      if (ms > 0.0) levels.push_back(20.0 * std::log10(std::sqrt(ms)));
    }
    double corrected = 0.1;
    if (levels.size() >= 2) {
      const auto [lo, hi] = std::minmax_element(levels.begin(), levels.end());
      const double r = (*hi - *lo) * 0.7;
      corrected = r > 0.1 ? r : 0.1;
    }
    log += format("Corrected loudness range: %.1f LU\n", corrected);
    out.loudness_range = corrected;
  }
  return out;
}

}  // namespace reference

// ---- helpers -----------------------------------------------------------------

// A tone whose level changes every `segment` seconds (so the loudness range is
// not trivial), with a little noise and a different phase per channel.
std::vector<double> varied(double seconds, std::uint32_t rate, unsigned channels, double segment,
                           unsigned random_state) {
  std::mt19937 gen(random_state);
  std::normal_distribution<double> noise(0.0, 0.01);
  const auto frames = static_cast<std::size_t>(seconds * rate);
  std::vector<double> s(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const int seg = static_cast<int>(t / segment);
    const double level = std::pow(10.0, -(6.0 + 7.0 * (seg % 4)) / 20.0);
    for (unsigned c = 0; c < channels; ++c) {
      s[i * channels + c] = level * 0.5 * std::sin(2 * M_PI * (440.0 + 110.0 * c) * t + c) + noise(gen);
    }
  }
  return s;
}

struct Outcome {
  Result<AnalysisResults> results;
  std::string out;
};

Outcome analyze_file(const std::string& path, const MetricList& metrics) {
  Result<UltraFastWavReader> reader = UltraFastWavReader::open(path);
  if (!reader) return {reader.error(), ""};
  StdoutCapture capture;
  Result<AnalysisResults> r = RobustAnalyzer::analyze_with_fallback(*reader, metrics);
  return {std::move(r), capture.text()};
}

Outcome analyze_bytes(const ByteString& bytes, const MetricList& metrics) {
  TempDir dir;
  return analyze_file(dir.write("a.wav", bytes), metrics);
}

const MetricList kAll = metrics_from_flags(MeasureFlags::all());

void expect_near(const std::optional<double>& got, const std::optional<double>& want, const char* field) {
  ASSERT_EQ(got.has_value(), want.has_value()) << field;
  if (want) {
    EXPECT_NEAR(*got, *want, 1e-9) << field;
  }
}

void expect_same(const AnalysisResults& got, const AnalysisResults& want) {
  expect_near(got.integrated_loudness, want.integrated_loudness, "integrated_loudness");
  expect_near(got.short_term_loudness, want.short_term_loudness, "short_term_loudness");
  expect_near(got.momentary_loudness, want.momentary_loudness, "momentary_loudness");
  expect_near(got.loudness_range, want.loudness_range, "loudness_range");
  expect_near(got.true_peak, want.true_peak, "true_peak");
  expect_near(got.rms_max, want.rms_max, "rms_max");
  expect_near(got.rms_average, want.rms_average, "rms_average");
}

// ---- streamed results equal the literal algorithm --------------------------------

struct Case {
  const char* name;
  double seconds;
  std::uint32_t rate;
  unsigned channels;
  int bits;
  enum { kVaried, kSine, kQuietSine } signal;
  const char* notice;  // a piece of the expected diagnostics ("" for none)
};

class MatchesReference : public ::testing::TestWithParam<Case> {};

TEST_P(MatchesReference, AllMeasuresAndNotices) {
  const Case& c = GetParam();
  std::vector<double> s;
  switch (c.signal) {
    case Case::kVaried: s = varied(c.seconds, c.rate, c.channels, 1.7, 3); break;
    case Case::kSine: s = testing::sine(c.seconds, c.rate, c.channels, 0.3); break;
    // Just above the absolute gate: integrated about -69.93 LUFS (stereo).
    case Case::kQuietSine: s = testing::sine(c.seconds, c.rate, c.channels, std::pow(10.0, -69.93 / 20.0)); break;
  }
  TempDir dir;
  const std::string path =
      dir.write("r.wav", testing::wav_file(s, static_cast<std::uint16_t>(c.channels), c.rate, c.bits, c.bits == 32));
  Result<UltraFastWavReader> reader = UltraFastWavReader::open(path);
  ASSERT_TRUE(reader.ok());
  const std::vector<double> list = reader->convert_to_f64_minimal(std::nullopt);
  std::string log;
  const AnalysisResults want = reference::analyze(list, reader->info(), true, true, true, log);
  const Outcome got = analyze_file(path, kAll);
  ASSERT_TRUE(got.results.ok()) << got.results.error().message();
  expect_same(got.results.value(), want);
  EXPECT_EQ(got.out, log);
  if (*c.notice == '\0') {
    EXPECT_EQ(log, "");
  } else {
    EXPECT_NE(log.find(c.notice), std::string::npos) << log;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Files, MatchesReference,
    ::testing::Values(Case{"mono_short", 2.0, 44100, 1, 16, Case::kVaried, "Extended 2.000s audio with 6 repeats"},
                      Case{"stereo_short", 3.3, 48000, 2, 24, Case::kVaried, "Extended 3.300s audio with 5 repeats"},
                      Case{"surround_short", 1.2, 48000, 6, 32, Case::kVaried, "Extended 1.200s audio with 9 repeats"},
                      Case{"stereo_long", 17.0, 48000, 2, 24, Case::kVaried, ""},
                      Case{"mono_long_sine", 16.0, 22050, 1, 16, Case::kSine, "Corrected loudness range: 0.1 LU"},
                      Case{"stereo_long_near_gate", 15.5, 48000, 2, 32, Case::kQuietSine, "Corrected integrated loudness: -69.9 LUFS"},
                      Case{"surround_long", 16.0, 32000, 6, 24, Case::kVaried, ""},
                      // 100 ms is not a whole number of the meter's blocks here:
                      // every window is read directly.
                      Case{"stereo_11025_short", 2.5, 11025, 2, 16, Case::kVaried, "Extended 2.500s"},
                      Case{"mono_11025_long", 16.0, 11025, 1, 24, Case::kVaried, ""}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RobustAnalyzer, CorrectsIntegratedLoudnessAtTheGateFloor) {
  const auto s = testing::sine(15.5, 48000, 2, std::pow(10.0, -69.93 / 20.0));
  const Outcome r = analyze_bytes(testing::wav_file(s, 2, 48000, 32, true), {Metric::integrated_loudness});
  ASSERT_TRUE(r.results.ok());
  // Re-measured 30 dB louder and brought back.
  const std::string first = "Detecting abnormal integrated loudness: -69.9 LUFS, attempting correction...\n";
  ASSERT_EQ(r.out.substr(0, first.size()), first);
  EXPECT_NE(r.out.find("Corrected integrated loudness: -69.9 LUFS\n"), std::string::npos);
  EXPECT_NEAR(*r.results->integrated_loudness, -69.93, 0.05);
}

TEST(RobustAnalyzer, ListAndMappingSourcesMeasureAlike) {
  const auto s = varied(6.0, 16000, 6, 0.8, 9);
  TempDir dir;
  Result<UltraFastWavReader> reader = UltraFastWavReader::open(dir.write("s.wav", testing::wav_file(s, 6, 16000, 32, true)));
  ASSERT_TRUE(reader.ok());
  const std::vector<double> list = reader->convert_to_f64_minimal(std::nullopt);
  std::vector<double> doubled(list);
  for (double& x : doubled) x *= 2.0;
  const auto measure = [&](const SampleSource& source) {
    Result<Bs1770Measurement> m = RobustAnalyzer::measure_loudness_custom_bs1770(source, reader->info());
    EXPECT_TRUE(m.ok());
    return m.ok() ? m.value() : Bs1770Measurement{};
  };
  const Bs1770Measurement a = measure(SampleSource(*reader));
  const Bs1770Measurement b = measure(SampleSource(list, 6));
  const Bs1770Measurement c = measure(SampleSource(*reader, 2.0));
  const Bs1770Measurement d = measure(SampleSource(doubled, 6));
  for (const auto& [x, y] : {std::pair{a, b}, std::pair{c, d}}) {
    EXPECT_EQ(x.integrated, y.integrated);
    EXPECT_EQ(x.momentary_max, y.momentary_max);
    EXPECT_EQ(x.short_term_max, y.short_term_max);
    EXPECT_EQ(x.loudness_range, y.loudness_range);
    EXPECT_EQ(x.true_peak, y.true_peak);
  }
  EXPECT_NEAR(*c.true_peak - *a.true_peak, 20.0 * std::log10(2.0), 1e-9);
}

// ---- field families, notices, floors ----------------------------------------------

TEST(RobustAnalyzer, FieldsComeInFamilies) {
  TempDir dir;
  const std::string path = dir.write("f.wav", testing::wav_file(varied(6.0, 16000, 2, 1.0, 1), 2, 16000, 16));
  const Outcome loud = analyze_file(path, {Metric::integrated_loudness});
  ASSERT_TRUE(loud.results.ok());
  EXPECT_TRUE(loud.results->integrated_loudness && loud.results->short_term_loudness &&
              loud.results->momentary_loudness && loud.results->loudness_range);
  EXPECT_FALSE(loud.results->true_peak || loud.results->rms_max || loud.results->rms_average);

  const Outcome rms = analyze_file(path, {Metric::rms_average});
  ASSERT_TRUE(rms.results.ok());
  EXPECT_TRUE(rms.results->rms_max && rms.results->rms_average);
  EXPECT_FALSE(rms.results->integrated_loudness || rms.results->true_peak);

  const Outcome peak = analyze_file(path, {Metric::true_peak, Metric::file_name, Metric::true_peak});
  ASSERT_TRUE(peak.results.ok());
  EXPECT_TRUE(peak.results->true_peak);
  EXPECT_FALSE(peak.results->loudness_range || peak.results->rms_max);

  const Outcome none = analyze_file(path, {Metric::duration, Metric::sample_peak});
  ASSERT_TRUE(none.results.ok());
  const AnalysisResults& n = none.results.value();
  EXPECT_FALSE(n.integrated_loudness || n.short_term_loudness || n.momentary_loudness ||
               n.loudness_range || n.true_peak || n.rms_max || n.rms_average);
  EXPECT_EQ(loud.out + rms.out + peak.out + none.out, "");
}

struct Extension {
  double seconds;
  MetricList metrics;
  std::string out;
};

class ExtensionNotice : public ::testing::TestWithParam<Extension> {};

TEST_P(ExtensionNotice, PrintedOncePerMeasurement) {
  const Extension& e = GetParam();
  const Outcome r = analyze_bytes(testing::wav_file(testing::sine(e.seconds, 8000, 1, 0.5), 1, 8000, 16), e.metrics);
  ASSERT_TRUE(r.results.ok());
  EXPECT_EQ(r.out, e.out);
}

const std::string kTwoSeconds = "FFmpeg compatibility: Extended 2.000s audio with 6 repeats (total 12.000s)\n";

INSTANTIATE_TEST_SUITE_P(
    Durations, ExtensionNotice,
    ::testing::Values(
        Extension{2.0, {Metric::loudness_range}, kTwoSeconds},
        Extension{2.0, {Metric::true_peak}, kTwoSeconds},
        Extension{2.0, {Metric::momentary_loudness, Metric::true_peak}, kTwoSeconds + kTwoSeconds},
        Extension{2.0, {Metric::rms_max}, ""},
        Extension{0.5, {Metric::integrated_loudness},
                  "FFmpeg compatibility: Extended 0.500s audio with 21 repeats (total 10.500s)\n"},
        Extension{3.0, {Metric::integrated_loudness},
                  "FFmpeg compatibility: Extended 3.000s audio with 5 repeats (total 15.000s)\n"},
        Extension{5.0, {Metric::integrated_loudness}, ""}));

TEST(RobustAnalyzer, ExtensionRepeats) {
  EXPECT_EQ(RobustAnalyzer::extension_repeats(2.0, 10.0), 6u);
  EXPECT_EQ(RobustAnalyzer::extension_repeats(0.5, 10.0), 21u);
  EXPECT_EQ(RobustAnalyzer::extension_repeats(3.0, 10.0), 5u);
  EXPECT_EQ(RobustAnalyzer::extension_repeats(10.0, 10.0), 1u);
  EXPECT_EQ(RobustAnalyzer::extension_repeats(0.0, 10.0), 1u);
  EXPECT_EQ(RobustAnalyzer::extension_repeats(1.0 / 4294967295.0, 10.0), 42949672951u);
}

TEST(RobustAnalyzer, AllZeroFiles) {
  for (double seconds : {4.0, 16.0}) {
    SCOPED_TRACE(seconds);
    const Outcome r = analyze_bytes(testing::wav_file(std::vector<double>(static_cast<std::size_t>(seconds * 8000) * 2, 0.0),
                                                  2, 8000, 16),
                                kAll);
    ASSERT_TRUE(r.results.ok());
    const AnalysisResults& a = r.results.value();
    EXPECT_EQ(a.rms_max, -150.0);
    EXPECT_EQ(a.rms_average, -150.0);
    EXPECT_FALSE(a.integrated_loudness || a.momentary_loudness || a.short_term_loudness);
    EXPECT_EQ(a.true_peak, -100.0);
    if (seconds < 15.0) {
      EXPECT_EQ(a.loudness_range, 0.0);
      EXPECT_EQ(r.out, "FFmpeg compatibility: Extended 4.000s audio with 5 repeats (total 20.000s)\n"
                       "FFmpeg compatibility: Extended 4.000s audio with 5 repeats (total 20.000s)\n");
    } else {
      EXPECT_EQ(a.loudness_range, 0.1);
      EXPECT_EQ(r.out, "Detecting abnormal loudness range: 0.000 LU, attempting correction...\n"
                       "Corrected loudness range: 0.1 LU\n");
    }
  }
}

TEST(RobustAnalyzer, EmptyDataIsMeasuredWithoutRepetition) {
  const Outcome r = analyze_bytes(testing::wav_file({}, 2, 48000, 16), kAll);
  ASSERT_TRUE(r.results.ok());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.results->loudness_range, 0.0);
  EXPECT_FALSE(r.results->integrated_loudness);
  EXPECT_EQ(r.results->true_peak, -100.0);
  EXPECT_EQ(r.results->rms_average, -150.0);
}

TEST(RobustAnalyzer, SteadySineRangeIsCorrected) {
  const Outcome r = analyze_bytes(testing::wav_file(testing::sine(20.0, 16000, 1, 0.5), 1, 16000, 16),
                              {Metric::loudness_range});
  ASSERT_TRUE(r.results.ok());
  EXPECT_EQ(r.results->loudness_range, 0.1);
  const std::string detect = "Detecting abnormal loudness range: ";
  ASSERT_EQ(r.out.substr(0, detect.size()), detect);
  EXPECT_NE(r.out.find(" LU, attempting correction...\nCorrected loudness range: 0.1 LU\n"), std::string::npos);
}

TEST(RobustAnalyzer, NoCorrectionUnderFifteenSeconds) {
  const Outcome r = analyze_bytes(testing::wav_file(testing::sine(14.9, 16000, 1, 0.5), 1, 16000, 16), kAll);
  ASSERT_TRUE(r.results.ok());
  EXPECT_LT(*r.results->loudness_range, 0.1);
  EXPECT_EQ(r.out, "");
}

// ---- meter refusals --------------------------------------------------------------

TEST(RobustAnalyzer, TruePeakFallsBackWhenNoMeterCanBeBuilt) {
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> u(-0.9, 0.9);
  struct Refused {
    std::uint32_t rate;
    unsigned channels;
  };
  for (const Refused f : {Refused{12, 1}, Refused{3000000, 2}, Refused{8000, 65}}) {
    SCOPED_TRACE(f.rate);
    std::vector<double> s(f.channels * 3000);
    for (double& x : s) x = u(gen);
    TempDir dir;
    const std::string path = dir.write("p.wav", testing::wav_file(s, static_cast<std::uint16_t>(f.channels), f.rate, 16));
    Result<UltraFastWavReader> reader = UltraFastWavReader::open(path);
    ASSERT_TRUE(reader.ok());
    const Outcome r = analyze_file(path, {Metric::true_peak, Metric::integrated_loudness});
    ASSERT_TRUE(r.results.ok());
    EXPECT_FALSE(r.results->integrated_loudness || r.results->loudness_range);
    EXPECT_NEAR(*r.results->true_peak,
                reference::fallback_peak(reader->convert_to_f64_minimal(std::nullopt), f.channels), 1e-12);
    const double duration = 3000.0 / f.rate;
    EXPECT_EQ(r.out.empty(), duration >= 5.0);
    // The meter's refusal is the measurement's error.
    StdoutCapture quiet;
    Result<Bs1770Measurement> m =
        RobustAnalyzer::measure_loudness_custom_bs1770(SampleSource(*reader), reader->info());
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error().message(), "NoMem");
  }
}

TEST(RobustAnalyzer, FallbackPeakOfTinyAndSilentInput) {
  const std::vector<double> one = {0.5, -0.25};
  EXPECT_EQ(RobustAnalyzer::true_peak_fallback(SampleSource(one, 2)), -150.0);
  const std::vector<double> zeros(40, 0.0);
  EXPECT_EQ(RobustAnalyzer::true_peak_fallback(SampleSource(zeros, 2)), -150.0);
  // An overshoot between samples is found.
  const std::vector<double> ramp = {0.0, 0.9, 0.9, 0.0};
  EXPECT_GT(RobustAnalyzer::true_peak_fallback(SampleSource(ramp, 1)), 20.0 * std::log10(0.9));
  EXPECT_NEAR(RobustAnalyzer::true_peak_fallback(SampleSource(ramp, 1)), reference::fallback_peak(ramp, 1), 1e-15);
}

TEST(RobustAnalyzer, RmsNeedsTenFramesPerSecond) {
  const ByteString bytes = testing::wav_file(std::vector<double>(90, 0.25), 1, 9, 16);
  const Outcome rms = analyze_bytes(bytes, kAll);
  ASSERT_FALSE(rms.results.ok());
  EXPECT_EQ(rms.results.error().message(),
            "Sample rate of 9 Hz is too low to measure RMS in 100 ms blocks (at least 10 Hz needed)");
  EXPECT_EQ(rms.out, "");
  // Without RMS the file is measured: no loudness, the interpolated peak.
  const Outcome rest = analyze_bytes(bytes, {Metric::integrated_loudness, Metric::true_peak});
  ASSERT_TRUE(rest.results.ok());
  EXPECT_FALSE(rest.results->integrated_loudness);
  EXPECT_NEAR(*rest.results->true_peak, reference::fallback_peak(std::vector<double>(90, 0.25), 1), 1e-12);
  // 10 s at 9 Hz: corrections apply but find no loudness to correct.
  EXPECT_EQ(rest.out, "");
}

// ---- reference signals -----------------------------------------------------------

TEST(RobustAnalyzer, IntegratedLoudnessOfSineReferences) {
  for (double dbfs : {-23.0, -33.0}) {
    const auto s = testing::sine(20.0, 48000, 2, std::pow(10.0, dbfs / 20.0));
    const Outcome r = analyze_bytes(testing::wav_file(s, 2, 48000, 24), {Metric::integrated_loudness});
    ASSERT_TRUE(r.results.ok());
    EXPECT_NEAR(*r.results->integrated_loudness, dbfs, 0.1);
  }
}

TEST(RobustAnalyzer, LoudnessRangeOfStepReferences) {
  struct Steps {
    std::vector<double> levels_dbfs;
    double seconds_each;
    double reference_lu;
  };
  const std::vector<Steps> cases = {{{-20, -30}, 20, 10}, {{-20, -15}, 20, 5}, {{-40, -20}, 20, 20},
                                    {{-50, -35, -20, -35, -50}, 20, 15}};
  for (const Steps& c : cases) {
    std::vector<double> s;
    for (double db : c.levels_dbfs) {
      const auto part = testing::sine(c.seconds_each, 48000, 2, std::pow(10.0, db / 20.0));
      s.insert(s.end(), part.begin(), part.end());
    }
    const Outcome r = analyze_bytes(testing::wav_file(s, 2, 48000, 24), {Metric::loudness_range});
    ASSERT_TRUE(r.results.ok());
    std::printf("loudness range %.3f LU (reference %.0f LU)\n", *r.results->loudness_range, c.reference_lu);
    EXPECT_NEAR(*r.results->loudness_range, c.reference_lu, 1.0);
  }
}

// ---- malformed files ------------------------------------------------------------

TEST(RobustAnalyzer, MalformedCorpusNeverCrashes) {
  std::mt19937 gen(2024);
  const std::vector<ByteString> bases = {
      testing::wav_file(varied(0.05, 8000, 2, 0.01, 1), 2, 8000, 16),
      testing::wav_file(varied(0.05, 8000, 1, 0.01, 2), 1, 8000, 24),
      testing::wav_file(varied(0.02, 8000, 3, 0.01, 3), 3, 8000, 32, true),
  };
  int measured = 0;
  TempDir dir;
  for (int i = 0; i < 300; ++i) {
    ByteString b = bases[static_cast<std::size_t>(i) % bases.size()];
    for (int m = 0, count = 1 + static_cast<int>(gen() % 3); m < count; ++m) {
      switch (gen() % 3) {
        case 0:  // a byte of the fmt body (channels, rate, bits...) or a size field
          b[20 + gen() % 24] = static_cast<char>(gen());
          break;
        case 1:
          b.resize(gen() % (b.size() + 1));
          break;
        default:
          if (!b.empty()) b[gen() % b.size()] = static_cast<char>(gen());
      }
    }
    Result<UltraFastWavReader> reader = UltraFastWavReader::open(dir.write("m.wav", b));
    if (!reader) continue;
    // Keep the corpus quick: a declared rate in the megahertz with a tiny
    // duration would be measured as 10 s at that rate (legitimately slow).
    if (reader->info().sample_rate > 200000 && reader->info().sample_rate <= 2822400) continue;
    StdoutCapture quiet;
    Result<AnalysisResults> r = RobustAnalyzer::analyze_with_fallback(*reader, kAll);
    if (r) {
      ++measured;
      EXPECT_TRUE(r->true_peak.has_value());
      EXPECT_TRUE(r->rms_max.has_value());
    } else {
      EXPECT_LT(reader->info().sample_rate, 10u);
    }
  }
  EXPECT_GT(measured, 50);
}

}  // namespace
}  // namespace sonorik::analysis
