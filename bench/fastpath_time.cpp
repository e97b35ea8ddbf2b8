// Times the WAV fast path (reader + robust analyzer with every measure) against
// `ffmpeg -af ebur128=peak=true` on the same file, alternating the two, and
// samples this process's anonymous memory while the analysis runs.
//
//   fastpath_time --make /tmp/x.wav 600   # 10 min stereo 48 kHz 24-bit test file
//   fastpath_time /tmp/x.wav [runs] [measures, e.g. 8,12]
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "compat/robust_analyzer.h"
#include "compat/ultra_fast_wav.h"
#include "core/metric.h"

namespace {

using Clock = std::chrono::steady_clock;

void put(std::ofstream& f, std::uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) f.put(static_cast<char>((v >> (8 * i)) & 0xFF));
}

int make_file(const std::string& path, int seconds) {
  const std::uint32_t rate = 48000, channels = 2;
  const std::uint64_t frames =
      static_cast<std::uint64_t>(rate) * static_cast<std::uint64_t>(seconds);
  const auto data_bytes = static_cast<std::uint32_t>(frames * channels * 3);
  std::ofstream f(path, std::ios::binary);
  f.write("RIFF", 4);
  put(f, 36 + data_bytes, 4);
  f.write("WAVEfmt ", 8);
  put(f, 16, 4);
  put(f, 1, 2);
  put(f, channels, 2);
  put(f, rate, 4);
  put(f, rate * channels * 3, 4);
  put(f, channels * 3, 2);
  put(f, 24, 2);
  f.write("data", 4);
  put(f, data_bytes, 4);
  std::mt19937 gen(1);
  std::normal_distribution<double> noise(0.0, 0.05);
  std::vector<char> buf;
  for (std::uint64_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    const double env = 0.3 + 0.25 * std::sin(2 * M_PI * t / 37.0);
    const double v[2] = {env * std::sin(2 * M_PI * 440 * t) + noise(gen),
                         env * std::sin(2 * M_PI * 660 * t + 0.3) + noise(gen)};
    for (double x : v) {
      const auto s =
          static_cast<std::int32_t>(std::clamp(std::round(x * 8388607.0), -8388608.0, 8388607.0));
      for (int k = 0; k < 3; ++k)
        buf.push_back(static_cast<char>((static_cast<std::uint32_t>(s) >> (8 * k)) & 0xFF));
    }
    if (buf.size() > (1 << 20)) {
      f.write(buf.data(), static_cast<std::streamsize>(buf.size()));
      buf.clear();
    }
  }
  f.write(buf.data(), static_cast<std::streamsize>(buf.size()));
  return f.good() ? 0 : 1;
}

long rss_anon_kib() {
  std::ifstream status("/proc/self/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("RssAnon:", 0) == 0) return std::strtol(line.c_str() + 8, nullptr, 10);
  }
  return -1;
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) * 1e-6;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 4 && std::string(argv[1]) == "--make") return make_file(argv[2], std::atoi(argv[3]));
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE.wav [runs] | --make FILE.wav SECONDS\n", argv[0]);
    return 2;
  }
  const std::string path = argv[1];
  const int runs = argc > 2 ? std::atoi(argv[2]) : 3;
  const std::string ffmpeg = "ffmpeg -hide_banner -nostats -loglevel error -i '" + path +
                             "' -af ebur128=peak=true -f null - >/dev/null 2>&1";
  sonorik::MetricList all = sonorik::metrics_from_flags(sonorik::MeasureFlags::all());
  if (argc > 3) {  // a subset of the measures, e.g. "8,12" (Metric values)
    all.clear();
    for (const char* p = argv[3]; *p != '\0';) {
      char* end = nullptr;
      all.push_back(static_cast<sonorik::Metric>(std::strtol(p, &end, 10)));
      p = *end == ',' ? end + 1 : end;
    }
  }
  std::vector<double> ours, theirs;
  long base_anon = rss_anon_kib(), peak_anon = 0;
  for (int i = 0; i < runs; ++i) {
    auto t0 = Clock::now();
    if (std::getenv("FASTPATH_NO_FFMPEG") == nullptr && std::system(ffmpeg.c_str()) != 0) {
      std::fprintf(stderr, "ffmpeg failed\n");
    }
    theirs.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    const double cpu0 = cpu_seconds();

    std::atomic<bool> done{false};
    std::thread sampler([&] {
      while (!done) {
        peak_anon = std::max(peak_anon, rss_anon_kib());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
      }
    });
    t0 = Clock::now();
    auto reader = sonorik::UltraFastWavReader::open(path);
    if (!reader) {
      std::fprintf(stderr, "%s\n", reader.error().message().c_str());
      done = true;
      sampler.join();
      return 1;
    }
    auto r = sonorik::analysis::RobustAnalyzer::analyze_with_fallback(*reader, all);
    ours.push_back(std::chrono::duration<double>(Clock::now() - t0).count());
    done = true;
    sampler.join();
    if (!r) return 1;
    std::printf(
        "run %d: ffmpeg %.3f s, fast path %.3f s, cpu %.3f s  (I %.2f LUFS, LRA %.2f LU, TP %.2f "
        "dBFS)\n",
        i + 1, theirs.back(), ours.back(), cpu_seconds() - cpu0,
        r->integrated_loudness.value_or(NAN), r->loudness_range.value_or(NAN),
        r->true_peak.value_or(NAN));
  }
  std::printf("median: ffmpeg %.3f s, fast path %.3f s, ratio %.3f\n", median(theirs), median(ours),
              median(ours) / median(theirs));
  std::printf("anonymous memory: %ld KiB before, %ld KiB peak during analysis\n", base_anon,
              peak_anon);
  return 0;
}
