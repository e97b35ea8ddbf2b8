#include "compat/processor.h"

#include <unistd.h>

#include <cerrno>
#include <utility>

#include "core/file.h"
#include "core/interrupt.h"
#include "core/replace_file.h"
#include "core/text.h"

namespace sonorik::normalize {

WavFormat wav_format_for(const AudioInfo& info) {
  const bool is_float =
      info.sample_format == SampleFormat::F32 || info.sample_format == SampleFormat::F64;
  return WavFormat{info.channels, info.sample_rate, info.bit_depth,
                   is_float ? WavEncoding::Float : WavEncoding::Int};
}

Status write_normalized_audio(const std::string& output_path, const AudioData& audio) {
  return write_normalized_samples(output_path, audio.info, audio.samples, {});
}

Status write_normalized_samples(const std::string& output_path, const AudioInfo& info,
                                std::span<const double> samples) {
  return write_normalized_samples(output_path, info, samples, {});
}

Status write_normalized_samples(const std::string& output_path, const AudioInfo& info,
                                std::span<const double> samples, const WavWriteFunction& write) {
  Result<NormalizedWavOutput> out =
      NormalizedWavOutput::begin(output_path, info, samples.size(), write);
  if (!out) return std::move(out).error();
  if (Status s = out->write(samples); !s) return s;
  return out->commit();
}

Result<NormalizedWavOutput> NormalizedWavOutput::begin(const std::string& output_path,
                                                       const AudioInfo& info,
                                                       std::uint64_t sample_count,
                                                       const WavWriteFunction& write) {
  if (Status valid = check_path(output_path); !valid) return std::move(valid).error();
  const WavFormat format = wav_format_for(info);
  if (Status s = WavWriter::check_format(format); !s) return std::move(s).error();
  if (Status s = WavWriter::check_size(format, sample_count); !s) return std::move(s).error();

  Result<FileReplacement> temp = FileReplacement::begin(output_path);
  if (!temp) return std::move(temp).error();
  Result<WavWriter> writer = WavWriter::create(temp->fd(), format, write);
  if (!writer) return std::move(writer).error();
  return NormalizedWavOutput(std::move(temp).value(), std::move(writer).value());
}

Status NormalizedWavOutput::write(std::span<const double> samples) {
  if (interrupted()) return Error(kInterrupted);
  return writer_.write_samples(samples);
}

Status NormalizedWavOutput::commit() {
  if (Status s = writer_.finalize(); !s) return s;
  // The sync comes before the last look at interrupts, so that the rename
  // that follows is quick and an interrupt during the sync still keeps the
  // destination as it was.
  if (::fsync(temp_.fd()) != 0) return os_error(errno);
  if (interrupted()) return Error(kInterrupted);
  return temp_.commit();
}

}  // namespace sonorik::normalize
