#include "audio/sndfile_writer.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <utility>

#include "audio/sndfile_formats.h"
#include "core/text.h"

namespace sonorik {

namespace {

std::string lower(std::string_view s) {
  std::string out(s);
  std::transform(out.begin(), out.end(), out.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return out;
}

// The major format (and a preferred subtype, or 0) of a name.
struct Named {
  int major = 0;
  int subtype = 0;
};

Named named_format(std::string_view name) {
  const std::string n = lower(name);
  if (n.empty() || n == "wav" || n == "wave" || n == "bwf") return {SF_FORMAT_WAV, 0};
  if (n == "wavex") return {SF_FORMAT_WAVEX, 0};
  if (n == "aif" || n == "aifc") return {SF_FORMAT_AIFF, 0};
  if (n == "ogg" || n == "oga" || n == "vorbis") return {SF_FORMAT_OGG, SF_FORMAT_VORBIS};
  if (n == "opus") return {SF_FORMAT_OGG, SF_FORMAT_OPUS};
  if (n == "mp3" || n == "mpeg") return {SF_FORMAT_MPEG, SF_FORMAT_MPEG_LAYER_III};
  for (const SndfileMajorFormat& f : sndfile_major_formats()) {
    if (lower(f.extension) == n) return {f.major, 0};
  }
  return {};
}

bool fits(int format, unsigned channels, std::uint32_t rate_hz) {
  SF_INFO info{};
  info.format = format;
  info.channels = static_cast<int>(channels);
  info.samplerate = static_cast<int>(rate_hz);
  return sf_format_check(&info) == SF_TRUE;
}

int pcm_of_bits(unsigned bits) {
  switch (bits) {
    case 8:
      return SF_FORMAT_PCM_S8;
    case 16:
      return SF_FORMAT_PCM_16;
    case 24:
      return SF_FORMAT_PCM_24;
    default:
      return SF_FORMAT_PCM_32;
  }
}

}  // namespace

SampleCoding sample_coding(int sf_format) noexcept {
  switch (sf_format & SF_FORMAT_SUBMASK) {
    case SF_FORMAT_PCM_S8:
    case SF_FORMAT_PCM_U8:
      return {8, false, false};
    case SF_FORMAT_PCM_16:
      return {16, false, false};
    case SF_FORMAT_PCM_24:
      return {24, false, false};
    case SF_FORMAT_PCM_32:
      return {32, false, false};
    case SF_FORMAT_FLOAT:
      return {0, true, false};
    case SF_FORMAT_DOUBLE:
      return {0, false, true};
    default:
      return {};
  }
}

bool is_output_format_name(std::string_view name) { return named_format(name).major != 0; }

Result<int> choose_output_format(std::string_view name, int input_format, unsigned channels,
                                 std::uint32_t rate_hz, bool has_positions) {
  Named named = named_format(name);
  if (named.major == 0) return Error("unknown output format '" + std::string(name) + "'");
  const int input_major = input_format & SF_FORMAT_TYPEMASK;
  if (named.major == SF_FORMAT_WAV &&
      (input_major == SF_FORMAT_WAVEX || (has_positions && channels > 2)))
    named.major = SF_FORMAT_WAVEX;
  const int input_subtype = input_format & SF_FORMAT_SUBMASK;
  const SampleCoding coding = sample_coding(input_format);
  std::array<int, 16> candidates{};
  std::size_t count = 0;
  const auto add = [&](int subtype) { candidates[count++] = subtype; };
  if (named.subtype != 0) add(named.subtype);
  add(input_subtype);
  if (coding.int_bits != 0) {
    add(pcm_of_bits(coding.int_bits));
    if (coding.int_bits == 8) add(SF_FORMAT_PCM_U8);
    add(SF_FORMAT_PCM_24);
  } else if (coding.is_double) {
    add(SF_FORMAT_DOUBLE);
    add(SF_FORMAT_FLOAT);
    add(SF_FORMAT_PCM_24);
  } else {
    // Float and decoded (lossy or compressed) input: as much precision as the format keeps.
    add(SF_FORMAT_FLOAT);
    add(SF_FORMAT_PCM_24);
  }
  for (int usual : {SF_FORMAT_PCM_16, SF_FORMAT_VORBIS, SF_FORMAT_OPUS, SF_FORMAT_MPEG_LAYER_III,
                    SF_FORMAT_ALAC_24}) {
    add(usual);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const int subtype = candidates[i];
    if (fits(named.major | subtype, channels, rate_hz)) return named.major | subtype;
  }
  return Error(
      "cannot write " + std::to_string(channels) + " channels at " + std::to_string(rate_hz) +
      " Hz as " +
      sndfile_format_name(named.major).substr(0, sndfile_format_name(named.major).find(' ')));
}

// ---- the writer ----------------------------------------------------------------

// libsndfile's virtual I/O on our descriptor; the errno of a failed call is kept.
struct SndfileWriter::Io {
  int fd = -1;
  int error = 0;

  static Io& of(void* p) { return *static_cast<Io*>(p); }
  static sf_count_t length(void* p) {
    Io& io = of(p);
    const off_t here = ::lseek(io.fd, 0, SEEK_CUR);
    const off_t end = ::lseek(io.fd, 0, SEEK_END);
    if (here < 0 || end < 0 || ::lseek(io.fd, here, SEEK_SET) < 0) {
      io.error = errno;
      return -1;
    }
    return end;
  }
  static sf_count_t seek(sf_count_t offset, int whence, void* p) {
    Io& io = of(p);
    const off_t at = ::lseek(io.fd, offset, whence);
    if (at < 0) io.error = errno;
    return at;
  }
  static sf_count_t read(void* data, sf_count_t count, void* p) {
    Io& io = of(p);
    sf_count_t done = 0;
    while (done < count) {
      const ssize_t n =
          ::read(io.fd, static_cast<char*>(data) + done, static_cast<std::size_t>(count - done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) io.error = errno;
      if (n <= 0) break;
      done += n;
    }
    return done;
  }
  static sf_count_t write(const void* data, sf_count_t count, void* p) {
    Io& io = of(p);
    sf_count_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(io.fd, static_cast<const char*>(data) + done,
                                static_cast<std::size_t>(count - done));
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // A regular file that accepts nothing at all is out of space.
        if (io.error == 0) io.error = n < 0 ? errno : ENOSPC;
        break;
      }
      done += n;
    }
    return done;
  }
  static sf_count_t tell(void* p) { return seek(0, SEEK_CUR, p); }
};

SndfileWriter::SndfileWriter(SndfileWriter&&) noexcept = default;
SndfileWriter::~SndfileWriter() = default;

Status SndfileWriter::failure() const {
  if (io_->error != 0) return os_error(io_->error);
  const char* text = sf_strerror(sndfile_.get());
  return Error(text != nullptr && *text != '\0' ? text : "Error while writing the file.");
}

Result<SndfileWriter> SndfileWriter::open(int fd, const SndfileOutputFormat& format) {
  static SF_VIRTUAL_IO vio{&Io::length, &Io::seek, &Io::read, &Io::write, &Io::tell};
  SndfileWriter w;
  w.io_ = std::make_unique<Io>();
  w.io_->fd = fd;
  SF_INFO info{};
  info.format = format.sf_format;
  info.channels = static_cast<int>(format.channels);
  info.samplerate = static_cast<int>(format.rate_hz);
  w.sndfile_.reset(sf_open_virtual(&vio, SFM_WRITE, &info, w.io_.get()));
  if (!w.sndfile_) {
    if (w.io_->error != 0) return os_error(w.io_->error);
    return Error(sf_strerror(nullptr));
  }
  sf_command(w.sndfile_.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
  if (format.channel_positions.size() == format.channels) {
    std::vector<int> map = format.channel_positions;
    // Formats without a channel map keep their default order: not an error.
    sf_command(w.sndfile_.get(), SFC_SET_CHANNEL_MAP_INFO, map.data(),
               static_cast<int>(map.size() * sizeof(int)));
  }
  return w;
}

Status SndfileWriter::write_int(const std::int32_t* interleaved, std::size_t frames) {
  const auto n = static_cast<sf_count_t>(frames);
  if (sf_writef_int(sndfile_.get(), interleaved, n) != n || io_->error != 0) return failure();
  return ok_status();
}

Status SndfileWriter::write_double(const double* interleaved, std::size_t frames) {
  const auto n = static_cast<sf_count_t>(frames);
  if (sf_writef_double(sndfile_.get(), interleaved, n) != n || io_->error != 0) return failure();
  return ok_status();
}

Status SndfileWriter::close() {
  if (!sndfile_) return ok_status();
  const int code = sf_close(sndfile_.release());
  if (io_->error != 0) return os_error(io_->error);
  if (code != 0) return Error(sf_error_number(code));
  return ok_status();
}

}  // namespace sonorik
