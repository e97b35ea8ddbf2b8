// The output side of normalize_stream: write, verify, replace, and the copy
// of a source in range.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <optional>
#include <utility>
#include <vector>

#include <tbb/task_group.h>

#include "audio/flac_channel_mask.h"
#include "audio/resampler.h"
#include "core/file.h"
#include "core/interrupt.h"
#include "core/text.h"
#include "normalize/job.h"
#include "normalize/limiter.h"
#include "normalize/requantizer.h"
#include "tags/tags.h"

namespace sonorik::normalize {

namespace {

double amplitude(double db) { return std::pow(10.0, db / 20.0); }

// How much louder the output is, for the gain tags: the gain applied, or
// with limiting the change asked for (the trimmed gain makes up for what
// the limiter takes off).
double loudness_change_db(const Job& job, const StreamReport& report) {
  return job.limit_peak ? report.gain_asked_db : report.gain_applied_db;
}

// The source's blocks in the output's channel order and at its rate, through
// the limiter when the job limits. With the limiter, the frames of the next
// read are pulled and their peaks read on the worker pool while the caller
// uses the last ones (the limiter's other half, its gain applied as the
// frames are taken, stays with the caller).
class OutputBlocks {
 public:
  explicit OutputBlocks(Job& job)
      : job_(job),
        source_(reading(job.source.reader, read_failed_)),
        pull_([this](double* in, std::size_t max) -> Result<std::size_t> {
          if (watch_.interrupted()) return Error(kInterrupted);  // on a worker too
          Result<std::size_t> got = source_(in, max);
          if (got && *got != 0) reorder_frames(job_.channels.order, in, *got);
          return got;
        }),
        resampled_([this](double* in, std::size_t max) {
          return resampler_ ? resampler_->read(pull_, in, max) : pull_(in, max);
        }) {}
  OutputBlocks(const OutputBlocks&) = delete;
  OutputBlocks& operator=(const OutputBlocks&) = delete;
  ~OutputBlocks() {
    try {
      ahead_.wait();
    } catch (...) {
    }
  }

  // `gain_db`: the gain applied after these blocks.
  // `energies`: the limiter adds up the energies the gain's trim needs.
  // `ahead`: the limiter's next frames are made ready on the worker pool
  // (where the caller's own work outlasts the loudness meter's).
  Status start(double gain_db, bool energies, bool ahead) {
    ahead_enabled_ = ahead;
    const SourceInfo& info = job_.source.info;
    if (job_.limit_peak) {
      Result<PeakLimiter> l = PeakLimiter::create(info.channels, job_.out_rate_hz,
                                                  *job_.limit_peak / amplitude(gain_db), energies);
      if (!l) return std::move(l).error();
      limiter_.emplace(std::move(l).value());
    }
    if (job_.out_rate_hz == info.rate_hz) return ok_status();
    Result<Resampler> r = Resampler::create(info.channels, info.rate_hz, job_.out_rate_hz,
                                            analysis::Engine::block_frames(info.channels));
    if (!r) return std::move(r).error();
    resampler_.emplace(std::move(r).value());
    return ok_status();
  }

  Result<std::size_t> read(double* out, std::size_t max_frames) {
    if (!limiter_) return resampled_(out, max_frames);
    ahead_.wait();
    if (!filled_) return filled_.error();
    if (filled_frames_ != max_frames) {
      if (Status s = limiter_->fill(resampled_, max_frames); !s) return std::move(s).error();
    }
    const std::size_t n = limiter_->take(out, max_frames);
    if (n == 0 || !ahead_enabled_) return n;
    filled_frames_ = max_frames;
    // The next read most likely asks for as many.
    ahead_.run([this, max_frames] { filled_ = limiter_->fill(resampled_, max_frames); });
    return n;
  }

  // Whether a read of the source failed (to tell its errors from the meter's).
  bool read_failed() {
    ahead_.wait();
    return read_failed_;
  }

  std::optional<LimiterStats> limiter_stats() {
    ahead_.wait();
    if (!limiter_) return std::nullopt;
    return limiter_->stats();
  }

 private:
  Job& job_;
  bool read_failed_ = false;
  analysis::Engine::Reader source_;
  const InterruptWatch watch_;         // the caller's interrupts
  const Resampler::Pull pull_;         // the source's frames in the output's order
  const PeakLimiter::Pull resampled_;  // and at its rate
  std::optional<Resampler> resampler_;
  std::optional<PeakLimiter> limiter_;
  tbb::task_group ahead_;        // the limiter's fill for the next read
  Status filled_ = ok_status();  // its outcome
  bool ahead_enabled_ = false;
  std::size_t filled_frames_ = 0;  // frames it made ready (0: none yet)
};

}  // namespace

Stop trial_pass(Job& job, double gain_db, double& level, std::optional<LimiterStats>& stats) {
  const SourceInfo& info = job.source.info;
  if (Status s = job.source.reader.rewind(); !s) return fail(StreamFailure::source, s.error());
  OutputBlocks blocks(job);
  if (Status s = blocks.start(gain_db, true, false); !s)
    return fail(StreamFailure::value, s.error());
  const std::size_t block_frames = analysis::Engine::block_frames(info.channels);
  const analysis::Engine::Reader pass = [&](double* out, std::size_t max) {
    return blocks.read(out, std::min(max, block_frames));
  };
  // Measured before the gain, which moves every level by itself.
  const analysis::MeasureParts parts = job.parts;
  job.parts.loudness_range = false;
  job.parts.true_peak = false;  // the limiter's trim needs the level alone
  Result<analysis::StandardMeasurement> m =
      measure_pass(job, info.channels, job.out_rate_hz, job.out_layout, pass);
  job.parts = parts;
  if (!m) {
    return fail(blocks.read_failed() ? StreamFailure::source : StreamFailure::memory, m.error());
  }
  const std::optional<double> got = level_of(*m, job.req.level);
  level = got ? *got + gain_db : std::nan("");
  stats = blocks.limiter_stats();
  return std::nullopt;
}

Stop write_output(Job& job, std::optional<FileReplacement>& temp, StreamReport& report) {
  const SourceInfo& info = job.source.info;
  const SampleCoding coding = job.coding;
  const SampleCoding in_coding = sample_coding(info.sf_format);
  const bool wider_source = in_coding.int_bits == 0 || in_coding.int_bits > coding.int_bits;
  report.dithered =
      coding.int_bits != 0 && coding.int_bits <= 24 &&
      (report.gain_applied_db != 0.0 || wider_source || job.out_rate_hz != info.rate_hz);
  if (Status s = job.source.reader.rewind(); !s) return fail(StreamFailure::source, s.error());
  // Read once: a lossy output may be written again.
  if (!job.source_tags) {
    Result<tags::SourceTags> read = tags::SourceTags::read(job.req.source, info.sf_format);
    if (!read) return fail(StreamFailure::source, read.error());
    job.source_tags.emplace(std::move(read).value());
  }
  Result<FileReplacement> begun = FileReplacement::begin(job.req.destination);
  if (!begun) return fail(StreamFailure::destination, begun.error());
  temp.emplace(std::move(begun).value());
  Result<SndfileWriter> writer = SndfileWriter::open(
      temp->fd(), {job.out_format, job.out_rate_hz, info.channels, job.channels.positions},
      job.source_tags->creation_metadata(job.out_format, loudness_change_db(job, report)));
  if (!writer) return fail(StreamFailure::destination, writer.error());

  OutputBlocks blocks(job);
  if (Status s = blocks.start(report.gain_applied_db, false, true); !s)
    return fail(StreamFailure::value, s.error());
  const std::size_t block_frames = analysis::Engine::block_frames(info.channels);
  Requantizer requantize(amplitude(report.gain_applied_db), coding, report.dithered, info.channels,
                         block_frames);
  std::optional<Error> write_error;
  job.frames_written = 0;
  const analysis::Engine::Reader write_pass = [&](double* out,
                                                  std::size_t max) -> Result<std::size_t> {
    if (interrupted()) return Error(kInterrupted);
    Result<std::size_t> got = blocks.read(out, std::min(max, block_frames));
    if (!got || *got == 0) return got;
    requantize.run(out, *got * info.channels);
    Status s = coding.int_bits != 0 ? writer->write_int(requantize.codes(), *got)
                                    : writer->write_double(out, *got);
    if (!s) {
      write_error = std::move(s).error();
      return *write_error;
    }
    job.frames_written += *got;
    return got;
  };
  if (coding.exact()) {
    Result<analysis::StandardMeasurement> output =
        measure_pass(job, info.channels, job.out_rate_hz, job.out_layout, write_pass);
    if (write_error) return fail(StreamFailure::destination, *write_error);
    if (!output) {
      return fail(blocks.read_failed() ? StreamFailure::source : StreamFailure::memory,
                  output.error());
    }
    report.output = std::move(output).value();
  } else {
    std::vector<double> block(block_frames * info.channels);
    for (;;) {
      Result<std::size_t> got = write_pass(block.data(), block_frames);
      if (write_error) return fail(StreamFailure::destination, *write_error);
      if (!got) return fail(StreamFailure::source, got.error());
      if (*got == 0) break;
    }
  }
  if (Status s = writer->close(); !s) return fail(StreamFailure::destination, s.error());
  report.limiter = blocks.limiter_stats();
  return std::nullopt;
}

Stop add_metadata(const Job& job, const FileReplacement& temp, StreamReport& report,
                  std::size_t plan_notes) {
  Result<std::vector<std::string>> notes = tags::carry_tags(
      *job.source_tags, {job.req.source, job.source.info.sf_format, temp.temp_path(),
                         job.out_format, report.output_format, loudness_change_db(job, report)});
  if (!notes) return fail(StreamFailure::destination, notes.error());
  report.notes.resize(plan_notes);
  for (std::string& note : *notes) report.notes.push_back(std::move(note));
  if (job.channels.flac_mask != 0) {
    if (Status s = write_flac_channel_mask(temp.temp_path(), job.channels.flac_mask); !s)
      return fail(StreamFailure::destination, s.error());
  }
  return std::nullopt;
}

Stop verify_output(const Job& job, const FileReplacement& temp, StreamReport& report) {
  Result<AudioSource> back = open_audio(temp.temp_path());
  if (!back) return fail(StreamFailure::destination, back.error());
  const SourceInfo& got = back->info;
  if (got.frames != job.frames_written || got.channels != job.source.info.channels ||
      got.rate_hz != job.out_rate_hz) {
    return fail(StreamFailure::destination,
                "the written file declares " + std::to_string(got.frames) + " frames of " +
                    std::to_string(got.channels) + " channels at " + std::to_string(got.rate_hz) +
                    " Hz, not the " + std::to_string(job.frames_written) + " written");
  }
  report.output_format = got.format;
  if (job.coding.exact() && back->layout == job.out_layout) return std::nullopt;
  bool read_failed = false;
  Result<analysis::StandardMeasurement> output = measure_pass(
      job, got.channels, got.rate_hz, back->layout, reading(back->reader, read_failed));
  if (!output) return fail(StreamFailure::destination, output.error());
  if (output->frames != job.frames_written) {
    return fail(StreamFailure::destination,
                "the written file reads back " + std::to_string(output->frames) +
                    " frames, not the " + std::to_string(job.frames_written) + " written");
  }
  report.output = std::move(output).value();
  return std::nullopt;
}

Stop replace(const Job& job, FileReplacement& temp, StreamReport& report) {
  // The last moment an interrupt can keep the destination as it was.
  if (interrupted()) return fail(StreamFailure::source, Error(kInterrupted));
  if (Status s = temp.commit(); !s) return fail(StreamFailure::destination, s.error());
  report.output_level = level_of(report.output, job.req.level);
  return std::nullopt;
}

Stop copy_source(const Job& job, StreamReport& report) {
  Result<File> in = File::open_regular_for_reading(job.req.source);
  if (!in) return fail(StreamFailure::source, in.error());
  struct stat before {};
  if (::fstat(in->fd(), &before) != 0) return fail(StreamFailure::source, os_error(errno));
  Result<FileReplacement> temp = FileReplacement::begin(job.req.destination);
  if (!temp) return fail(StreamFailure::destination, temp.error());
  std::vector<char> buffer(1u << 20);
  off_t copied = 0;
  for (;;) {
    if (interrupted()) return fail(StreamFailure::source, Error(kInterrupted));
    const ssize_t n = ::read(in->fd(), buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return fail(StreamFailure::source, os_error(errno));
    if (n == 0) break;
    const Status s =
        write_all(temp->fd(), std::string_view(buffer.data(), static_cast<std::size_t>(n)));
    if (!s) return fail(StreamFailure::destination, s.error());
    copied += n;
  }
  struct stat after {};
  if (::fstat(in->fd(), &after) != 0) return fail(StreamFailure::source, os_error(errno));
  if (copied != before.st_size || after.st_size != before.st_size ||
      after.st_mtim.tv_sec != before.st_mtim.tv_sec ||
      after.st_mtim.tv_nsec != before.st_mtim.tv_nsec) {
    return fail(StreamFailure::source, kChangedWhileRead);
  }
  if (interrupted()) return fail(StreamFailure::source, Error(kInterrupted));
  if (Status s = temp->commit(); !s) return fail(StreamFailure::destination, s.error());
  report.copied = true;
  report.output = report.input;
  report.output_format = report.input_format;
  report.output_level = report.input_level;
  report.output_rate_hz = job.source.info.rate_hz;
  return std::nullopt;
}

}  // namespace sonorik::normalize
