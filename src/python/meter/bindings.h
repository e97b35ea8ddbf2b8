// The parts of the sonorik_meter module, each adding its functions and
// classes to the module object (module.cpp calls them in this order).
#pragma once

#include <nanobind/nanobind.h>

namespace sonorik::meter {

// measure(), info() and their results, Measurement and FileInfo (measure.cpp).
void bind_measure(nanobind::module_& m);
// extensions() and find_audio_files() (files.cpp).
void bind_files(nanobind::module_& m);
// normalize(), NormalizeReport and MEASURES (normalize.cpp).
void bind_normalize(nanobind::module_& m);
// Meter and Readings (feed.cpp).
void bind_feed(nanobind::module_& m);
// measure_album() and Album (album.cpp).
void bind_album(nanobind::module_& m);
// replaygain(), GainRecord, write_gain_tags() and read_gain_tags() (replaygain.cpp).
void bind_replaygain(nanobind::module_& m);

// _measure_together (together.cpp).
void bind_together(nanobind::module_& m);

}  // namespace sonorik::meter
