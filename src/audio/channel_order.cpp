#include "audio/channel_order.h"

#include <sndfile.h>

#include <algorithm>
#include <array>
#include <numeric>

namespace sonorik {

namespace {

// libsndfile's channel-mask table names the front three plainly.
constexpr int FL = SF_CHANNEL_MAP_LEFT;
constexpr int FR = SF_CHANNEL_MAP_RIGHT;
constexpr int FC = SF_CHANNEL_MAP_CENTER;
constexpr int LFE = SF_CHANNEL_MAP_LFE;
constexpr int BL = SF_CHANNEL_MAP_REAR_LEFT;
constexpr int BR = SF_CHANNEL_MAP_REAR_RIGHT;
constexpr int BC = SF_CHANNEL_MAP_REAR_CENTER;
constexpr int SL = SF_CHANNEL_MAP_SIDE_LEFT;
constexpr int SR = SF_CHANNEL_MAP_SIDE_RIGHT;

// The positions of a channel mask, bit 0 first, with their short names.
struct MaskBit {
  int position;
  const char* name;
};
constexpr std::array<MaskBit, 18> kMaskBits = {{
    {FL, "FL"},
    {FR, "FR"},
    {FC, "FC"},
    {LFE, "LFE"},
    {BL, "BL"},
    {BR, "BR"},
    {SF_CHANNEL_MAP_FRONT_LEFT_OF_CENTER, "FLC"},
    {SF_CHANNEL_MAP_FRONT_RIGHT_OF_CENTER, "FRC"},
    {BC, "BC"},
    {SL, "SL"},
    {SR, "SR"},
    {SF_CHANNEL_MAP_TOP_CENTER, "TC"},
    {SF_CHANNEL_MAP_TOP_FRONT_LEFT, "TFL"},
    {SF_CHANNEL_MAP_TOP_FRONT_CENTER, "TFC"},
    {SF_CHANNEL_MAP_TOP_FRONT_RIGHT, "TFR"},
    {SF_CHANNEL_MAP_TOP_REAR_LEFT, "TBL"},
    {SF_CHANNEL_MAP_TOP_REAR_CENTER, "TBC"},
    {SF_CHANNEL_MAP_TOP_REAR_RIGHT, "TBR"},
}};

// The front left, right and centre are the plain ones.
int canonical(int position) {
  switch (position) {
    case SF_CHANNEL_MAP_FRONT_LEFT:
      return FL;
    case SF_CHANNEL_MAP_FRONT_RIGHT:
      return FR;
    case SF_CHANNEL_MAP_FRONT_CENTER:
      return FC;
    default:
      return position;
  }
}

// The mask bit of a position (0..17), or -1 when a mask has none for it.
int mask_bit(int position) {
  for (std::size_t b = 0; b < kMaskBits.size(); ++b) {
    if (kMaskBits[b].position == canonical(position)) return static_cast<int>(b);
  }
  return -1;
}

std::string names_of(const std::vector<int>& positions) {
  std::string out;
  for (int p : positions) {
    const int b = mask_bit(p);
    out += (out.empty() ? "" : " ") + std::string(b < 0 ? "?" : kMaskBits[b].name);
  }
  return out;
}

// Ogg Vorbis and Opus (mapping family 1): their order for 3 to 8 channels.
std::vector<int> ogg_order(std::size_t channels) {
  switch (channels) {
    case 3:
      return {FL, FC, FR};
    case 4:
      return {FL, FR, BL, BR};
    case 5:
      return {FL, FC, FR, BL, BR};
    case 6:
      return {FL, FC, FR, BL, BR, LFE};
    case 7:
      return {FL, FC, FR, SL, SR, BC, LFE};
    case 8:
      return {FL, FC, FR, SL, SR, BL, BR, LFE};
    default:
      return {};
  }
}

// FLAC's order for 3 to 8 channels without a mask comment.
std::vector<int> flac_order(std::size_t channels) {
  switch (channels) {
    case 3:
      return {FL, FR, FC};
    case 4:
      return {FL, FR, BL, BR};
    case 5:
      return {FL, FR, FC, SL, SR};
    case 6:
      return {FL, FR, FC, LFE, SL, SR};
    case 7:
      return {FL, FR, FC, LFE, BC, SL, SR};
    case 8:
      return {FL, FR, FC, LFE, BL, BR, SL, SR};
    default:
      return {};
  }
}

// The one surround pair of a layout may be declared side or back.
int other_pair(int position) {
  switch (position) {
    case SL:
      return BL;
    case SR:
      return BR;
    case BL:
      return SL;
    case BR:
      return SR;
    default:
      return 0;
  }
}

// The source channel for each slot of `slots`, or empty when a slot has none.
std::vector<unsigned> matching(const std::vector<int>& slots, const std::vector<int>& positions) {
  const std::size_t n = slots.size();
  std::vector<unsigned> order(n, 0);
  std::vector<bool> used(n, false), filled(n, false);
  for (int pass = 0; pass < 2; ++pass) {
    for (std::size_t s = 0; s < n; ++s) {
      const int want = pass == 0 ? slots[s] : other_pair(slots[s]);
      for (std::size_t c = 0; c < n && !filled[s] && want != 0; ++c) {
        if (used[c] || canonical(positions[c]) != want) continue;
        used[c] = filled[s] = true;
        order[s] = static_cast<unsigned>(c);
      }
    }
  }
  if (std::find(filled.begin(), filled.end(), false) != filled.end()) return {};
  return order;
}

std::vector<unsigned> identity(std::size_t n) {
  std::vector<unsigned> order(n);
  std::iota(order.begin(), order.end(), 0u);
  return order;
}

const char* major_name(int major) {
  switch (major) {
    case SF_FORMAT_OGG:
      return "Ogg";
    case SF_FORMAT_FLAC:
      return "FLAC";
    case SF_FORMAT_AIFF:
      return "AIFF";
    case SF_FORMAT_CAF:
      return "CAF";
    case SF_FORMAT_W64:
      return "W64";
    case SF_FORMAT_WAV:
      return "WAV";
    default:
      return "this format";
  }
}

}  // namespace

std::vector<int> source_positions(const SourceInfo& info, std::uint32_t flac_mask) {
  if (!info.channel_positions.empty()) return info.channel_positions;
  const int major = info.sf_format & SF_FORMAT_TYPEMASK;
  if (major == SF_FORMAT_OGG) return ogg_order(info.channels);
  if (major != SF_FORMAT_FLAC) return {};
  std::vector<int> out;
  for (std::size_t b = 0; b < kMaskBits.size(); ++b) {
    if ((flac_mask >> b) & 1u) out.push_back(kMaskBits[b].position);
  }
  return out.size() == info.channels ? out : flac_order(info.channels);
}

ChannelPlan plan_channels(int sf_format, unsigned channels, const std::vector<int>& declared) {
  ChannelPlan plan;
  const int major = sf_format & SF_FORMAT_TYPEMASK;
  const std::size_t n = channels;
  plan.order = identity(n);
  // Undeclared channels are weighted in the usual order, which is FLAC's:
  // Ogg gets them in its own order; the other formats as they are.
  const std::vector<int>& positions =
      declared.size() == n ? declared : (major == SF_FORMAT_OGG ? flac_order(n) : declared);
  if (positions.size() != n) return plan;
  const bool mask_format =
      major == SF_FORMAT_WAVEX || major == SF_FORMAT_RF64 || major == SF_FORMAT_FLAC;
  if (n <= 2) {
    if (major == SF_FORMAT_WAVEX) plan.positions = positions;
    return plan;
  }
  if (mask_format) {
    std::vector<int> bits;
    for (int p : positions) bits.push_back(mask_bit(p));
    std::vector<int> sorted = bits;
    std::sort(sorted.begin(), sorted.end());
    if (sorted.front() >= 0 && std::adjacent_find(sorted.begin(), sorted.end()) == sorted.end()) {
      std::sort(plan.order.begin(), plan.order.end(),
                [&](unsigned a, unsigned b) { return bits[a] < bits[b]; });
      for (unsigned c : plan.order) {
        const int bit = bits[c];
        plan.positions.push_back(kMaskBits[static_cast<std::size_t>(bit)].position);
        plan.flac_mask |= 1u << bit;
      }
      if (major != SF_FORMAT_FLAC) plan.flac_mask = 0;
      if (major == SF_FORMAT_FLAC) plan.positions.clear();
      return plan;
    }
    plan.note = std::string(major_name(major)) + " cannot declare the channel layout " +
                names_of(positions) +
                " (not a channel mask): the channels are written in their order";
    return plan;
  }
  if (major == SF_FORMAT_OGG) {
    const std::vector<int> slots = ogg_order(n);
    std::vector<unsigned> order =
        slots.empty() ? std::vector<unsigned>{} : matching(slots, positions);
    if (!order.empty()) {
      plan.order = std::move(order);
      return plan;
    }
    plan.note = "Ogg cannot hold the channel layout " + names_of(positions) +
                ": the channels are written in their order and read in Ogg's own order for " +
                std::to_string(n) + " channels" +
                (slots.empty() ? "" : " (" + names_of(slots) + ")");
    return plan;
  }
  plan.note = std::string(major_name(major)) + " as written holds no channel layout: the " +
              names_of(positions) + " channels are written in their order and read in the " +
              "usual order for " + std::to_string(n) + " channels";
  return plan;
}

void reorder_frames(const std::vector<unsigned>& order, double* interleaved, std::size_t frames) {
  const std::size_t n = order.size();
  bool moves = false;
  for (std::size_t c = 0; c < n; ++c) moves = moves || order[c] != c;
  if (!moves) return;
  std::array<double, 64> frame{};
  if (n > frame.size()) return;
  for (std::size_t f = 0; f < frames; ++f) {
    double* x = interleaved + f * n;
    std::copy(x, x + n, frame.begin());
    for (std::size_t c = 0; c < n; ++c) x[c] = frame[order[c]];
  }
}

}  // namespace sonorik
