// Channel layouts and their loudness weights by ITU-R BS.1770-4: L, R and C
// weigh 1.0; a channel below 30 degrees of elevation between 60 and 120
// degrees of azimuth weighs 1.41 (+1.5 dB); every other channel weighs 1.0;
// the LFE is left out. The names:
//
//   M    mono                         1.0
//   L R  front left / right (±30°)    1.0
//   C    centre (0°)                  1.0
//   LFE  low-frequency effects        left out
//   Ls Rs  surround pair (±110°, or the ±90° side pair of 7.1)   1.41
//   Lb Rb  back pair of 7.1 (±135°)   1.0
//   Cb   back centre (180°)           1.0
//   X    any other channel            1.0
//
// A layout with a single surround pair, declared back or side, is the ±110°
// pair (Ls Rs); a layout with both pairs has its side pair at ±90° (Ls Rs)
// and its back pair at ±135° (Lb Rb).
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sonorik::analysis {

// Where a channel plays, as a file declares it.
enum class Speaker {
  unknown,  // not declared
  mono,
  left,
  right,
  center,
  lfe,
  back_left,
  back_right,
  back_center,
  side_left,
  side_right,
  other,  // declared, but none of the above (heights, left of centre, ...)
};

// The accepted names, in the order above.
const std::vector<std::string>& channel_names();

// libebur128's channel value for a name; nullopt for an unknown name.
std::optional<int> channel_role(std::string_view name);

// The usual layout for a channel count: 1 M; 2 L R; 3 L R C; 4 L R Ls Rs;
// 5 L R C Ls Rs; 6 (5.1) L R C LFE Ls Rs; 7 (6.1) L R C LFE Cb Ls Rs;
// 8 (7.1) L R C LFE Lb Rb Ls Rs; more: 7.1 followed by X.
std::vector<std::string> default_layout(unsigned channels);

// The layout a file declares (one speaker per channel).
std::vector<std::string> layout_of(const std::vector<Speaker>& speakers);

// The layout a file of `channels` channels is weighted by: the one it
// declares when it places every channel, else the usual one for the count.
std::vector<std::string> file_layout(unsigned channels, const std::vector<Speaker>& declared);

}  // namespace sonorik::analysis
