// The loudness meter's check against the installed library, once per
// process (KMeter::create): every reading of probe signals, bit for bit, at
// every vector width. Built with -ffp-contract=off (CMakeLists.txt), as
// k_meter.cpp.
#include <ebur128.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <system_error>
#include <thread>
#include <vector>

#include "analysis/k_meter.h"
#include "analysis/meter.h"

namespace sonorik::analysis {

namespace {

constexpr unsigned long kRates[] = {4000, 5005};
constexpr unsigned kChannels[] = {2, 6};

// The probes, kChannels[i] interleaved channels at kRates[i], in five parts:
// loud noise, silence, noise near the smallest normal number (flushing),
// quieter noise, louder noise.
std::array<std::vector<double>, 2> probe_signals() {
  std::uint32_t seed = 12345;
  const auto uniform = [&seed] {
    seed = seed * 1664525u + 1013904223u;
    return static_cast<double>(seed) / 4294967296.0 * 2.0 - 1.0;
  };
  std::array<std::vector<double>, 2> probes;
  for (std::size_t i = 0; i < 2; ++i) {
    const std::size_t frames = kRates[i] * 21 / 5;  // two loudness-range blocks
    probes[i].resize(frames * kChannels[i]);
    for (std::size_t f = 0; f < frames; ++f) {
      const std::size_t part = f * 5 / frames;
      for (unsigned c = 0; c < kChannels[i]; ++c) {
        const double scale[] = {0.9, 0.0, 1e-160, 0.05, 0.5};
        probes[i][f * kChannels[i] + c] = scale[part] * (1.0 - 0.1 * c) * uniform();
      }
    }
  }
  return probes;
}

}  // namespace

bool KMeter::matches_meter() {
  // Stereo and six channels at two low rates (one with an odd block length),
  // each fed in uneven parts, and every reading compared after every third
  // part and at the end, at every vector width. The library and each width
  // read the probes apart, and the readings are compared after.
  constexpr unsigned kBits[] = {128, 256, 512};
  const int mode = EBUR128_MODE_M | EBUR128_MODE_S | EBUR128_MODE_I | EBUR128_MODE_LRA;
  const std::array<std::vector<double>, 2> probes = probe_signals();
  // Feeds probe i in its parts to `feed`, and after every third and the
  // last, appends `read`'s readings: false where either fails.
  using Readings = std::vector<std::optional<double>>;
  const auto run = [&](std::size_t i, auto&& feed, auto&& read, Readings& out) {
    const std::size_t frames = probes[i].size() / kChannels[i];
    std::size_t at = 0;
    for (std::size_t piece = 0, count = 0; at < frames; piece = piece * 7 + 1234, ++count) {
      const std::size_t n = std::min(frames - at, 1 + piece % (kRates[i] / 2));
      if (!feed(probes[i].data() + at * kChannels[i], n)) return false;
      at += n;
      if (count % 3 == 0 || at == frames) read(out);
    }
    return true;
  };
  const auto library = [&](std::size_t i, Readings& out) {
    const unsigned channels = kChannels[i];
    Result<Meter> meter = Meter::create(channels, kRates[i], mode);
    if (!meter) return false;
    std::vector<Meter> singles;
    for (unsigned c = 0; c < channels; ++c) {
      Result<Meter> single = Meter::create(1, kRates[i], EBUR128_MODE_I);
      if (!single) return false;
      singles.push_back(std::move(single).value());
    }
    std::vector<double> one;
    const auto feed = [&](const double* p, std::size_t n) {
      if (!meter->add_frames(p, n)) return false;
      one.resize(n);
      for (unsigned c = 0; c < channels; ++c) {
        for (std::size_t f = 0; f < n; ++f) one[f] = p[f * channels + c];
        if (!singles[c].add_frames(one.data(), n)) return false;
      }
      return true;
    };
    const auto read = [&](Readings& r) {
      r.insert(r.end(), {meter->momentary(), meter->shortterm(), meter->window(100),
                         meter->global(), meter->relative_threshold(), meter->range()});
      for (unsigned c = 0; c < channels; ++c) r.push_back(singles[c].global());
    };
    return run(i, feed, read, out);
  };
  const auto ours = [&](std::size_t i, unsigned bits, Readings& out) {
    std::optional<KMeter> k = build(kChannels[i], kRates[i], mode, {}, true, bits);
    if (!k) return false;
    const auto feed = [&](const double* p, std::size_t n) { return k->add_frames(p, n); };
    const auto read = [&](Readings& r) {
      r.insert(r.end(), {k->momentary(), k->shortterm(), k->window(100), k->global(),
                         k->relative_threshold(), k->range()});
      for (unsigned c = 0; c < kChannels[i]; ++c) r.push_back(k->channel_global(c));
    };
    return run(i, feed, read, out);
  };
  // Task t: the library on probe t / 4 for t % 4 == 0, else width t % 4 - 1.
  // The longest, the library on the six-channel probe, runs on a thread of
  // its own (the caller runs it itself where none can be started).
  Readings readings[8];
  bool ran[8] = {};
  const auto task = [&](std::size_t t) {
    try {
      const std::size_t i = t / 4;
      ran[t] = t % 4 == 0 ? library(i, readings[t]) : ours(i, kBits[t % 4 - 1], readings[t]);
    } catch (...) {  // memory ran out: the library meters then
      ran[t] = false;
    }
  };
  std::optional<std::thread> aside;
  try {
    aside.emplace(task, 4);
  } catch (const std::system_error&) {
    task(4);
  }
  for (std::size_t t = 0; t < 8; ++t)
    if (t != 4) task(t);
  if (aside) aside->join();
  const auto same = [](std::optional<double> a, std::optional<double> b) {
    return a.has_value() == b.has_value() && (!a || std::memcmp(&*a, &*b, sizeof(double)) == 0);
  };
  for (std::size_t t = 0; t < 8; ++t) {
    const Readings& theirs = readings[t / 4 * 4];
    if (!ran[t] || readings[t].size() != theirs.size()) return false;
    for (std::size_t r = 0; r < theirs.size(); ++r)
      if (!same(readings[t][r], theirs[r])) return false;
  }
  return true;
}

}  // namespace sonorik::analysis
