// The atoms of an MP4 (M4A) file that tagging must leave alone, walked from
// its bytes with every length checked: each track's sample bytes, found
// through its sample tables (stsz, stsc, stco or co64), and the items of its
// iTunes tag list (moov/udta/meta/ilst).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "core/bytes.h"

namespace sonorik::tags {

// Whether `f` starts as an MP4 file does (an ftyp atom).
bool looks_like_mp4(Bytes f);

// Whether `a` and `b` hold the same tracks: each track atom byte for byte
// but its chunk offsets (stco, co64), which move when the tag before the
// media data grows, and every sample, found through the sample tables, byte
// for byte. False when either cannot be walked (a length past its atom or
// file, a fragmented file without sample tables) or when they differ.
bool same_mp4_samples(Bytes a, Bytes b);

// An item of the tag list: its whole atom, and for a freeform item
// ("----") its name (the "name" atom's text).
struct Mp4Item {
  Bytes atom;
  std::string freeform_name;
};

// The items of the tag list of `f`, in file order (none without a tag list);
// nothing when the atoms on the way cannot be walked.
std::optional<std::vector<Mp4Item>> mp4_items(Bytes f);

}  // namespace sonorik::tags
