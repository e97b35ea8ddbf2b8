// Generated test audio: sines at a dBFS level, level sequences, silence.
#pragma once

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <numbers>
#include <vector>

#include "audio/audio_data.h"

namespace sonorik::test {

// An AudioData as the decoder would produce it.
inline AudioData make_audio(std::uint32_t rate_hz, std::uint16_t channels,
                            std::vector<double> samples) {
  AudioData a;
  a.samples = std::move(samples);
  a.info.sample_rate = rate_hz;
  a.info.channels = channels;
  a.info.bit_depth = 64;
  a.info.sample_format = SampleFormat::F64;
  a.info.total_samples = a.samples.size();
  a.info.duration_seconds =
      channels == 0 || rate_hz == 0
          ? 0.0
          : static_cast<double>(a.samples.size() / channels) / static_cast<double>(rate_hz);
  return a;
}

struct Segment {
  double level_dbfs;  // peak amplitude of the sine
  double seconds;
};

// A sine of `freq_hz` in every channel, its level changing per segment; the
// phase runs on across segment boundaries.
inline AudioData sine_sequence(std::uint32_t rate_hz, std::uint16_t channels,
                               const std::vector<Segment>& segments,
                               double freq_hz = 1000.0) {
  std::vector<double> s;
  std::size_t frame = 0;
  for (const Segment& seg : segments) {
    const double amp = std::pow(10.0, seg.level_dbfs / 20.0);
    const auto frames = static_cast<std::size_t>(std::llround(seg.seconds * rate_hz));
    for (std::size_t i = 0; i < frames; ++i, ++frame) {
      const double v = amp * std::sin(2.0 * std::numbers::pi * freq_hz * static_cast<double>(frame) /
                                      static_cast<double>(rate_hz));
      for (std::uint16_t c = 0; c < channels; ++c) s.push_back(v);
    }
  }
  return make_audio(rate_hz, channels, std::move(s));
}

inline AudioData sine(std::uint32_t rate_hz, std::uint16_t channels, double level_dbfs,
                      double seconds, double freq_hz = 1000.0) {
  return sine_sequence(rate_hz, channels, {{level_dbfs, seconds}}, freq_hz);
}

// Channel c carries a sine of its own frequency and level, with a slow
// envelope so that loudness varies over time; a channel that is dropped or
// mixed up changes every loudness value.
inline AudioData distinct_channels(std::uint32_t rate_hz, std::uint16_t channels, double seconds) {
  const auto frames = static_cast<std::size_t>(seconds * rate_hz);
  std::vector<double> s(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / static_cast<double>(rate_hz);
    const double envelope = 0.05 + 0.95 * std::fabs(std::sin(2.0 * std::numbers::pi * 0.07 * t));
    for (std::uint16_t c = 0; c < channels; ++c) {
      const double amp = (0.05 + 0.1 * c) * envelope;
      s[i * channels + c] = amp * std::sin(2.0 * std::numbers::pi * 220.0 * (c + 1) * t);
    }
  }
  return make_audio(rate_hz, channels, std::move(s));
}

}  // namespace sonorik::test
