#include "compat/processor.h"

#include <utility>

#include "core/file.h"
#include "core/replace_file.h"

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
  if (Status valid = check_path(output_path); !valid) return valid;
  const WavFormat format = wav_format_for(info);
  if (Status s = WavWriter::check_format(format); !s) return s;
  if (Status s = WavWriter::check_size(format, samples.size()); !s) return s;

  Result<FileReplacement> temp = FileReplacement::begin(output_path);
  if (!temp) return std::move(temp).error();
  const int fd = temp->fd();

  Result<WavWriter> writer = WavWriter::create(fd, format, write);
  if (!writer) return std::move(writer).error();
  if (Status s = writer->write_samples(samples); !s) return s;
  if (Status s = writer->finalize(); !s) return s;
  if (Status s = temp->commit(); !s) return s;
  return ok_status();
}

}  // namespace sonorik::normalize
