// The robust analyzer (the WAV fast path) streamed from the file mapping,
// against a literal whole-list reference of the same algorithm.
#include "analysis/robust_analyzer.h"

#include <ebur128.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "support.h"

namespace sonorik::analysis {
namespace {

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

// Every measure: loudness, true peak (a second measurement) and RMS.
AnalysisResults analyze(const std::vector<double>& s, const WavFormatInfo& info, std::string& log) {
  AnalysisResults out;
  const Measurement loud = measure(s, info, log);
  if (loud.ok) {
    out.integrated_loudness = loud.integrated;
    out.momentary_loudness = loud.momentary_max;
    out.short_term_loudness = loud.short_term_max;
    out.loudness_range = loud.loudness_range;
  }
  const Measurement peak = measure(s, info, log);
  out.true_peak = peak.ok ? peak.true_peak : fallback_peak(s, info.channels);
  {
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

// A tone whose level changes every `segment` seconds (so the loudness range is
// not trivial), with a little noise and a different phase per channel.
std::vector<double> varied(double seconds, std::uint32_t rate, unsigned channels, double segment) {
  std::mt19937 gen(3);
  std::normal_distribution<double> noise(0.0, 0.01);
  const auto frames = static_cast<std::size_t>(seconds * rate);
  std::vector<double> s(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double level = testing::from_db(-(6.0 + 7.0 * (static_cast<int>(t / segment) % 4)));
    for (unsigned c = 0; c < channels; ++c) {
      s[i * channels + c] = level * 0.5 * std::sin(2 * std::numbers::pi * (440.0 + 110.0 * c) * t + c) + noise(gen);
    }
  }
  return s;
}

struct Outcome {
  Result<AnalysisResults> results;
  std::string out;  // the diagnostics on standard output
};

Outcome analyze_file(const std::string& path, const MetricList& metrics) {
  Result<UltraFastWavReader> reader = UltraFastWavReader::open(path);
  if (!reader) return {reader.error(), ""};
  StdoutCapture capture;
  Result<AnalysisResults> r = RobustAnalyzer::analyze_with_fallback(*reader, metrics);
  return {std::move(r), capture.text()};
}

const MetricList kAll = metrics_from_flags(MeasureFlags::all());

void expect_near(const std::optional<double>& got, const std::optional<double>& want, const char* field) {
  ASSERT_EQ(got.has_value(), want.has_value()) << field;
  if (want) {
    EXPECT_NEAR(*got, *want, 1e-9) << field;
  }
}

struct Case {
  const char* name;
  std::vector<double> samples;
  std::uint32_t rate;
  std::uint16_t channels;
  int bits;
  const char* notice;  // a piece of the expected diagnostics ("" for none)
};
void PrintTo(const Case& c, std::ostream* os) { *os << c.name; }

class MatchesReference : public ::testing::TestWithParam<Case> {};

TEST_P(MatchesReference, AllMeasuresAndDiagnostics) {
  const Case& c = GetParam();
  TempDir dir;
  const std::string path = dir.write("r.wav", testing::wav_file(c.samples, c.channels, c.rate, c.bits, c.bits == 32));
  Result<UltraFastWavReader> reader = UltraFastWavReader::open(path);
  ASSERT_TRUE(reader.ok());
  std::string log;
  const AnalysisResults want =
      reference::analyze(reader->convert_to_f64_minimal(std::nullopt), reader->info(), log);
  const Outcome got = analyze_file(path, kAll);
  ASSERT_TRUE(got.results.ok()) << got.results.error().message();
  expect_near(got.results->integrated_loudness, want.integrated_loudness, "integrated_loudness");
  expect_near(got.results->short_term_loudness, want.short_term_loudness, "short_term_loudness");
  expect_near(got.results->momentary_loudness, want.momentary_loudness, "momentary_loudness");
  expect_near(got.results->loudness_range, want.loudness_range, "loudness_range");
  expect_near(got.results->true_peak, want.true_peak, "true_peak");
  expect_near(got.results->rms_max, want.rms_max, "rms_max");
  expect_near(got.results->rms_average, want.rms_average, "rms_average");
  EXPECT_EQ(got.out, log);
  if (*c.notice == '\0') {
    EXPECT_EQ(log, "");
  } else {
    EXPECT_NE(log.find(c.notice), std::string::npos) << log;
  }
}

// Short mono audio is repeated; a long stereo sine just above the absolute
// gate gets both corrections; at 11,025 Hz 100 ms is not a whole number of
// the meter's blocks, and six channels make three true-peak groups.
INSTANTIATE_TEST_SUITE_P(
    Files, MatchesReference,
    ::testing::Values(Case{"MonoShort", varied(2.0, 44100, 1, 0.3), 44100, 1, 16, "Extended 2.000s audio with 6 repeats"},
                      Case{"StereoLongNearTheGate", testing::sine(15.5, 48000, 2, testing::from_db(-69.93)), 48000, 2, 32,
                           "Corrected integrated loudness: -69.9 LUFS\nDetecting abnormal loudness range: "},
                      Case{"SixChannelsAt11025", varied(16.0, 11025, 6, 1.7), 11025, 6, 24, ""}),
    [](const auto& info) { return std::string(info.param.name); });

// Rates and channel counts the meter refuses: no loudness, the interpolated
// peak of the reference; the measurement alone reports the refusal.
TEST(RobustAnalyzer, TruePeakFallsBackWhenNoMeterCanBeBuilt) {
  std::mt19937 gen(5);
  std::uniform_real_distribution<double> u(-0.9, 0.9);
  for (const auto& [rate, channels] : {std::pair<std::uint32_t, std::uint16_t>{12, 1}, {8000, 65}}) {
    std::vector<double> s(channels * 3000u);
    for (double& x : s) x = u(gen);
    TempDir dir;
    const std::string path = dir.write("p.wav", testing::wav_file(s, channels, rate, 16));
    Result<UltraFastWavReader> reader = UltraFastWavReader::open(path);
    ASSERT_TRUE(reader.ok());
    const Outcome r = analyze_file(path, {Metric::true_peak, Metric::integrated_loudness});
    ASSERT_TRUE(r.results.ok());
    EXPECT_FALSE(r.results->integrated_loudness || r.results->loudness_range);
    EXPECT_NEAR(*r.results->true_peak, reference::fallback_peak(reader->convert_to_f64_minimal(std::nullopt), channels),
                1e-12);
    StdoutCapture quiet;
    EXPECT_EQ(RobustAnalyzer::measure_loudness_custom_bs1770(SampleSource(*reader), reader->info()).error().message(),
              "NoMem");
  }
}

TEST(RobustAnalyzer, RmsNeedsTenFramesPerSecond) {
  TempDir dir;
  const std::string path = dir.write("slow.wav", testing::wav_file(std::vector<double>(90, 0.25), 1, 9, 16));
  const Outcome rms = analyze_file(path, kAll);
  ASSERT_FALSE(rms.results.ok());
  EXPECT_EQ(rms.results.error().message(),
            "Sample rate of 9 Hz is too low to measure RMS in 100 ms blocks (at least 10 Hz needed)");
  EXPECT_EQ(rms.out, "");
}

TEST(RobustAnalyzer, EmptyDataIsMeasuredWithoutRepetition) {
  TempDir dir;
  const Outcome r = analyze_file(dir.write("e.wav", testing::wav_file({}, 2, 48000, 16)), kAll);
  ASSERT_TRUE(r.results.ok());
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.results->loudness_range, 0.0);
  EXPECT_FALSE(r.results->integrated_loudness);
  EXPECT_EQ(r.results->true_peak, -100.0);
  EXPECT_EQ(r.results->rms_average, -150.0);
}

}  // namespace
}  // namespace sonorik::analysis
