// The Measurement result and the arguments every measuring entry point
// shares (measure.cpp): measure(), Meter (feed.cpp) and measure_album()
// (album.cpp) take channel maps and rates by these rules and give this
// result. Everything here runs with the interpreter lock held.
#pragma once

#include <nanobind/nanobind.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "analysis/standard_measurement.h"

namespace sonorik::meter {

namespace nb = nanobind;

// What Python sees as Measurement.
struct Measurement {
  analysis::StandardMeasurement m;
  std::string format;
  std::vector<std::string> channel_map;
  bool series = false;
};

// The channel names given by the caller (None: nothing), checked against
// the known ones. Raises TypeError and ValueError.
std::optional<std::vector<std::string>> channel_names_of(const nb::object& channel_map);

// The layout used (`given`, else `default_layout`) into out.channel_map, and
// its libebur128 values into `roles`; a message when `given` does not fit
// the channel count.
std::optional<std::string> choose_layout(unsigned channels,
                                         const std::optional<std::vector<std::string>>& given,
                                         const std::vector<std::string>& default_layout,
                                         Measurement& out, std::vector<int>& roles);

// A rate argument in Hz. Raises ValueError for None ("rate (Hz) is required
// when source is an array") or a rate that is not measured, TypeError for a
// value that is not an int.
std::uint32_t rate_of(const nb::object& rate);

// measure(source, rate, channel_map=names, series=series, stream=stream) itself: raises
// what measure() raises.
Measurement measure_source(const nb::object& source, const nb::object& rate,
                           const std::optional<std::vector<std::string>>& names, bool series,
                           const nb::object& stream = nb::none());

}  // namespace sonorik::meter
