#include "analysis/engine.h"

#include <tbb/task_arena.h>
#include <tbb/task_group.h>

#include <algorithm>
#include <utility>

#include "analysis/engine_parts.h"
#include "analysis/sample_buffer.h"
#include "core/interrupt.h"

#if defined(__SANITIZE_THREAD__)
extern "C" void __tsan_acquire(void* addr);
extern "C" void __tsan_release(void* addr);
extern "C" void AnnotateIgnoreWritesBegin(const char* file, int line);
extern "C" void AnnotateIgnoreWritesEnd(const char* file, int line);
#endif

namespace sonorik::analysis {

namespace {

// Tells ThreadSanitizer what the worker pool's own synchronisation (not
// instrumented) guarantees: a task sees what its starter did before starting
// it, and the waiter sees what the task did. Tasks running side by side get
// no ordering from it. A task learns where its handoff is only by reading its
// own captures, so starts go through one address for the whole process (runs
// in other threads get an ordering they may not have; their tasks share no
// state).
class Handoff {
 public:
  void before_start() noexcept { release(&start); }
  static void at_start() noexcept { acquire(&start); }
  void at_end() noexcept { release(&end_); }
  void after_wait() noexcept { acquire(&end_); }
  // While one lives, the writes that build a task are not told: the pool
  // frees a task's object after its last access that the sanitizer sees,
  // and may hand its memory to the next task built (memory no one else
  // holds then).
  class Building {
   public:
    Building() noexcept { ignore_writes(true); }
    ~Building() { ignore_writes(false); }
    Building(const Building&) = delete;
    Building& operator=(const Building&) = delete;
  };

 private:
#if defined(__SANITIZE_THREAD__)
  static void acquire(void* p) noexcept { __tsan_acquire(p); }
  static void release(void* p) noexcept { __tsan_release(p); }
  static void ignore_writes(bool begin) noexcept {
    if (begin) {
      AnnotateIgnoreWritesBegin(__FILE__, __LINE__);
    } else {
      AnnotateIgnoreWritesEnd(__FILE__, __LINE__);
    }
  }
#else
  static void acquire(void*) noexcept {}
  static void release(void*) noexcept {}
  static void ignore_writes(bool) noexcept {}
#endif
  static inline char start = 0;
  char end_ = 0;
};

// A task group whose waiter acquires what each task's end released: the
// last access to a task's object that the sanitizer sees is the release of
// the group's wait context, and one more reference to it, taken and given
// back, acquires every release. (The pool may then hand that memory to the
// next task the waiter builds.)
class TaskGroup : public tbb::task_group {
 public:
  void wait() {
    tbb::task_group::wait();
#if defined(__SANITIZE_THREAD__)
    m_wait_ctx.reserve();
    m_wait_ctx.release();
#endif
  }
};

// Runs `f` on `group` with the handoff told, once the task holding it is
// built.
template <class F>
void run_told(TaskGroup& group, Handoff& handoff, F&& f) {
  auto task = [&] {
    const Handoff::Building building;
    return group.defer([&handoff, f = std::forward<F>(f)] {
      Handoff::at_start();
      f();
      handoff.at_end();
    });
  }();
  handoff.before_start();
  group.run(std::move(task));
}

// Waits for `group`, then tells the handoff.
void wait_told(TaskGroup& group, Handoff& handoff) {
  group.wait();
  handoff.after_wait();
}

// Every block of samples holds at most this many values (512 KiB).
constexpr std::size_t kBlockSamples = std::size_t{1} << 16;

unsigned worker_count() {
  return static_cast<unsigned>(std::max(1, tbb::this_task_arena::max_concurrency()));
}

}  // namespace

// The session's state, at one address for its whole life (the parts and
// the tasks refer to it).
class Engine::Session {
 public:
  explicit Session(EngineConfig config)
      : config_(std::move(config)),
        channels_(std::max(1u, config_.channels)),
        block_(block_frames(channels_)),
        loudness_(config_.loudness ? parts::LoudnessPart::create(config_) : std::nullopt),
        channel_meters_(parts::ChannelMeter::create_all(config_, loudness_)),
        groups_(parts::PeakGroup::create_all(config_, worker_count())),
        rms_(parts::RmsPart::create(config_)) {
    // A programme shorter than a block takes its frames and one more: the
    // read that finds its end then asks for one frame, not a whole block
    // (which a reader may clear, as libsndfile does at the end).
    const std::uint64_t expected = config_.expected_frames;
    const std::size_t first = expected > 0 && expected < block_ ? expected + 1 : block_;
    for (SampleBuffer& b : buffers_) {
      // A whole block's memory, which the allocator keeps for the next
      // programme, of whatever length: only the pages of the `first`
      // frames used are ever touched. (Memory in sizes to fit, one freed
      // block of one size could not serve the next of another, and a run
      // of short files of many lengths would touch pages of each size.)
      b.reserve(block_ * channels_);
      b.resize(first * channels_);
    }
  }

  ~Session() {
    // An error already on its way out wins over the tasks' own.
    try {
      wait_told(tasks_, handoff_);
    } catch (...) {
    }
    try {
      wait_told(meter_task_, meter_handoff_);
    } catch (...) {
    }
  }

  // A session in `other`'s state (its tasks done: see wait()) calling
  // `config`'s callbacks; other.copyable() must hold.
  Session(const Session& other, EngineConfig config)
      : config_(std::move(config)),
        channels_(other.channels_),
        block_(other.block_),
        loudness_(other.loudness_),
        channel_meters_(other.channel_meters_),
        groups_(other.groups_),
        rms_(other.rms_),
        current_(other.current_),
        filled_(other.filled_),
        grid_done_(other.grid_done_),
        frames_(other.frames_) {
    if (loudness_) loudness_->rebind(config_);
    if (rms_) rms_->rebind(config_);
    for (SampleBuffer& b : buffers_) b.resize(block_ * channels_);
    std::copy_n(other.buffers_[current_].begin(), filled_ * channels_, buffers_[current_].begin());
  }

  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  unsigned channels() const noexcept { return channels_; }
  const EngineConfig& config() const noexcept { return config_; }
  std::uint64_t frames_fed() const noexcept { return frames_ + filled_; }

  // Whether every part's state can be copied.
  bool copyable() const noexcept {
    const auto copyable = [](const auto& part) { return part.copyable(); };
    return (!loudness_ || loudness_->copyable()) &&
           std::all_of(channel_meters_.begin(), channel_meters_.end(), copyable) &&
           std::all_of(groups_.begin(), groups_.end(), copyable);
  }

  // Leaves the session spent (an interrupt stopped a feed part-way).
  void spend() noexcept { stage_ = Stage::failed; }

  // OK while frames may be fed.
  Status usable() const {
    if (stage_ == Stage::finished) return Error("measurement finished");
    if (stage_ == Stage::failed) return Error("measurement failed");
    return ok_status();
  }

  // Where the next frames go, and how many fit before the block is full
  // (its memory grown to a whole block when the programme is longer than
  // expected).
  double* room(std::size_t& frames) {
    SampleBuffer& b = buffers_[current_];
    frames = block_ - grid_done_ - filled_;
    if (frames > 0 && filled_ * channels_ == b.size()) b.resize(block_ * channels_);
    frames = std::min(frames, b.size() / channels_ - filled_);
    return b.data() + filled_ * channels_;
  }

  // Takes `frames` frames written at room(); a full block is handed out.
  void commit(std::size_t frames) {
    filled_ += frames;
    if (grid_done_ + filled_ == block_) guarded([&] { dispatch(true); });
  }

  // Hands out the frames waiting, if any, and waits for every part.
  void flush() {
    guarded([&] {
      if (filled_ > 0) dispatch(false);
      wait();
    });
  }

  // Waits for every part.
  void wait() {
    guarded([&] {
      wait_told(tasks_, handoff_);
      wait_told(meter_task_, meter_handoff_);
    });
  }

  // The loudness reading at the last frame fed (after flush()).
  StepReading now() const {
    if (loudness_) return loudness_->now();
    return {frames_, 0, std::nullopt, std::nullopt};
  }

  Result<EngineResult> finish() {
    guarded([&] {
      if (filled_ > 0) dispatch(true);
      wait();
    });
    stage_ = Stage::finished;
    return guarded([&] { return result(); });
  }

  // Fills the block being filled from `read` until it is full or the audio
  // ends, without handing it out; true at the end.
  Result<bool> fill(const Reader& read) {
    for (;;) {
      if (interrupted()) return Error(kInterrupted);
      std::size_t room = 0;
      double* at = this->room(room);
      if (room == 0) return false;
      Result<std::size_t> got = read(at, room);
      if (!got) return std::move(got).error();
      if (*got == 0) return true;
      filled_ += std::min(*got, room);
    }
  }

  // The block being filled and its frames (nullptr for none).
  const double* filled_block(std::size_t& frames) const noexcept {
    frames = filled_;
    return filled_ == 0 ? nullptr : buffers_[current_].data();
  }

  // Hands the block being filled, if it holds frames, to every part but the
  // loudness meter (ending one of the engine's blocks).
  void hand_out_apart() {
    std::size_t frames = 0;
    if (filled_ > 0) guarded([&] { hand_out(true, frames); });
  }

  // Waits for the parts but the loudness meter.
  void wait_parts() {
    guarded([&] { wait_told(tasks_, handoff_); });
  }

  parts::LoudnessPart* loudness() noexcept { return loudness_ ? &*loudness_ : nullptr; }
  // The RMS part, where it takes blocks side by side with other sessions'
  // (run_together() feeds it): the blocks handed out from now on no longer
  // go to it.
  parts::RmsPart* take_rms() noexcept {
    if (!rms_ || !rms_->side_by_side()) return nullptr;
    rms_elsewhere_ = true;
    return &*rms_;
  }

  // finish() once every block has been handed out and the loudness meter's
  // feeds are done.
  Result<EngineResult> finish_handed_out() {
    wait();
    stage_ = Stage::finished;
    return guarded([&] { return result(); });
  }

 private:
  enum class Stage { open, finished, failed };

  // Runs `f`; an exception leaves the session spent.
  template <class F>
  auto guarded(F&& f) -> decltype(f()) {
    try {
      return f();
    } catch (...) {
      stage_ = Stage::failed;
      throw;
    }
  }

  // Hands the block being filled to the parts and turns to the other one;
  // `block_end` when the frames end one of the engine's blocks (a flush
  // hands out the start of one).
  void dispatch(bool block_end) {
    std::size_t frames = 0;
    const double* p = hand_out(block_end, frames);
    if (loudness_) {
      // The loudness meter (the longest part, one recursion that cannot be
      // split) runs past the others' barrier: it may still be on this block
      // while the other parts take the next. The previous block's feed is
      // waited for here, before the caller refills its buffer.
      wait_told(meter_task_, meter_handoff_);
      run_told(meter_task_, meter_handoff_, [this, p, frames] { loudness_->feed(p, frames); });
    }
  }

  // Hands the block being filled to every part but the loudness meter and
  // turns to the other one; gives the block and its frames.
  const double* hand_out(bool block_end, std::size_t& frames) {
    const double* p = buffers_[current_].data();
    frames = filled_;
    const unsigned channels = channels_;
    frames_ += frames;
    current_ ^= 1u;
    filled_ = 0;
    grid_done_ = block_end ? 0 : grid_done_ + frames;
    // The previous block's parts, before the same parts take this one. The
    // calling thread takes the newest task and idle workers the oldest; the
    // caller fills the other block meanwhile.
    wait_told(tasks_, handoff_);
    for (std::size_t g = 0; g + 1 < groups_.size(); ++g) {
      run_told(tasks_, handoff_,
               [this, g, p, frames, channels] { groups_[g].feed(p, frames, channels); });
    }
    if (rms_ && !rms_elsewhere_) {
      run_told(tasks_, handoff_,
               [this, p, frames, block_end] { rms_->feed(p, frames, block_end); });
    }
    for (parts::ChannelMeter& m : channel_meters_) {
      run_told(tasks_, handoff_, [&m, p, frames, channels] { m.feed(p, frames, channels); });
    }
    if (!groups_.empty()) {
      run_told(tasks_, handoff_,
               [this, p, frames, channels] { groups_.back().feed(p, frames, channels); });
    }
    return p;
  }

  // Every part's readings, once the workers are done.
  EngineResult result() {
    EngineResult out;
    out.frames = frames_;
    if (loudness_) {
      loudness_->finish();
      loudness_->read_into(out);
    }
    for (const parts::ChannelMeter& m : channel_meters_) {
      out.channel_integrated_lufs.push_back(m.global());
    }
    for (parts::PeakGroup& g : groups_) {
      g.finish();
      g.read_into(out);
    }
    if (rms_) {
      rms_->finish();
      out.sample_peak = std::move(rms_->peaks());
    }
    return out;
  }

  const EngineConfig config_;  // the parts refer to it
  const unsigned channels_;
  const std::size_t block_;  // frames per block
  std::optional<parts::LoudnessPart> loudness_;
  std::vector<parts::ChannelMeter> channel_meters_;
  std::vector<parts::PeakGroup> groups_;
  std::optional<parts::RmsPart> rms_;
  // Two blocks: one being filled, one with the parts.
  SampleBuffer buffers_[2];
  unsigned current_ = 0;       // the block being filled
  std::size_t filled_ = 0;     // its frames
  std::size_t grid_done_ = 0;  // frames of the engine's block handed out by flushes
  std::uint64_t frames_ = 0;   // frames handed out
  Stage stage_ = Stage::open;
  bool rms_elsewhere_ = false;       // take_rms()
  Handoff handoff_, meter_handoff_;  // the block's tasks; the meter's
  TaskGroup tasks_;                  // the parts but the loudness meter, one block at a time
  TaskGroup meter_task_;             // one loudness feed at a time, in order
};

Engine::Engine(EngineConfig config) : session_(std::make_unique<Session>(std::move(config))) {}
Engine::Engine(std::unique_ptr<Session> session) : session_(std::move(session)) {}
Engine::Engine(Engine&&) noexcept = default;
Engine& Engine::operator=(Engine&&) noexcept = default;
Engine::~Engine() = default;

std::size_t Engine::block_frames(unsigned channels) noexcept {
  return std::max<std::size_t>(1, kBlockSamples / std::max(1u, channels));
}

Status Engine::feed(const double* interleaved, std::size_t frames) {
  if (!session_) return Error("measurement finished");
  if (Status s = session_->usable(); !s) return s;
  if (frames > 0 && interleaved == nullptr) return Error("no samples given");
  const unsigned channels = session_->channels();
  while (frames > 0) {
    if (interrupted()) {
      session_->spend();
      return Error(kInterrupted);
    }
    std::size_t room = 0;
    double* at = session_->room(room);
    const std::size_t n = std::min(frames, room);
    std::copy_n(interleaved, n * channels, at);
    session_->commit(n);
    interleaved += n * channels;
    frames -= n;
  }
  return ok_status();
}

Result<std::size_t> Engine::feed_from(const Reader& read) {
  if (!session_) return Error("measurement finished");
  if (Status s = session_->usable(); !s) return std::move(s).error();
  if (interrupted()) return Error(kInterrupted);
  std::size_t room = 0;
  double* at = session_->room(room);
  Result<std::size_t> got = read(at, room);
  if (!got) return got;
  const std::size_t n = std::min(*got, room);
  session_->commit(n);
  return n;
}

Status Engine::flush() {
  if (!session_) return Error("measurement finished");
  if (Status s = session_->usable(); !s) return s;
  session_->flush();
  return ok_status();
}

Result<StepReading> Engine::now() {
  if (Status s = flush(); !s) return std::move(s).error();
  return session_->now();
}

std::uint64_t Engine::frames_fed() const noexcept { return session_ ? session_->frames_fed() : 0; }

Result<Engine> Engine::copy(std::function<void(const StepReading&)> on_step,
                            std::function<void(const RmsBlock&)> on_rms_block) {
  if (!session_) return Error("measurement finished");
  if (Status s = session_->usable(); !s) return std::move(s).error();
  session_->wait();
  if (!session_->copyable()) return Error(kNoReadingsSoFar);
  EngineConfig config = session_->config();
  config.on_step = std::move(on_step);
  config.on_rms_block = std::move(on_rms_block);
  return Engine(std::make_unique<Session>(*session_, std::move(config)));
}

Result<EngineResult> Engine::finish() {
  if (!session_) return Error("measurement finished");
  if (Status s = session_->usable(); !s) return std::move(s).error();
  return session_->finish();
}

Result<EngineResult> Engine::run(const EngineConfig& config, const Reader& read) {
  Engine engine(config);
  for (;;) {
    Result<std::size_t> got = engine.feed_from(read);
    if (!got) return std::move(got).error();
    if (*got == 0) return engine.finish();
  }
}

std::vector<Result<EngineResult>> Engine::run_together(std::span<Engine* const> engines,
                                                       std::span<const Reader* const> readers) {
  std::vector<Result<EngineResult>> out;
  std::vector<std::size_t> live;
  for (std::size_t i = 0; i < engines.size(); ++i) {
    Session* s = engines[i]->session_.get();
    Status usable = s ? s->usable() : Status(Error("measurement finished"));
    out.emplace_back(usable ? Error("measurement failed") : std::move(usable).error());
    if (usable) live.push_back(i);
  }
  // One task at a time feeds every loudness meter its block of the round,
  // and another the RMS parts that take their blocks side by side; the
  // caller fills the next blocks meanwhile (each session's other block).
  TaskGroup meters, sums;
  Handoff handoff, sums_handoff;
  struct Waiter {
    TaskGroup& group;
    Handoff& handoff;
    ~Waiter() {
      try {
        wait_told(group, handoff);
      } catch (...) {
      }
    }
  } waiter{meters, handoff}, sums_waiter{sums, sums_handoff};
  // The worker pool reuses a finished task's memory for the next task built
  // without telling ThreadSanitizer: before building a task or waiting (and
  // so perhaps running and destroying one), the caller waits for every task
  // built before, in the order they were built.
  const auto wait_all = [&](const std::vector<std::size_t>& sessions) {
    wait_told(meters, handoff);
    wait_told(sums, sums_handoff);
    for (std::size_t i : sessions) engines[i]->session_->wait_parts();
  };
  while (!live.empty()) {
    std::vector<std::size_t> going, ended;
    std::vector<parts::LoudnessPart*> parts;
    std::vector<const double*> blocks;
    std::vector<std::size_t> counts;
    std::vector<parts::RmsPart*> rms;
    std::vector<const double*> rms_blocks;
    std::vector<std::size_t> rms_counts;
    for (std::size_t i : live) {
      Session& s = *engines[i]->session_;
      Result<bool> end = s.fill(*readers[i]);
      if (!end) {
        s.spend();
        out[i] = std::move(end).error();
        continue;
      }
      std::size_t frames = 0;
      const double* p = s.filled_block(frames);
      if (p && s.loudness()) {
        parts.push_back(s.loudness());
        blocks.push_back(p);
        counts.push_back(frames);
      }
      if (parts::RmsPart* r = p ? s.take_rms() : nullptr) {
        rms.push_back(r);
        rms_blocks.push_back(p);
        rms_counts.push_back(frames);
      }
      (*end ? ended : going).push_back(i);
    }
    wait_all(live);  // the previous round's, before these blocks are handed out
    if (!parts.empty()) {
      run_told(meters, handoff,
               [parts = std::move(parts), blocks = std::move(blocks), counts = std::move(counts)] {
                 parts::LoudnessPart::feed_together(parts, blocks, counts);
               });
    }
    if (!rms.empty()) {
      run_told(sums, sums_handoff,
               [rms = std::move(rms), blocks = std::move(rms_blocks),
                counts = std::move(rms_counts)] {
                 parts::RmsPart::feed_together(rms, blocks, counts);
               });
    }
    for (std::size_t i : going) engines[i]->session_->hand_out_apart();
    for (std::size_t i : ended) engines[i]->session_->hand_out_apart();
    if (!ended.empty()) {
      std::vector<std::size_t> all = going;
      all.insert(all.end(), ended.begin(), ended.end());
      wait_all(all);
      std::vector<parts::LoudnessPart*> finishing;
      for (std::size_t i : ended)
        if (parts::LoudnessPart* part = engines[i]->session_->loudness()) finishing.push_back(part);
      parts::LoudnessPart::prepare_finish(finishing);
      for (std::size_t i : ended) out[i] = engines[i]->session_->finish_handed_out();
    }
    live = std::move(going);
  }
  return out;
}

}  // namespace sonorik::analysis
