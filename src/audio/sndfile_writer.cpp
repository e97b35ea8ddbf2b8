#include "audio/sndfile_writer.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cerrno>
#include <cstdio>
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

// A file position for a trial write that keeps nothing.
struct Sink {
  sf_count_t at = 0;
  sf_count_t end = 0;
  static Sink& of(void* p) { return *static_cast<Sink*>(p); }
  static sf_count_t length(void* p) { return of(p).end; }
  static sf_count_t seek(sf_count_t offset, int whence, void* p) {
    Sink& s = of(p);
    const sf_count_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? s.at : s.end;
    if (base + offset < 0) return -1;
    s.at = base + offset;
    return s.at;
  }
  static sf_count_t read(void*, sf_count_t, void*) { return 0; }
  static sf_count_t write(const void*, sf_count_t count, void* p) {
    Sink& s = of(p);
    s.at += count;
    s.end = std::max(s.end, s.at);
    return count;
  }
  static sf_count_t tell(void* p) { return of(p).at; }
};

// Whether libsndfile writes `format` at this rate and channel count: its own
// check, then a trial start of the encoder (the check alone passes some
// pairs the encoders refuse: MP3 in WAV, Opus at 44.1 kHz, MP3 at 96 kHz).
bool fits(int format, unsigned channels, std::uint32_t rate_hz) {
  SF_INFO info{};
  info.format = format;
  info.channels = static_cast<int>(channels);
  info.samplerate = static_cast<int>(rate_hz);
  if (sf_format_check(&info) != SF_TRUE) return false;
  static SF_VIRTUAL_IO vio{&Sink::length, &Sink::seek, &Sink::read, &Sink::write, &Sink::tell};
  Sink sink;
  std::string error;
  SndfilePtr trial =
      open_sndfile_alone([&] { return sf_open_virtual(&vio, SFM_WRITE, &info, &sink); }, error);
  return trial != nullptr;
}

// The rates tried, in order of preference, when the source's cannot be written.
constexpr std::uint32_t kUsualRates[] = {192000, 176400, 96000, 88200, 48000, 44100, 32000,
                                         24000,  22050,  16000, 12000, 11025, 8000};

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

namespace {

// Whether the installed libsndfile writes anything in a major format (some
// it reads only; SD2 needs a resource fork it cannot make here).
bool writable(int major) {
  if (major == SF_FORMAT_SD2) return false;
  for (int subtype : {SF_FORMAT_PCM_16, SF_FORMAT_PCM_24, SF_FORMAT_PCM_S8, SF_FORMAT_FLOAT,
                      SF_FORMAT_VORBIS, SF_FORMAT_OPUS, SF_FORMAT_MPEG_LAYER_III}) {
    if (fits(major | subtype, 1, 48000)) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> output_format_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out = {"wav", "ogg", "opus", "mp3"};
    for (const SndfileMajorFormat& f : sndfile_major_formats()) {
      // "m1a": "mp3" says it.
      if (f.major != SF_FORMAT_MPEG && writable(f.major)) out.push_back(lower(f.extension));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
  }();
  return names;
}

bool is_output_format_name(std::string_view name) {
  const int major = named_format(name).major;
  if (major == 0) return false;
  static const std::vector<int> written = [] {
    std::vector<int> out = {SF_FORMAT_WAVEX};
    for (const SndfileMajorFormat& f : sndfile_major_formats()) {
      if (writable(f.major)) out.push_back(f.major);
    }
    return out;
  }();
  return std::find(written.begin(), written.end(), major) != written.end();
}

bool same_container(int a, int b) {
  const auto major = [](int f) {
    const int m = f & SF_FORMAT_TYPEMASK;
    return m == SF_FORMAT_WAVEX ? SF_FORMAT_WAV : m;
  };
  return major(a) == major(b);
}

bool names_same_container(std::string_view a, std::string_view b) {
  const Named x = named_format(a);
  const Named y = named_format(b);
  return same_container(x.major, y.major) &&
         (x.subtype == 0 || y.subtype == 0 || x.subtype == y.subtype);
}

Result<int> choose_output_format(std::string_view name, int input_format, unsigned channels,
                                 std::uint32_t rate_hz, bool has_positions) {
  Named named = named_format(name);
  if (!is_output_format_name(name))
    return Error("unknown output format '" + std::string(name) + "'");
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
  // A coded input (lossy or ALAC) keeps its coding only in its own container.
  if (coding.exact() || same_container(named.major, input_major)) add(input_subtype);
  if (coding.int_bits != 0) {
    add(pcm_of_bits(coding.int_bits));
    if (coding.int_bits == 8) add(SF_FORMAT_PCM_U8);
    add(SF_FORMAT_PCM_24);
  } else if (coding.is_double) {
    add(SF_FORMAT_DOUBLE);
    add(SF_FORMAT_FLOAT);
    add(SF_FORMAT_PCM_24);
  } else if (coding.is_float) {
    add(SF_FORMAT_FLOAT);
    add(SF_FORMAT_PCM_24);
  } else {
    // Decoded input (lossy or compressed): 24-bit PCM keeps more than the
    // codec did; float where the format takes no 24-bit integers.
    add(SF_FORMAT_PCM_24);
    add(SF_FORMAT_FLOAT);
  }
  for (int usual : {SF_FORMAT_PCM_16, SF_FORMAT_VORBIS, SF_FORMAT_OPUS, SF_FORMAT_MPEG_LAYER_III,
                    SF_FORMAT_ALAC_24}) {
    add(usual);
  }
  for (std::size_t i = 0; i < count; ++i) {
    const int format = named.major | candidates[i];
    // The rate may still change to one the format takes.
    if (fits(format, channels, rate_hz) || fits(format, channels, 48000)) return format;
  }
  return Error(
      "cannot write " + std::to_string(channels) + " channels at " + std::to_string(rate_hz) +
      " Hz as " +
      sndfile_format_name(named.major).substr(0, sndfile_format_name(named.major).find(' ')));
}

Result<std::uint32_t> choose_output_rate(int format, unsigned channels, std::uint32_t source_hz,
                                         std::uint32_t asked_hz) {
  const std::string name = sndfile_format_name(format);
  if (asked_hz != 0) {
    if (fits(format, channels, asked_hz)) return asked_hz;
    return Error("cannot write " + name + " at " + std::to_string(asked_hz) + " Hz");
  }
  // Opus codes at 48 kHz whatever it is given.
  if ((format & SF_FORMAT_SUBMASK) == SF_FORMAT_OPUS && fits(format, channels, 48000)) return 48000;
  if (fits(format, channels, source_hz)) return source_hz;
  std::uint32_t above = 0;
  for (std::uint32_t r : kUsualRates) {
    if (!fits(format, channels, r)) continue;
    if (r <= source_hz) return r;
    above = r;
  }
  if (above != 0) return above;
  return Error("cannot write " + name + " at " + std::to_string(source_hz) + " Hz");
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

Result<SndfileWriter> SndfileWriter::open(int fd, const SndfileOutputFormat& format,
                                          const SndfileMetadata& metadata) {
  static SF_VIRTUAL_IO vio{&Io::length, &Io::seek, &Io::read, &Io::write, &Io::tell};
  SndfileWriter w;
  w.io_ = std::make_unique<Io>();
  w.io_->fd = fd;
  SF_INFO info{};
  info.format = format.sf_format;
  info.channels = static_cast<int>(format.channels);
  info.samplerate = static_cast<int>(format.rate_hz);
  std::string error;
  w.sndfile_ = open_sndfile_alone(
      [&] { return sf_open_virtual(&vio, SFM_WRITE, &info, w.io_.get()); }, error);
  if (!w.sndfile_) {
    if (w.io_->error != 0) return os_error(w.io_->error);
    return Error(error);
  }
  sf_command(w.sndfile_.get(), SFC_SET_CLIPPING, nullptr, SF_TRUE);
  if (format.channel_positions.size() == format.channels) {
    std::vector<int> map = format.channel_positions;
    // Formats without a channel map keep their default order: not an error.
    sf_command(w.sndfile_.get(), SFC_SET_CHANNEL_MAP_INFO, map.data(),
               static_cast<int>(map.size() * sizeof(int)));
  }
  // Refused where the format has no place for them: the caller reads the file back.
  for (const auto& [id, text] : metadata.strings) sf_set_string(w.sndfile_.get(), id, text.c_str());
  for (const auto& [id, body] : metadata.chunks) {
    SF_CHUNK_INFO chunk{};
    std::snprintf(chunk.id, sizeof chunk.id, "%s", id.c_str());
    chunk.id_size = static_cast<unsigned>(std::min(id.size(), sizeof chunk.id - 1));
    chunk.datalen = static_cast<unsigned>(body.size());
    chunk.data = const_cast<char*>(body.data());  // libsndfile copies it
    sf_set_chunk(w.sndfile_.get(), &chunk);
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
