// Gain tags in MP4 (M4A) files: freeform items "----:com.apple.iTunes:KEY"
// holding UTF-8 text, written and read through TagLib.
#pragma once

#include <string>

#include "core/error.h"
#include "tags/gain_writer.h"

namespace sonorik::tags {

// Whether the file at `path` starts as an MP4 file does.
bool is_mp4_file(const std::string& path);

// Whether the MP4 file at `path` can be walked and every sample its tables
// list lies inside it (a file cut short fails).
bool mp4_intact(const std::string& path);

// Removes the freeform gain items named by `removed` (their name in any
// case) and sets those of `values`, then saves the file at `path`; false
// when TagLib cannot open or save it.
bool tag_mp4(const std::string& path, const GainValues& values, const GainValues& removed);

// The gain items (keys of kGainTagKeys, their name in any case) of the MP4
// file at `path`, in the order of kGainTagKeys. Errors: TagLib cannot read it.
Result<GainValues> read_mp4_gain_tags(const std::string& path);

// Whether the tagged copy `b` of the MP4 file `a` keeps its tracks (every
// sample byte for byte) and every item of its tag list but the gain items
// named in `written` (any case); what differs, or nothing.
std::optional<std::string> mp4_difference(const std::string& a, const std::string& b,
                                          const GainValues& written);

}  // namespace sonorik::tags
