// The cost floor of a one-meter design: a single libebur128 meter run once
// over a WAV file on one thread, reading the file with plain fread in 100 ms
// blocks converted to 64-bit floats.
//
//   ebur128_floor lra FILE.wav...       modes M|S|I|LRA + true peak; readings at the end
//   ebur128_floor analysis FILE.wav...  modes M|S|I + true peak; momentary and
//                                        short-term read after every 100 ms block
//   ebur128_floor read FILE.wav...      no meter: reading and converting alone
//
// Prints one line per file: integrated loudness, loudness range (lra) or the
// largest momentary / short-term readings (analysis), and the true peak.
// Reads integer PCM of 16, 24 and 32 bits and 32-bit float (plain or
// extensible fmt). Exit status 1 on any failure.
#include <ebur128.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

struct MeterDeleter {
  void operator()(ebur128_state* st) const noexcept { ebur128_destroy(&st); }
};
using MeterPtr = std::unique_ptr<ebur128_state, MeterDeleter>;

struct FileCloser {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

std::uint32_t le32(const unsigned char* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}
std::uint16_t le16(const unsigned char* p) {
  std::uint16_t v;
  std::memcpy(&v, p, 2);
  return v;
}

struct Format {
  unsigned channels = 0;
  unsigned rate_hz = 0;
  unsigned bits = 0;
  bool is_float = false;
  std::uint64_t data_bytes = 0;
};

// Leaves `f` at the first byte of the data chunk.
bool read_header(std::FILE* f, Format& fmt) {
  unsigned char riff[12];
  if (std::fread(riff, 1, 12, f) != 12 || std::memcmp(riff, "RIFF", 4) != 0 ||
      std::memcmp(riff + 8, "WAVE", 4) != 0) {
    return false;
  }
  bool have_fmt = false;
  unsigned char head[8];
  while (std::fread(head, 1, 8, f) == 8) {
    const std::uint32_t size = le32(head + 4);
    if (std::memcmp(head, "fmt ", 4) == 0) {
      std::vector<unsigned char> body(size);
      if (size < 16 || std::fread(body.data(), 1, size, f) != size) return false;
      std::uint16_t tag = le16(&body[0]);
      if (tag == 0xFFFE && size >= 26) tag = le16(&body[24]);
      fmt.channels = le16(&body[2]);
      fmt.rate_hz = le32(&body[4]);
      fmt.bits = le16(&body[14]);
      fmt.is_float = tag == 3;
      have_fmt = true;
      if (size % 2 != 0) std::fseek(f, 1, SEEK_CUR);
    } else if (std::memcmp(head, "data", 4) == 0) {
      fmt.data_bytes = size;
      return have_fmt && fmt.channels > 0 && (fmt.bits == 16 || fmt.bits == 24 || fmt.bits == 32);
    } else {
      std::fseek(f, static_cast<long>(size + (size % 2)), SEEK_CUR);
    }
  }
  return false;
}

void convert(const unsigned char* in, std::size_t samples, const Format& fmt, double* out) {
  if (fmt.bits == 16) {
    for (std::size_t i = 0; i < samples; ++i) {
      out[i] = static_cast<std::int16_t>(le16(in + 2 * i)) / 32768.0;
    }
  } else if (fmt.bits == 24) {
    for (std::size_t i = 0; i < samples; ++i) {
      const unsigned char* p = in + 3 * i;
      const auto v =
          static_cast<std::int32_t>((std::uint32_t{p[0]} << 8) | (std::uint32_t{p[1]} << 16) |
                                    (std::uint32_t{p[2]} << 24)) >>
          8;
      out[i] = v / 8388608.0;
    }
  } else if (fmt.is_float) {
    for (std::size_t i = 0; i < samples; ++i) {
      float v;
      std::memcpy(&v, in + 4 * i, 4);
      out[i] = v;
    }
  } else {
    for (std::size_t i = 0; i < samples; ++i) {
      out[i] = static_cast<std::int32_t>(le32(in + 4 * i)) / 2147483648.0;
    }
  }
}

// Reads the data chunk in 100 ms blocks converted to doubles and hands each
// (interleaved samples, frames) to `take`; false when `take` does.
template <class Take>
bool read_blocks(std::FILE* file, const Format& fmt, Take&& take) {
  const std::size_t frame_bytes = std::size_t{fmt.channels} * (fmt.bits / 8);
  const std::size_t step_frames = std::max<std::size_t>(1, fmt.rate_hz / 10);
  std::vector<unsigned char> raw(step_frames * frame_bytes);
  std::vector<double> block(step_frames * fmt.channels);
  std::uint64_t left_frames = fmt.data_bytes / frame_bytes;
  while (left_frames > 0) {
    const auto want = static_cast<std::size_t>(std::min<std::uint64_t>(step_frames, left_frames));
    const std::size_t got = std::fread(raw.data(), frame_bytes, want, file);
    if (got == 0) break;
    convert(raw.data(), got * fmt.channels, fmt, block.data());
    if (!take(block.data(), got)) return false;
    left_frames -= got;
  }
  return true;
}

// Reads and converts the whole file as measure() does, and nothing else;
// prints the sum of the samples so that the work cannot be left out.
bool read_only(const char* path) {
  FilePtr file(std::fopen(path, "rb"));
  Format fmt;
  if (!file || !read_header(file.get(), fmt)) {
    std::fprintf(stderr, "%s: cannot read as WAV\n", path);
    return false;
  }
  double sum = 0.0;
  read_blocks(file.get(), fmt, [&](const double* block, std::size_t frames) {
    for (std::size_t i = 0; i < frames * fmt.channels; ++i) sum += block[i];
    return true;
  });
  std::printf("%s: sum %.6f\n", path, sum);
  return true;
}

bool measure(const char* path, bool analysis) {
  FilePtr file(std::fopen(path, "rb"));
  Format fmt;
  if (!file || !read_header(file.get(), fmt)) {
    std::fprintf(stderr, "%s: cannot read as WAV\n", path);
    return false;
  }
  const int modes = EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK |
                    (analysis ? 0 : EBUR128_MODE_LRA);
  MeterPtr meter(ebur128_init(fmt.channels, fmt.rate_hz, modes));
  if (!meter) {
    std::fprintf(stderr, "%s: meter refused %u channels at %u Hz\n", path, fmt.channels,
                 fmt.rate_hz);
    return false;
  }
  if (fmt.channels == 2) {
    if (ebur128_set_channel(meter.get(), 0, EBUR128_LEFT) != EBUR128_SUCCESS ||
        ebur128_set_channel(meter.get(), 1, EBUR128_RIGHT) != EBUR128_SUCCESS) {
      return false;
    }
  }
  double momentary_max = -HUGE_VAL, short_term_max = -HUGE_VAL;
  const bool read = read_blocks(file.get(), fmt, [&](const double* block, std::size_t frames) {
    if (ebur128_add_frames_double(meter.get(), block, frames) != EBUR128_SUCCESS) return false;
    if (analysis) {
      double m = 0.0, s = 0.0;
      if (ebur128_loudness_momentary(meter.get(), &m) == EBUR128_SUCCESS) {
        momentary_max = std::max(momentary_max, m);
      }
      if (ebur128_loudness_shortterm(meter.get(), &s) == EBUR128_SUCCESS) {
        short_term_max = std::max(short_term_max, s);
      }
    }
    return true;
  });
  if (!read) return false;
  double integrated = 0.0, range = 0.0, peak = 0.0;
  if (ebur128_loudness_global(meter.get(), &integrated) != EBUR128_SUCCESS) return false;
  if (!analysis && ebur128_loudness_range(meter.get(), &range) != EBUR128_SUCCESS) return false;
  for (unsigned c = 0; c < fmt.channels; ++c) {
    double p = 0.0;
    if (ebur128_true_peak(meter.get(), c, &p) != EBUR128_SUCCESS) return false;
    peak = std::max(peak, p);
  }
  const double peak_db = peak > 0.0 ? 20.0 * std::log10(peak) : -HUGE_VAL;
  if (analysis) {
    std::printf("%s: I %.2f LUFS, M max %.2f LUFS, S max %.2f LUFS, TP %.2f dBFS\n", path,
                integrated, momentary_max, short_term_max, peak_db);
  } else {
    std::printf("%s: I %.2f LUFS, LRA %.2f LU, TP %.2f dBFS\n", path, integrated, range, peak_db);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (argc < 3 || (mode != "lra" && mode != "analysis" && mode != "read")) {
    std::fprintf(stderr, "usage: %s lra|analysis|read FILE.wav...\n", argv[0]);
    return 2;
  }
  for (int i = 2; i < argc; ++i) {
    if (!(mode == "read" ? read_only(argv[i]) : measure(argv[i], mode == "analysis"))) return 1;
  }
  return 0;
}
