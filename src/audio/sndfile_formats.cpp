#include "audio/sndfile_formats.h"

#include <sndfile.h>

#include <array>
#include <mutex>
#include <shared_mutex>

namespace sonorik {

void SndfileCloser::operator()(sf_private_tag* f) const noexcept { sf_close(f); }

namespace {
std::shared_mutex& opens() {
  static std::shared_mutex m;
  return m;
}
}  // namespace

SndfilePtr open_sndfile(const std::function<sf_private_tag*()>& open, std::string& error) {
  {
    const std::shared_lock<std::shared_mutex> side_by_side(opens());
    if (SndfilePtr f{open()}) return f;
  }
  return open_sndfile_alone(open, error);
}

SndfilePtr open_sndfile_alone(const std::function<sf_private_tag*()>& open, std::string& error) {
  const std::unique_lock<std::shared_mutex> alone(opens());
  SndfilePtr f{open()};
  if (!f) error = sf_strerror(nullptr);
  return f;
}

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

}  // namespace

std::string sndfile_format_name(int sf_format) {
  return name_of(kMajorNames, sf_format & SF_FORMAT_TYPEMASK) + " " +
         name_of(kSubtypeNames, sf_format & SF_FORMAT_SUBMASK);
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

}  // namespace sonorik
