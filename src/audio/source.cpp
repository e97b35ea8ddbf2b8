#include "audio/source.h"

#if defined(__GNUC__) && defined(__x86_64__)
// GCC 12 takes the intrinsics' own undefined vectors for uninitialized
// values (its bug 105593).
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop
#endif

#include <sndfile.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <limits>
#include <utility>

#include "audio/channel_order.h"
#include "audio/flac_channel_mask.h"
#include "audio/integrity.h"
#include "audio/sndfile_formats.h"
#include "core/file.h"
#include "core/text.h"

namespace sonorik {

namespace {

using analysis::Speaker;

Speaker speaker_of(int position) {
  switch (position) {
    case SF_CHANNEL_MAP_INVALID:
      return Speaker::unknown;
    case SF_CHANNEL_MAP_MONO:
      return Speaker::mono;
    case SF_CHANNEL_MAP_LEFT:
    case SF_CHANNEL_MAP_FRONT_LEFT:
      return Speaker::left;
    case SF_CHANNEL_MAP_RIGHT:
    case SF_CHANNEL_MAP_FRONT_RIGHT:
      return Speaker::right;
    case SF_CHANNEL_MAP_CENTER:
    case SF_CHANNEL_MAP_FRONT_CENTER:
      return Speaker::center;
    case SF_CHANNEL_MAP_LFE:
      return Speaker::lfe;
    case SF_CHANNEL_MAP_REAR_LEFT:
      return Speaker::back_left;
    case SF_CHANNEL_MAP_REAR_RIGHT:
      return Speaker::back_right;
    case SF_CHANNEL_MAP_REAR_CENTER:
      return Speaker::back_center;
    case SF_CHANNEL_MAP_SIDE_LEFT:
      return Speaker::side_left;
    case SF_CHANNEL_MAP_SIDE_RIGHT:
      return Speaker::side_right;
    default:
      return Speaker::other;
  }
}

// What an open SNDFILE declares: format, rate, channels, length and speakers.
SourceInfo declared_info(SNDFILE* sndfile, const SF_INFO& info) {
  SourceInfo out;
  out.rate_hz = static_cast<std::uint32_t>(info.samplerate);
  out.channels = static_cast<unsigned>(info.channels);
  out.frames = info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0;
  out.format = sndfile_format_name(info.format);
  out.sf_format = info.format;
  std::vector<int> map(out.channels, SF_CHANNEL_MAP_INVALID);
  const auto bytes = static_cast<int>(std::min<std::size_t>(map.size() * sizeof(int), 1u << 20));
  if (map.size() <= (1u << 16) &&
      sf_command(sndfile, SFC_GET_CHANNEL_MAP_INFO, map.data(), bytes) == SF_TRUE &&
      std::any_of(map.begin(), map.end(), [](int p) { return p != SF_CHANNEL_MAP_INVALID; })) {
    for (int p : map) out.speakers.push_back(speaker_of(p));
    out.channel_positions = map;
  } else if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG) {
    // Ogg Vorbis and Opus: their format's fixed order, which libsndfile
    // passes on without a channel map.
    for (int p : source_positions(out, 0)) out.speakers.push_back(speaker_of(p));
  }
  return out;
}

VirtualFile& virtual_of(void* p) { return *static_cast<VirtualFile*>(p); }
sf_count_t virtual_length(void* p) { return virtual_of(p).size_bytes(); }
sf_count_t virtual_seek(sf_count_t offset, int whence, void* p) {
  return virtual_of(p).seek(offset, whence);
}
sf_count_t virtual_read(void* out, sf_count_t count, void* p) {
  return virtual_of(p).read(out, count);
}
sf_count_t virtual_write(const void*, sf_count_t, void*) { return 0; }
sf_count_t virtual_tell(void* p) { return virtual_of(p).tell(); }

}  // namespace

// ---- MemoryFile ---------------------------------------------------------------

std::int64_t MemoryFile::size_bytes() { return static_cast<std::int64_t>(bytes_.size()); }

std::int64_t MemoryFile::seek(std::int64_t offset, int whence) {
  std::int64_t base = 0;
  if (whence == SEEK_CUR) {
    base = tell();
  } else if (whence == SEEK_END) {
    base = size_bytes();
  } else if (whence != SEEK_SET) {
    return -1;
  }
  // A span never reaches 2^62 bytes: neither sum can overflow.
  if (offset < -(std::int64_t{1} << 62) || offset > (std::int64_t{1} << 62) || base + offset < 0)
    return -1;
  at_ = static_cast<std::uint64_t>(base + offset);
  return base + offset;
}

std::int64_t MemoryFile::read(void* out, std::int64_t count) {
  if (count <= 0 || at_ >= bytes_.size()) return 0;
  const std::size_t n =
      std::min<std::uint64_t>(static_cast<std::uint64_t>(count), bytes_.size() - at_);
  std::memcpy(out, bytes_.data() + at_, n);
  at_ += n;
  return static_cast<std::int64_t>(n);
}

std::int64_t MemoryFile::tell() {
  return static_cast<std::int64_t>(std::min<std::uint64_t>(at_, std::uint64_t{1} << 62));
}

namespace {

// A regular file read by position (pread), its first kHeadBytes held in
// memory: the decoder's many small reads and seeks over the headers cost no
// system call, and the audio is read straight into the caller's memory.
class PositionedFile final : public VirtualFile {
 public:
  static constexpr std::size_t kHeadBytes = 4096;

  PositionedFile(File file, std::uint64_t size) : file_(std::move(file)) {
    head_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(size, kHeadBytes)));
    head_.resize(read_at(0, head_.data(), head_.size()));
  }

  // The length now: a file cut while it is read shows it (the checks at
  // the end compare it with what the container declares).
  std::int64_t size_bytes() override {
    struct stat st {};
    if (::fstat(file_.fd(), &st) != 0) {
      if (!failure_) failure_ = os_error(errno);
      return -1;
    }
    return static_cast<std::int64_t>(st.st_size);
  }

  std::int64_t seek(std::int64_t offset, int whence) override {
    std::int64_t base = 0;
    if (whence == SEEK_CUR) base = static_cast<std::int64_t>(at_);
    if (whence == SEEK_END) base = size_bytes();
    if (base < 0) return -1;
    if (offset < -base || (offset > 0 && base > INT64_MAX - offset)) return -1;
    at_ = static_cast<std::uint64_t>(base + offset);
    return base + offset;
  }

  std::int64_t read(void* out, std::int64_t count) override {
    if (count <= 0 || failure_) return 0;
    auto* to = static_cast<unsigned char*>(out);
    std::size_t done = 0;
    const auto n = static_cast<std::size_t>(count);
    if (at_ < head_.size()) {
      done = std::min<std::size_t>(n, head_.size() - static_cast<std::size_t>(at_));
      std::memcpy(to, head_.data() + at_, done);
    }
    if (done < n && at_ + done >= head_.size()) done += read_at(at_ + done, to + done, n - done);
    at_ += done;
    return static_cast<std::int64_t>(done);
  }

  std::int64_t tell() override {
    return static_cast<std::int64_t>(std::min<std::uint64_t>(at_, std::uint64_t{1} << 62));
  }

  const Error* failure() const noexcept override { return failure_ ? &*failure_ : nullptr; }

 private:
  // Up to n bytes from `offset` (fewer at the end); an error is kept.
  // Positions past any file's end (a decoder may seek there) read nothing.
  std::size_t read_at(std::uint64_t offset, unsigned char* out, std::size_t n) {
    constexpr auto kLastOffset = static_cast<std::uint64_t>(std::numeric_limits<off_t>::max());
    if (offset > kLastOffset || n > kLastOffset - offset) return 0;
    std::size_t done = 0;
    while (done < n) {
      const ssize_t got =
          ::pread(file_.fd(), out + done, n - done, static_cast<off_t>(offset + done));
      if (got < 0 && errno == EINTR) continue;
      if (got < 0) {
        failure_ = os_error(errno);
        break;
      }
      if (got == 0) break;
      done += static_cast<std::size_t>(got);
    }
    return done;
  }

  File file_;
  std::vector<unsigned char> head_;
  std::uint64_t at_ = 0;  // may lie past the end after a seek
  std::optional<Error> failure_;
};

}  // namespace

// ---- AudioReader ---------------------------------------------------------------

// What the decoder reads: a path's descriptor or a VirtualFile, and what the
// input declared when it was first opened. The checks read its bytes by
// offset: through pread for a path, through the VirtualFile's calls (its
// position put back afterwards) for the rest.
struct AudioReader::Input final : ByteReader {
  File file;  // open for a path
  std::unique_ptr<VirtualFile> bytes;
  SF_INFO declared{};
  bool container_checked = false;  // its bytes showed no damage once

  const Error* failure() const noexcept { return bytes ? bytes->failure() : nullptr; }

  // Starts a decoder on the input from its first byte; `info` gets what it
  // declares. Our descriptor stays ours (the decoder has a duplicate).
  Result<SNDFILE*> start(SF_INFO& info) {
    static SF_VIRTUAL_IO io{&virtual_length, &virtual_seek, &virtual_read, &virtual_write,
                            &virtual_tell};
    std::optional<Error> rewind_failed;
    const auto open = [&]() -> SNDFILE* {
      info = SF_INFO{};
      if (bytes) {
        if (bytes->seek(0, SEEK_SET) != 0) {
          const Error* e = failure();
          rewind_failed = e ? *e : Error("the input cannot go back to its start");
          return nullptr;
        }
        return sf_open_virtual(&io, SFM_READ, &info, bytes.get());
      }
      if (::lseek(file.fd(), 0, SEEK_SET) != 0) {
        rewind_failed = os_error(errno);
        return nullptr;
      }
      // libsndfile closes the descriptor of an open that fails even when
      // told not to, so it gets a duplicate of ours (the same offset) to own:
      // closed by it on failure or by sf_close, never ours closed twice (its
      // number may be another file's by then). Only an allocation failure
      // inside the library could leave the duplicate open.
      const int own = ::fcntl(file.fd(), F_DUPFD_CLOEXEC, 0);
      if (own < 0) {
        rewind_failed = os_error(errno);
        return nullptr;
      }
      return sf_open_fd(own, SFM_READ, &info, SF_TRUE);
    };
    std::string error;
    SndfilePtr f = open_sndfile(open, error);
    if (rewind_failed) return *rewind_failed;
    if (const Error* e = failure()) return *e;
    if (!f) return Error(open_failure_text(error));
    return f.release();
  }

  Result<std::optional<std::uint64_t>> length_bytes() override {
    if (bytes) {
      const std::int64_t n = bytes->size_bytes();
      if (const Error* e = failure()) return *e;
      return n >= 0 ? std::optional<std::uint64_t>(static_cast<std::uint64_t>(n)) : std::nullopt;
    }
    struct stat st {};
    if (::fstat(file.fd(), &st) != 0) return os_error(errno);
    return std::optional<std::uint64_t>(static_cast<std::uint64_t>(st.st_size));
  }

  Result<std::size_t> read_at(std::uint64_t offset_bytes, std::uint8_t* out,
                              std::size_t count) override {
    constexpr std::uint64_t kFar = std::uint64_t{1} << 62;
    if (offset_bytes >= kFar) return std::size_t{0};
    return bytes ? read_virtual(offset_bytes, out, count) : read_file(offset_bytes, out, count);
  }

 private:
  Result<std::size_t> read_file(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n =
          ::pread(file.fd(), out + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return os_error(errno);
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    return done;
  }

  // Seeks to `offset` (the input's end at most), reads, and seeks back.
  Result<std::size_t> read_virtual(std::uint64_t offset, std::uint8_t* out, std::size_t count) {
    const std::int64_t length = bytes->size_bytes();
    const std::int64_t was = bytes->tell();
    if (length >= 0 && offset >= static_cast<std::uint64_t>(length)) return std::size_t{0};
    std::size_t done = 0;
    bool moved = was >= 0 && bytes->seek(static_cast<std::int64_t>(offset), SEEK_SET) >= 0;
    while (moved && done < count) {
      const std::int64_t n = bytes->read(out + done, static_cast<std::int64_t>(count - done));
      if (n <= 0) break;
      done += std::min(static_cast<std::size_t>(n), count - done);
    }
    moved = moved && bytes->seek(was, SEEK_SET) == was;
    if (const Error* e = failure()) return *e;
    if (!moved)
      return Error("the input cannot seek to byte " + std::to_string(offset) + " and back");
    return done;
  }
};

AudioReader::AudioReader() = default;
AudioReader::AudioReader(AudioReader&&) noexcept = default;
AudioReader& AudioReader::operator=(AudioReader&& other) noexcept {
  if (this != &other) {
    sndfile_.reset();  // closed before the input it reads goes
    input_ = std::move(other.input_);
    sndfile_ = std::move(other.sndfile_);
    read_frames_ = other.read_frames_;
    ended_ = other.ended_;
    raw16_ = other.raw16_;
  }
  return *this;
}
AudioReader::~AudioReader() = default;

namespace {

// Whether `f`'s samples are 16-bit PCM stored one after another in this
// processor's byte order, in a container whose data chunk holds only them.
bool reads_raw16(SNDFILE* f, const SF_INFO& info) {
  switch (info.format & SF_FORMAT_TYPEMASK) {
    case SF_FORMAT_WAV:
    case SF_FORMAT_WAVEX:
    case SF_FORMAT_RF64:
    case SF_FORMAT_W64:
      break;
    default:
      return false;
  }
  return (info.format & SF_FORMAT_SUBMASK) == SF_FORMAT_PCM_16 &&
         sf_command(f, SFC_RAW_DATA_NEEDS_ENDSWAP, nullptr, 0) == SF_FALSE;
}

#if defined(__GNUC__) && defined(__x86_64__)
// 16 samples a step, loaded (32 bytes) before their doubles are stored (128
// bytes, ending at or before the next step's samples); the steps done.
[[gnu::target("avx512f")]] std::size_t widen16_avx512(const unsigned char* in, std::size_t n,
                                                      double* out) noexcept {
  const __m512d scale = _mm512_set1_pd(1.0 / 32768.0);
  std::size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    const __m512i wide = _mm512_cvtepi16_epi32(
        _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * i)));
    const __m512d low = _mm512_cvtepi32_pd(_mm512_castsi512_si256(wide));
    const __m512d high = _mm512_cvtepi32_pd(_mm512_extracti64x4_epi64(wide, 1));
    _mm512_storeu_pd(out + i, _mm512_mul_pd(low, scale));
    _mm512_storeu_pd(out + i + 8, _mm512_mul_pd(high, scale));
  }
  return i;
}
#endif

// The samples of `in` widened into `out` on the widest vectors, as far as
// they go; how many.
std::size_t widen16_wide(const unsigned char* in, std::size_t n, double* out) noexcept {
#if defined(__GNUC__) && defined(__x86_64__)
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  if (avx512) return widen16_avx512(in, n, out);
#endif
  (void)in, (void)n, (void)out;
  return 0;
}

// Widens the n 16-bit samples stored at byte offset 6n of `out` into the n
// doubles of `out`, x / 32768. In place: each step loads its samples before
// its stores, which end at or before the next step's samples.
void widen16(double* out, std::size_t n) noexcept {
  const unsigned char* in = reinterpret_cast<const unsigned char*>(out) + 6 * n;
  std::size_t i = widen16_wide(in, n, out);
  for (; i < n; ++i) {
    std::int16_t v;
    std::memcpy(&v, in + 2 * i, sizeof v);
    out[i] = static_cast<double>(v) * (1.0 / 32768.0);
  }
}

}  // namespace

Result<std::size_t> AudioReader::read(double* out, std::size_t max_frames) {
  if (!sndfile_) return Error("no audio is open");
  if (ended_ || max_frames == 0) return std::size_t{0};
  sf_count_t got = 0;
  if (raw16_) {
    const std::size_t samples = max_frames * static_cast<std::size_t>(input_->declared.channels);
    const sf_count_t bytes = sf_read_raw(sndfile_.get(), reinterpret_cast<unsigned char*>(out) +
                                                             6 * samples,
                                         static_cast<sf_count_t>(2 * samples));
    if (bytes > 0) {
      got = bytes / 2 / input_->declared.channels;
      const std::size_t read = static_cast<std::size_t>(bytes) / 2;
      // The samples read lie at the start of the 16-bit region: move them to
      // where widen16 takes n samples from (byte 6 n) when fewer came.
      if (read < samples) {
        unsigned char* region = reinterpret_cast<unsigned char*>(out) + 6 * samples;
        std::memmove(reinterpret_cast<unsigned char*>(out) + 6 * read, region, 2 * read);
      }
      widen16(out, read);
    }
  } else {
    got = sf_readf_double(sndfile_.get(), out, static_cast<sf_count_t>(max_frames));
  }
  if (const Error* e = input_->failure()) return *e;
  const std::size_t frames = got > 0 ? static_cast<std::size_t>(got) : 0;
  // An error once every declared frame is read is about bytes after the
  // audio (a tag or padding some programs append), not damage to it.
  const std::uint64_t declared = declared_frames(input_->declared.frames);
  const bool complete = declared != 0 && read_frames_ + frames >= declared;
  if (sf_error(sndfile_.get()) != SF_ERR_NO_ERROR && !complete) {
    const double at_s = static_cast<double>(read_frames_ + frames) /
                        static_cast<double>(input_->declared.samplerate);
    return Error(describe(decoder_damage(at_s, sf_strerror(sndfile_.get()))));
  }
  read_frames_ += frames;
  if (frames > 0) return frames;
  if (Status s = check_end(); !s) return std::move(s).error();
  ended_ = true;
  return std::size_t{0};
}

Status AudioReader::check_end() {
  Input& input = *input_;
  const StreamEnd end{input.declared.format, static_cast<std::uint32_t>(input.declared.samplerate),
                      declared_frames(input.declared.frames), read_frames_};
  if (!input.container_checked) {
    Result<std::optional<Damage>> bytes = check_container(input, end);
    if (!bytes) return std::move(bytes).error();
    if (*bytes) return Error(describe(**bytes));
    input.container_checked = true;
  }
  Result<std::optional<Damage>> length = check_length(input, end);
  if (!length) return std::move(length).error();
  if (*length) return Error(describe(**length));
  return ok_status();
}

Status AudioReader::rewind() {
  sndfile_.reset();
  read_frames_ = 0;
  ended_ = false;
  SF_INFO info{};
  Result<SNDFILE*> f = input_->start(info);
  if (!f) return std::move(f).error();
  sndfile_.reset(*f);
  const SF_INFO& was = input_->declared;
  if (info.format != was.format || info.channels != was.channels ||
      info.samplerate != was.samplerate) {
    sndfile_.reset();
    return Error(kChangedWhileRead);
  }
  return ok_status();
}

Result<AudioSource> AudioReader::open_input(std::unique_ptr<Input> input) {
  AudioReader reader;
  reader.input_ = std::move(input);
  Result<SNDFILE*> f = reader.input_->start(reader.input_->declared);
  if (!f) return std::move(f).error();
  reader.sndfile_.reset(*f);
  const SF_INFO& info = reader.input_->declared;
  if (info.channels <= 0 || info.samplerate <= 0)
    return Error("Invalid channel count or sample rate.");
  reader.raw16_ = reads_raw16(*f, info);
  SourceInfo declared = declared_info(*f, info);
  std::vector<std::string> layout = analysis::file_layout(declared.channels, declared.speakers);
  return AudioSource{std::move(declared), std::move(layout), std::move(reader)};
}

// ---- the door ------------------------------------------------------------------

namespace {

// A FLAC file of more than two channels declares a layout other than FLAC's
// own order for its count in a WAVEFORMATEXTENSIBLE_CHANNEL_MASK comment
// (4.0 as L R C Cb, say), which libsndfile does not read: the layout is taken
// from it when it names one position per channel.
template <class Input>
void take_flac_mask(Input& input, AudioSource& source) {
  SourceInfo& info = source.info;
  if ((info.sf_format & SF_FORMAT_TYPEMASK) != SF_FORMAT_FLAC || info.channels <= 2 ||
      !info.channel_positions.empty()) {
    return;
  }
  const std::uint32_t mask = read_flac_channel_mask(input);
  if (mask == 0 || static_cast<unsigned>(std::popcount(mask)) != info.channels) return;
  info.channel_positions = source_positions(info, mask);
  info.speakers.clear();
  for (int p : info.channel_positions) info.speakers.push_back(speaker_of(p));
  source.layout = analysis::file_layout(info.channels, info.speakers);
}

}  // namespace

Result<AudioSource> open_audio(const std::string& path) {
  Result<File> file = File::open_regular_for_reading(path);
  if (!file) return std::move(file).error();
  auto input = std::make_unique<AudioReader::Input>();
  input->file = std::move(file).value();
  Result<AudioSource> source = AudioReader::open_input(std::move(input));
  if (source) take_flac_mask(path, *source);
  return source;
}

Result<AudioSource> open_audio_once(const std::string& path) {
  Result<File> file = File::open_regular_for_reading(path);
  if (!file) return std::move(file).error();
  struct stat st {};
  if (::fstat(file->fd(), &st) != 0) return os_error(errno);
  auto input = std::make_unique<AudioReader::Input>();
  input->bytes = std::make_unique<PositionedFile>(std::move(file).value(),
                                                  static_cast<std::uint64_t>(st.st_size));
  if (const Error* e = input->failure()) return *e;
  Result<AudioSource> source = AudioReader::open_input(std::move(input));
  if (source) take_flac_mask(path, *source);
  return source;
}

Result<AudioSource> open_audio(std::unique_ptr<VirtualFile> file) {
  auto input = std::make_unique<AudioReader::Input>();
  input->bytes = std::move(file);
  AudioReader::Input& bytes = *input;
  Result<AudioSource> source = AudioReader::open_input(std::move(input));
  if (source) take_flac_mask(static_cast<ByteReader&>(bytes), *source);
  return source;
}

std::vector<std::string> audio_extensions() {
  std::vector<std::string> out;
  for (const SndfileMajorFormat& f : sndfile_major_formats()) {
    out.push_back(f.extension);
    switch (f.major) {
      case SF_FORMAT_WAV:
        out.insert(out.end(), {"wave", "bwf"});
        break;
      case SF_FORMAT_AIFF:
        out.insert(out.end(), {"aif", "aifc"});
        break;
      case SF_FORMAT_OGG:
        out.insert(out.end(), {"ogg", "oga", "opus"});
        break;
      case SF_FORMAT_MPEG:
        out.insert(out.end(), {"mp3", "mp2", "mp1"});
        break;
      default:
        break;
    }
  }
  for (std::string& e : out) {
    std::transform(e.begin(), e.end(), e.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
  return out;
}

}  // namespace sonorik
