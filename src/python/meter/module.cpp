// The sonorik_meter module: loudness, true peak, sample peak and RMS of any
// audio file libsndfile reads or of an array, by the standards' own
// definitions. Its parts bind themselves (bindings.h); the doc strings are
// in docs.h, and every exception is made through python/errors.h.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>

#include "analysis/channel_layout.h"
#include "python/meter/arguments.h"
#include "python/meter/bindings.h"
#include "python/meter/docs.h"
#include "python/meter/many_docs.h"

namespace nb = nanobind;

NB_MODULE(sonorik_meter, m) {
  namespace meter = sonorik::meter;
  m.doc() = meter::doc::module_overview;
  m.attr("__version__") = SONORIK_VERSION;

  meter::bind_measure(m);
  meter::bind_feed(m);
  meter::bind_album(m);
  meter::bind_replaygain(m);
  meter::bind_files(m);
  meter::bind_together(m);
  m.attr("CHANNEL_NAMES") = meter::tuple_of(sonorik::analysis::channel_names());

  // The graph lives in the pure-Python library module _sonorik_plot, imported
  // on the first call so that importing this module never imports matplotlib.
  m.def(
      "plot",
      [](nb::args args, nb::kwargs kwargs) {
        nb::object draw = nb::module_::import_("_sonorik_plot").attr("plot");
        nb::object figure = nb::steal(PyObject_Call(draw.ptr(), args.ptr(), kwargs.ptr()));
        if (!figure.is_valid()) throw nb::python_error();
        return figure;
      },
      meter::doc::plot);

  meter::bind_normalize(m);

  // Delivery checks live in the pure-Python library module _sonorik_check
  // (json and dataclasses only), bound here as they are: its functions and
  // classes are sonorik_meter's own.
  nb::module_ checks = nb::module_::import_("_sonorik_check");
  for (const char* name : {"check", "check_presets", "load_check_preset", "CheckPreset",
                           "CheckCriterion", "CheckVerdict"}) {
    m.attr(name) = checks.attr(name);
  }

  // Many sources at once live in the pure-Python library module _sonorik_many,
  // imported on the first call (it imports pyarrow, tqdm and concurrent.futures).
  for (const auto& [name, text] : {std::pair{"measure_many", meter::doc::measure_many},
                                   std::pair{"normalize_many", meter::doc::normalize_many}}) {
    m.def(
        name,
        [called = std::string(name)](nb::args args, nb::kwargs kwargs) {
          nb::object run = nb::module_::import_("_sonorik_many").attr(called.c_str());
          nb::object table = nb::steal(PyObject_Call(run.ptr(), args.ptr(), kwargs.ptr()));
          if (!table.is_valid()) throw nb::python_error();
          return table;
        },
        text);
  }
}
