// Meter: a measurement fed block by block (live audio, a stream, anything
// cut into arrays), read at any moment. One StandardSession per meter, fed
// through the same array readers as measure(), so that measurement() equals
// measure() of the same audio bit for bit however it was cut. A mutex per
// meter serialises the calls of several threads; it is waited for without
// the interpreter lock.
#include <nanobind/nanobind.h>
#include <nanobind/ndarray.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "analysis/channel_layout.h"
#include "analysis/standard_measurement.h"
#include "audio/finite_check.h"
#include "audio/source.h"
#include "python/meter/arguments.h"
#include "python/meter/arrays.h"
#include "python/meter/bindings.h"
#include "python/meter/docs.h"
#include "python/meter/measurement.h"
#include "python/meter/sources.h"

namespace sonorik::meter {

namespace {

using analysis::StandardSession;

// Blocks of fewer samples are fed with the interpreter lock held and without
// watching for interrupts: they take less time than releasing the lock.
constexpr std::size_t kReleaseSamples = 4096;

// The most channels a meter takes: readings so far copy the meter's state.
constexpr unsigned kMaxMeterChannels = 8;

// What Python sees as Meter.
struct FeedMeter {
  // What the mutex guards: the session. The rest is read and written with
  // the interpreter lock held.
  struct State {
    std::mutex mutex;
    StandardSession session;
    // The sample types fed, in order of first use, with their names.
    std::vector<std::pair<nb::dlpack::dtype, std::string>> dtypes;
    std::optional<std::string> broken;  // why the meter must be reset first
    explicit State(StandardSession s) : session(std::move(s)) {}
  };
  std::uint32_t rate_hz = 0;
  unsigned channels = 0;
  bool series = false;
  std::vector<std::string> channel_map;
  std::unique_ptr<State> state;
};

// What Python sees as Readings.
struct MeterReadings {
  analysis::LiveReadings r;
  std::uint32_t rate_hz = 0;
};

// Locks `mutex`, waiting for it without the interpreter lock.
std::unique_lock<std::mutex> lock_meter(std::mutex& mutex) {
  std::unique_lock<std::mutex> lock(mutex, std::try_to_lock);
  if (!lock.owns_lock()) {
    nb::gil_scoped_release unlocked;
    lock.lock();
  }
  return lock;
}

// Raises RuntimeError when the meter must be reset before use.
void check_usable(const FeedMeter& self) {
  if (self.state->broken) raise(PyExc_RuntimeError, *self.state->broken + ": call reset()");
}

unsigned channels_of(const nb::object& channels) {
  if (nb::isinstance<nb::bool_>(channels) || !PyIndex_Check(channels.ptr())) {
    raise(PyExc_TypeError, "channels must be an int, got " + type_name_of(channels));
  }
  const nb::object index = nb::steal(PyNumber_Index(channels.ptr()));
  if (!index.is_valid()) throw nb::python_error();
  int overflow = 0;
  const long long n = PyLong_AsLongLongAndOverflow(index.ptr(), &overflow);
  if (overflow != 0 || n < 1 || n > kMaxMeterChannels) {
    raise(PyExc_ValueError, "a Meter measures 1 to 8 channels (got " + text_of(nb::repr(channels)) +
                                "); measure() takes up to 64");
  }
  return static_cast<unsigned>(n);
}

void construct(FeedMeter* self, const nb::object& rate, const nb::object& channels,
               const nb::object& channel_map, bool series) {
  if (rate.is_none()) raise(PyExc_TypeError, "rate must be an int (Hz), got NoneType");
  FeedMeter meter;
  meter.rate_hz = rate_of(rate);
  meter.channels = channels_of(channels);
  meter.series = series;
  Measurement layout;
  std::vector<int> roles;
  if (std::optional<std::string> bad =
          choose_layout(meter.channels, channel_names_of(channel_map),
                        analysis::default_layout(meter.channels), layout, roles)) {
    raise(PyExc_ValueError, *bad);
  }
  meter.channel_map = std::move(layout.channel_map);
  Result<StandardSession> session =
      StandardSession::create(meter.channels, meter.rate_hz, roles, series);
  if (!session) raise(PyExc_ValueError, session.error().message());
  // Readings so far copy the session: a layout whose state cannot be copied
  // is refused now rather than at the first reading.
  if (Result<StandardSession> probe = session->copy(); !probe) {
    raise(PyExc_ValueError, "this Meter cannot give readings so far: " + probe.error().message());
  }
  meter.state = std::make_unique<FeedMeter::State>(std::move(session).value());
  new (self) FeedMeter(std::move(meter));
}

// Why an add() failed, for the exception made once the lock is back.
struct AddOutcome {
  Status status = ok_status();
  bool sample = false;  // a non-finite sample: nothing was fed
};

// Feeds every frame of `a` (checked), or none when a sample is not finite.
AddOutcome feed_array(FeedMeter::State& s, const Array& a, unsigned channels) {
  AddOutcome o;
  const std::uint64_t origin = s.session.frames_fed();
  if (BadSample bad = first_non_finite_in(a, origin)) {
    o.sample = true;
    o.status = Error(non_finite_message(*bad));
    return o;
  }
  with_array_reader(a, channels, nullptr, origin, [&](auto reader) {
    for (;;) {
      Result<std::size_t> got = s.session.feed_from(std::ref(reader));
      if (!got) o.status = std::move(got).error();
      if (!got || *got == 0) return;
    }
  });
  return o;
}

Array block_arg(const FeedMeter& self, const nb::object& block) {
  const Array a = array_or_raise(block, "block must be");
  const std::size_t columns = array_columns(block, a);
  const std::string want = std::to_string(self.channels);
  if (a.ndim() == 1 && self.channels != 1) {
    raise(PyExc_ValueError, "a 1-D block is mono, and this meter measures " + want +
                                " channels: pass an array shaped (frames, " + want + ")");
  }
  if (columns != self.channels) {
    raise(PyExc_ValueError, "block has " + std::to_string(columns) +
                                " channels (shape (frames, channels)), and this meter measures " +
                                want);
  }
  return a;
}

void add(FeedMeter& self, const nb::object& block) {
  check_usable(self);
  const Array a = block_arg(self, block);
  FeedMeter::State& s = *self.state;
  AddOutcome o;
  try {
    if (a.shape(0) * self.channels < kReleaseSamples) {
      const std::unique_lock<std::mutex> lock = lock_meter(s.mutex);
      o = feed_array(s, a, self.channels);
    } else {
      o = released([&] {
        const std::lock_guard<std::mutex> lock(s.mutex);
        return feed_array(s, a, self.channels);
      });
    }
  } catch (const nb::python_error&) {  // raise_interrupted()
    s.broken = "add() was interrupted and the meter holds part of that block";
    throw;
  } catch (...) {  // std::bad_alloc from the engine
    s.broken = "add() failed part way and the meter holds part of that block";
    throw;
  }
  if (o.sample) raise(PyExc_ValueError, o.status.error().message());
  if (!o.status) {
    s.broken = "the meter failed (" + o.status.error().message() + ")";
    raise(o.status.error().message() == kInterrupted ? PyExc_KeyboardInterrupt : PyExc_MemoryError,
          *s.broken);
  }
  if (a.shape(0) == 0) return;
  for (const auto& known : s.dtypes)
    if (known.first == a.dtype()) return;
  s.dtypes.emplace_back(a.dtype(), dtype_name(block, a));
}

// ---- a whole file fed ----------------------------------------------------------

// Why add_source() failed, for the exception made once the lock is back.
enum class SourceFailure { none, open, mismatch, read, sample, engine };

struct SourceFed {
  SourceFailure failure = SourceFailure::none;
  std::optional<Error> error;
};

// Opens `given` and feeds every frame it holds (with the meter locked).
SourceFed feed_source(const FeedMeter& self, FeedMeter::State& s, SourceArg& given) {
  SourceFed o;
  Result<AudioSource> opened = given.open();
  if (!opened) return {SourceFailure::open, opened.error()};
  const SourceInfo& info = opened->info;
  if (info.rate_hz != self.rate_hz || info.channels != self.channels) {
    return {SourceFailure::mismatch,
            Error("the source is " + std::to_string(info.rate_hz) + " Hz with " +
                  std::to_string(info.channels) + " channels, and this meter measures " +
                  std::to_string(self.rate_hz) + " Hz with " + std::to_string(self.channels))};
  }
  const bool floats = stores_floats(info.sf_format);
  BadSample bad;
  bool reader_failed = false;
  std::uint64_t at = s.session.frames_fed();
  const auto read = [&](double* out, std::size_t max_frames) -> Result<std::size_t> {
    Result<std::size_t> got = opened->reader.read(out, max_frames);
    if (!got) reader_failed = true;
    if (floats) got = finite_or_error(std::move(got), out, info.channels, at, bad);
    if (got) at += *got;
    return got;
  };
  for (;;) {
    Result<std::size_t> got = s.session.feed_from(read);
    if (!got) {
      o.failure = bad             ? SourceFailure::sample
                  : reader_failed ? SourceFailure::read
                                  : SourceFailure::engine;
      o.error = got.error();
      return o;
    }
    if (*got == 0) return o;
  }
}

void add_source(FeedMeter& self, const nb::object& source) {
  check_usable(self);
  if (source_kind(source) == SourceKind::array) {
    raise(PyExc_TypeError,
          "add_source() takes a file (a path, URL, bytes or a binary file-like object), got " +
              type_name_of(source) + ": pass arrays to add()");
  }
  SourceArg given(source, "source");
  FeedMeter::State& s = *self.state;
  const char* part_way = "add_source() failed part way and the meter holds part of that source";
  SourceFed o;
  try {
    o = released([&] {
      const std::lock_guard<std::mutex> lock(s.mutex);
      return feed_source(self, s, given);
    });
  } catch (const nb::python_error&) {  // raise_interrupted()
    s.broken = "add_source() was interrupted and the meter holds part of that source";
    throw;
  } catch (...) {  // std::bad_alloc from the engine
    s.broken = part_way;
    throw;
  }
  switch (o.failure) {
    case SourceFailure::none:
      return;
    case SourceFailure::open:
      given.raise_error(*o.error);
    case SourceFailure::mismatch:
      raise(PyExc_ValueError, o.error->message());
    case SourceFailure::read:
      s.broken = part_way;
      given.raise_error(*o.error);
    case SourceFailure::sample:
      s.broken = part_way;
      raise(PyExc_ValueError, o.error->message() + ": " + given.label());
    case SourceFailure::engine:
      s.broken = "the meter failed (" + o.error->message() + ")";
      raise(PyExc_MemoryError, *s.broken);
  }
}

// Runs `work` on the session with the meter locked and the interpreter lock
// released; raises what the session's error means.
template <class T, class F>
T on_session(FeedMeter& self, F&& work) {
  check_usable(self);
  FeedMeter::State& s = *self.state;
  std::optional<Result<T>> got;
  {
    nb::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> lock(s.mutex);
    got.emplace(work(s.session));
  }
  if (!*got) {
    s.broken = "the meter failed (" + got->error().message() + ")";
    raise(PyExc_MemoryError, *s.broken);
  }
  return std::move(*got).value();
}

Measurement measurement(FeedMeter& self) {
  Measurement out;
  out.m = on_session<analysis::StandardMeasurement>(
      self, [](StandardSession& session) { return session.measurement_so_far(); });
  out.format = "array";
  for (std::size_t i = 0; i < self.state->dtypes.size(); ++i)
    out.format += (i == 0 ? " " : "+") + self.state->dtypes[i].second;
  out.channel_map = self.channel_map;
  out.series = self.series;
  return out;
}

MeterReadings readings(FeedMeter& self) {
  return MeterReadings{on_session<analysis::LiveReadings>(
                           self, [](StandardSession& session) { return session.now(); }),
                       self.rate_hz};
}

void reset(FeedMeter& self) {
  FeedMeter::State& s = *self.state;
  Status done = ok_status();
  {
    nb::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> lock(s.mutex);
    done = s.session.reset();
  }
  if (!done)
    raise(PyExc_MemoryError, "the meter could not be reset (" + done.error().message() + ")");
  s.dtypes.clear();
  s.broken.reset();
}

FeedMeter copy(FeedMeter& self) {
  FeedMeter out;
  out.state = std::make_unique<FeedMeter::State>(
      on_session<StandardSession>(self, [](StandardSession& session) { return session.copy(); }));
  out.rate_hz = self.rate_hz;
  out.channels = self.channels;
  out.series = self.series;
  out.channel_map = self.channel_map;
  out.state->dtypes = self.state->dtypes;
  return out;
}

double seconds(std::uint64_t frames, std::uint32_t rate_hz) {
  return static_cast<double>(frames) / static_cast<double>(rate_hz);
}

void bind_readings(nb::module_& m) {
  namespace d = doc::readings;
  nb::class_<MeterReadings>(m, "Readings", doc::readings_class)
      .def_prop_ro(
          "frames", [](const MeterReadings& s) { return s.r.frames; }, d::frames)
      .def_prop_ro(
          "duration_s", [](const MeterReadings& s) { return seconds(s.r.frames, s.rate_hz); },
          d::duration_s)
      .def_prop_ro(
          "momentary_lufs", [](const MeterReadings& s) { return s.r.momentary_lufs; },
          d::momentary_lufs)
      .def_prop_ro(
          "short_term_lufs", [](const MeterReadings& s) { return s.r.short_term_lufs; },
          d::short_term_lufs)
      .def_prop_ro(
          "momentary_max_lufs", [](const MeterReadings& s) { return s.r.momentary_max_lufs; },
          d::momentary_max_lufs)
      .def_prop_ro(
          "short_term_max_lufs", [](const MeterReadings& s) { return s.r.short_term_max_lufs; },
          d::short_term_max_lufs)
      .def("__repr__", [](const MeterReadings& s) {
        const auto shown = [](const std::optional<double>& v) {
          return v ? level_text(*v) : std::string("None");
        };
        return "Readings(duration_s=" + level_text(seconds(s.r.frames, s.rate_hz)) +
               ", momentary_lufs=" + shown(s.r.momentary_lufs) +
               ", short_term_lufs=" + shown(s.r.short_term_lufs) + ")";
      });
}

}  // namespace

void bind_feed(nb::module_& m) {
  namespace d = doc::meter;
  bind_readings(m);
  nb::class_<FeedMeter>(m, "Meter", doc::meter_class)
      .def("__init__", &construct, nb::arg("rate"), nb::arg("channels"), nb::kw_only(),
           nb::arg("channel_map") = nb::none(), nb::arg("series") = false)
      .def("add", &add, nb::arg("block"), d::add)
      .def("add_source", &add_source, nb::arg("source"), doc::meter_source::add_source)
      .def("readings", &readings, d::readings)
      .def("measurement", &measurement, d::measurement)
      .def("reset", &reset, d::reset)
      .def("copy", &copy, d::copy)
      .def("__copy__", &copy, d::copy)
      .def(
          "__deepcopy__", [](FeedMeter& self, const nb::object&) { return copy(self); },
          nb::arg("memo"), d::copy)
      .def_prop_ro(
          "rate_hz", [](const FeedMeter& s) { return s.rate_hz; }, d::rate_hz)
      .def_prop_ro(
          "channels", [](const FeedMeter& s) { return s.channels; }, d::channels)
      .def_prop_ro(
          "channel_map", [](const FeedMeter& s) { return tuple_of(s.channel_map); }, d::channel_map)
      .def_prop_ro(
          "series", [](const FeedMeter& s) { return s.series; }, d::series)
      .def_prop_ro(
          "frames",
          [](FeedMeter& s) {
            const std::unique_lock<std::mutex> lock = lock_meter(s.state->mutex);
            return s.state->session.frames_fed();
          },
          d::frames)
      .def("__repr__", [](const FeedMeter& s) {
        return "Meter(rate=" + std::to_string(s.rate_hz) +
               ", channels=" + std::to_string(s.channels) + ")";
      });
}

}  // namespace sonorik::meter
