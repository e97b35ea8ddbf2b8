#include "audio/sndfile_reader.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <utility>

namespace sonorik {

namespace {

struct Name {
  int code;
  const char* text;
};

#define SONORIK_FORMAT(x) \
  Name { SF_FORMAT_##x, #x }
constexpr std::array kMajorNames = {
    SONORIK_FORMAT(WAV),   SONORIK_FORMAT(AIFF),  SONORIK_FORMAT(AU),   SONORIK_FORMAT(RAW),
    SONORIK_FORMAT(PAF),   SONORIK_FORMAT(SVX),   SONORIK_FORMAT(NIST), SONORIK_FORMAT(VOC),
    SONORIK_FORMAT(IRCAM), SONORIK_FORMAT(W64),   SONORIK_FORMAT(MAT4), SONORIK_FORMAT(MAT5),
    SONORIK_FORMAT(PVF),   SONORIK_FORMAT(XI),    SONORIK_FORMAT(HTK),  SONORIK_FORMAT(SDS),
    SONORIK_FORMAT(AVR),   SONORIK_FORMAT(WAVEX), SONORIK_FORMAT(SD2),  SONORIK_FORMAT(FLAC),
    SONORIK_FORMAT(CAF),   SONORIK_FORMAT(WVE),   SONORIK_FORMAT(OGG),  SONORIK_FORMAT(MPC2K),
    SONORIK_FORMAT(RF64),  SONORIK_FORMAT(MPEG),
};
constexpr std::array kSubtypeNames = {
    SONORIK_FORMAT(PCM_S8),         SONORIK_FORMAT(PCM_16),       SONORIK_FORMAT(PCM_24),
    SONORIK_FORMAT(PCM_32),         SONORIK_FORMAT(PCM_U8),       SONORIK_FORMAT(FLOAT),
    SONORIK_FORMAT(DOUBLE),         SONORIK_FORMAT(ULAW),         SONORIK_FORMAT(ALAW),
    SONORIK_FORMAT(IMA_ADPCM),      SONORIK_FORMAT(MS_ADPCM),     SONORIK_FORMAT(GSM610),
    SONORIK_FORMAT(VOX_ADPCM),      SONORIK_FORMAT(NMS_ADPCM_16), SONORIK_FORMAT(NMS_ADPCM_24),
    SONORIK_FORMAT(NMS_ADPCM_32),   SONORIK_FORMAT(G721_32),      SONORIK_FORMAT(G723_24),
    SONORIK_FORMAT(G723_40),        SONORIK_FORMAT(DWVW_12),      SONORIK_FORMAT(DWVW_16),
    SONORIK_FORMAT(DWVW_24),        SONORIK_FORMAT(DWVW_N),       SONORIK_FORMAT(DPCM_8),
    SONORIK_FORMAT(DPCM_16),        SONORIK_FORMAT(VORBIS),       SONORIK_FORMAT(OPUS),
    SONORIK_FORMAT(ALAC_16),        SONORIK_FORMAT(ALAC_20),      SONORIK_FORMAT(ALAC_24),
    SONORIK_FORMAT(ALAC_32),        SONORIK_FORMAT(MPEG_LAYER_I), SONORIK_FORMAT(MPEG_LAYER_II),
    SONORIK_FORMAT(MPEG_LAYER_III),
};
#undef SONORIK_FORMAT

template <std::size_t N>
std::string name_of(const std::array<Name, N>& names, int code) {
  for (const Name& n : names) {
    if (n.code == code) return n.text;
  }
  return "0x" + [code] {
    static const char* digits = "0123456789ABCDEF";
    std::string s;
    for (int shift = 20; shift >= 0; shift -= 4) s += digits[(code >> shift) & 0xF];
    return s;
  }();
}

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

// The channel order Ogg Vorbis and Opus (mapping family 1) define for 3 to
// 8 channels, which libsndfile passes on without a channel map.
std::vector<Speaker> vorbis_order(unsigned channels) {
  using S = Speaker;
  switch (channels) {
    case 3:
      return {S::left, S::center, S::right};
    case 4:
      return {S::left, S::right, S::back_left, S::back_right};
    case 5:
      return {S::left, S::center, S::right, S::back_left, S::back_right};
    case 6:
      return {S::left, S::center, S::right, S::back_left, S::back_right, S::lfe};
    case 7:
      return {S::left, S::center, S::right, S::side_left, S::side_right, S::back_center, S::lfe};
    case 8:
      return {S::left,       S::center,    S::right,      S::side_left,
              S::side_right, S::back_left, S::back_right, S::lfe};
    default:
      return {};
  }
}

}  // namespace

std::string sndfile_format_name(int sf_format) {
  return name_of(kMajorNames, sf_format & SF_FORMAT_TYPEMASK) + " " +
         name_of(kSubtypeNames, sf_format & SF_FORMAT_SUBMASK);
}

void SndfileReader::Closer::operator()(sf_private_tag* f) const noexcept { sf_close(f); }

SndfileReader::~SndfileReader() = default;

Result<SndfileReader> SndfileReader::open(const std::string& path) {
  Result<File> file = File::open_regular_for_reading(path);
  if (!file) return std::move(file).error();
  SndfileReader r;
  r.file_ = std::move(file).value();
  SF_INFO info{};
  // The descriptor stays ours (closed by file_ after sf_close).
  r.sndfile_.reset(sf_open_fd(r.file_.fd(), SFM_READ, &info, SF_FALSE));
  if (!r.sndfile_) return Error(sf_strerror(nullptr));
  if (info.channels <= 0 || info.samplerate <= 0)
    return Error("Invalid channel count or sample rate.");
  r.info_.rate_hz = static_cast<std::uint32_t>(info.samplerate);
  r.info_.channels = static_cast<unsigned>(info.channels);
  r.info_.frames = info.frames > 0 ? static_cast<std::uint64_t>(info.frames) : 0;
  r.info_.format = sndfile_format_name(info.format);
  r.info_.sf_format = info.format;
  std::vector<int> map(r.info_.channels, SF_CHANNEL_MAP_INVALID);
  const auto bytes = static_cast<int>(std::min<std::size_t>(map.size() * sizeof(int), 1u << 20));
  if (map.size() <= (1u << 16) &&
      sf_command(r.sndfile_.get(), SFC_GET_CHANNEL_MAP_INFO, map.data(), bytes) == SF_TRUE &&
      std::any_of(map.begin(), map.end(), [](int p) { return p != SF_CHANNEL_MAP_INVALID; })) {
    for (int p : map) r.info_.speakers.push_back(speaker_of(p));
    r.info_.channel_positions = map;
  } else if ((info.format & SF_FORMAT_TYPEMASK) == SF_FORMAT_OGG) {
    r.info_.speakers = vorbis_order(r.info_.channels);
  }
  return r;
}

Result<std::size_t> SndfileReader::read(double* out, std::size_t max_frames) {
  const sf_count_t got = sf_readf_double(sndfile_.get(), out, static_cast<sf_count_t>(max_frames));
  if (got <= 0 && sf_error(sndfile_.get()) != SF_ERR_NO_ERROR) {
    return Error(sf_strerror(sndfile_.get()));
  }
  return got > 0 ? static_cast<std::size_t>(got) : 0;
}

std::vector<SndfileMajorFormat> sndfile_major_formats() {
  std::vector<SndfileMajorFormat> out;
  int count = 0;
  sf_command(nullptr, SFC_GET_FORMAT_MAJOR_COUNT, &count, sizeof count);
  for (int i = 0; i < count; ++i) {
    SF_FORMAT_INFO f{};
    f.format = i;
    if (sf_command(nullptr, SFC_GET_FORMAT_MAJOR, &f, sizeof f) != 0 || f.extension == nullptr)
      continue;
    const int major = f.format & SF_FORMAT_TYPEMASK;
    if (major != SF_FORMAT_RAW) out.push_back({major, f.extension});
  }
  return out;
}

std::vector<std::string> SndfileReader::extensions() {
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
