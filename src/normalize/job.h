// What the phases of normalize_stream share (stream_normalizer.cpp plans,
// measures and chooses the gain; output.cpp writes, verifies and replaces).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "analysis/engine.h"
#include "analysis/standard_measurement.h"
#include "audio/channel_order.h"
#include "audio/sndfile_writer.h"
#include "audio/source.h"
#include "core/error.h"
#include "core/replace_file.h"
#include "normalize/stream_normalizer.h"
#include "tags/tags.h"

namespace sonorik::normalize {

// Set when normalising stops: the outcome to return.
using Stop = std::optional<StreamOutcome>;

StreamOutcome fail(StreamFailure kind, std::string message);
StreamOutcome fail(StreamFailure kind, const Error& error);

// The request, the source (opened once), the output format and what each
// measuring pass takes.
struct Job {
  const StreamRequest& req;
  AudioSource source;
  int out_format = 0;
  SampleCoding coding{};  // of the output
  std::uint32_t out_rate_hz = 0;
  ChannelPlan channels{};                 // source channels into the output's order
  std::vector<int> roles{};               // of the source's channels
  std::vector<std::string> out_layout{};  // of the output's channels, as written
  analysis::MeasureParts parts{};
  std::uint64_t frames_written = 0;               // by the last write
  std::optional<tags::SourceTags> source_tags{};  // read before the first write
  // Limiting: the largest true peak allowed after the gain (1.0 is full scale).
  std::optional<double> limit_peak{};
};

// Reads through `reader`, noting in `failed` that a read failed (to tell a
// reader's error from the meter's).
analysis::Engine::Reader reading(AudioReader& reader, bool& failed);

// One measuring pass of the job's parts over what `read` gives.
Result<analysis::StandardMeasurement> measure_pass(const Job& job, unsigned channels,
                                                   std::uint32_t rate_hz,
                                                   const std::vector<std::string>& layout,
                                                   const analysis::Engine::Reader& read);

// With limiting: one pass through the limiter at `gain_db` that writes
// nothing: `level` is the job's level the output would have (NaN when it is
// undefined), `stats` what the limiter did.
Stop trial_pass(Job& job, double gain_db, double& level, std::optional<LimiterStats>& stats);
// 3. write: the source, reordered, resampled, scaled and requantised, into
// `temp` (begun here), with the tags libsndfile writes as it creates a file
// (the source's tags read into `job.source_tags` on the first write);
// measured as written for an exact coding.
Stop write_output(Job& job, std::optional<FileReplacement>& temp, StreamReport& report);
// The source's tags, pictures and chunks onto the closed temporary file
// (tags::carry_tags: what it cannot hold becomes a note after the first
// `plan_notes` notes), then a FLAC output's channel-mask comment. A failure
// discards the file.
Stop add_metadata(const Job& job, const FileReplacement& temp, StreamReport& report,
                  std::size_t plan_notes);
// 4. verify: the finished file declares the frames written; measured from
// the file when its coding is lossy or it is read with another layout.
Stop verify_output(const Job& job, const FileReplacement& temp, StreamReport& report);
// 5. replace: renames the temporary file over the destination.
Stop replace(const Job& job, FileReplacement& temp, StreamReport& report);
// A source in range: copied byte for byte through a temporary file.
Stop copy_source(const Job& job, StreamReport& report);

}  // namespace sonorik::normalize
