// Carrying a channel layout into another format. A layout is a list of
// libsndfile positions (SF_CHANNEL_MAP_*), one per channel. Formats hold a
// layout in one of three ways:
//
//  - a channel mask (WAV extensible, RF64, and FLAC through its
//    WAVEFORMATEXTENSIBLE_CHANNEL_MASK comment): the channels stored in the
//    order of the mask's bits (L R C LFE Lb Rb Lc Rc Cb Ls Rs, heights);
//  - a fixed order by channel count (Ogg Vorbis and Opus: 5.1 is
//    L C R Lb Rb LFE);
//  - none (AIFF, CAF, W64, AU, MP3, ... as libsndfile writes them): the
//    channels are read in the usual order for their count.
//
// plan_channels() gives the order the channels are written in, the positions
// to declare and, when the destination cannot hold the layout, a note that
// says so.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "audio/source.h"

namespace sonorik {

// The layout a source holds: its declared positions; Ogg Vorbis and Opus:
// their fixed order; FLAC: the mask of its comment (`flac_mask`, 0 when it
// has none) or FLAC's own order for 3 to 8 channels. Empty when the source
// says nothing (a plain WAV of 6 channels, ...).
std::vector<int> source_positions(const SourceInfo& info, std::uint32_t flac_mask);

struct ChannelPlan {
  // Output channel i is source channel order[i].
  std::vector<unsigned> order;
  // The positions to declare to the writer (channel-mask formats), or empty.
  std::vector<int> positions;
  // The channel mask for a FLAC comment, or 0.
  std::uint32_t flac_mask = 0;
  // Why the layout is not carried over, or empty.
  std::string note;
};

// How `channels` channels at `positions` (one per channel, or empty when
// undeclared) go into `sf_format`'s major format. Channel-mask formats get
// the channels sorted by mask bit; Ogg its fixed order (a side pair stands
// for the back pair of a layout with one surround pair; undeclared channels
// are taken in the usual order for their count); a layout the destination
// cannot hold keeps its order and gets a note. One or two channels are never
// reordered.
ChannelPlan plan_channels(int sf_format, unsigned channels, const std::vector<int>& positions);

// Moves the channels of `frames` interleaved frames into plan order, in place.
void reorder_frames(const std::vector<unsigned>& order, double* interleaved, std::size_t frames);

}  // namespace sonorik
