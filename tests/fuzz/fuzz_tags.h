// The tag readers over any bytes, taken as a file of every family: TagLib
// and libsndfile's chunk readers meet the source's tags before anything else
// of ours does, so hostile tags must neither crash nor read out of bounds.
#pragma once

#include "fuzz_paths.h"
#include "tags/mp4_atoms.h"
#include "tags/ogg_pages.h"
#include "tags/tag_set.h"

namespace sonorik::fuzz {

inline void tags(Bytes bytes) {
  const std::string path = write_input(bytes);
  for (tags::Family f :
       {tags::Family::wav, tags::Family::aiff, tags::Family::flac, tags::Family::vorbis,
        tags::Family::opus, tags::Family::mp3, tags::Family::none}) {
    bool readable = true;
    const tags::TagSet set = tags::read_tags(path, f, readable);
    SONORIK_FUZZ_CHECK(readable || set.empty());
  }
  // The walkers the gain tags' checks use, over the same bytes and a cut copy.
  for (const Bytes other : {bytes, bytes.first(bytes.size() / 2)}) {
    (void)tags::same_mp4_samples(bytes, other);
    (void)tags::same_ogg_audio(bytes, other, true);
    (void)tags::same_ogg_audio(other, bytes, false);
  }
  (void)tags::mp4_items(bytes);
  (void)tags::opus_header_gain(bytes);
}

}  // namespace sonorik::fuzz
