// Writing ReplayGain and R128 gain tags into a file without touching its
// audio. The file is copied beside itself (FileReplacement), the copy is
// tagged through TagLib, then checked: its audio stream must be byte for
// byte the original's (audio_bytes.h: FLAC, MP3, WAV, AIFF, the audio pages
// of Ogg) or, where that cannot be shown, decode to exactly the samples of
// the original (a hash of the decoded blocks, with the same
// rate, channels and frame count); and every other tag, picture, ID3v2 frame
// and broadcast chunk must read back the same. Only then does the copy replace
// the original; on any failure the original is left as it was.
//
// Where the values go, by the file's format: Vorbis comments (FLAC, Ogg
// Vorbis, Opus); ID3v2 TXXX frames (MP3, keeping the tag's version, 2.4 for
// a new tag or one older than 2.3; ID3v1 and APE tags are kept as they
// are); an id3 chunk (WAV, AIFF; a WAV file's INFO list is kept);
// freeform items "----:com.apple.iTunes:KEY" (MP4/M4A, mp4_gain.h: found by
// its ftyp atom, checked through its atoms, every sample and every other
// item the same bytes, since no decoder of ours reads it).
//
// An Opus file's ID header carries an output gain that every decoder
// applies; its R128_* tags are gains in addition to it. A write may add to
// that header gain (opus_header_steps): the copy's first page is patched
// and its checksum set again, the audio pages must be byte for byte the
// original's, the copy must decode to the original's samples times the gain
// added, and the R128_* tags kept from the file (not among the values
// written) move by minus that gain, so that they still lead where they did.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "core/error.h"

namespace sonorik::tags {

// The gain tags written. A write sets those it is given, removes
// REPLAYGAIN_REFERENCE_LOUDNESS when it is not given (it belongs to the gains
// written) and, on Opus, every REPLAYGAIN_* tag; the others (an album gain
// when only the track's is given) are kept.
inline constexpr const char* kGainTagKeys[] = {
    "REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK",         "REPLAYGAIN_ALBUM_GAIN",
    "REPLAYGAIN_ALBUM_PEAK", "REPLAYGAIN_REFERENCE_LOUDNESS", "R128_TRACK_GAIN",
    "R128_ALBUM_GAIN",
};

using GainValues = std::vector<std::pair<std::string, std::string>>;

// The gain tags (keys of kGainTagKeys) the file at `path` holds, in the
// order of kGainTagKeys. Errors: a file the door or TagLib cannot read.
Result<GainValues> read_gain_tags(const std::string& path);

// Writes `values` (keys of kGainTagKeys, each at most once) into the file
// at `path`, as described above. Errors: the file
// cannot be read or copied, a format without a place for the tags ("WAV
// files of this kind", RF64, W64, CAF, ...), TagLib cannot save the copy, or
// the check finds the copy's audio or other tags changed (the original is
// then untouched); with `opus_header_steps` (1/256 dB added to the output
// gain of an Opus file's header, 0: left alone), a file that is not Opus, a
// header gain that would leave its range (-128 to +127.996 dB) or a kept
// R128_* tag that cannot move with it.
Status write_gain_tags(const std::string& path, const GainValues& values,
                       int opus_header_steps = 0);

}  // namespace sonorik::tags
