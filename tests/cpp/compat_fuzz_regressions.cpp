// Replays every input kept in tests/fuzz/regressions (each once crashed or
// misbehaved, or is a hostile header) through every path of fuzz_paths.h.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "../fuzz/fuzz_paths.h"
#include "support.h"

namespace sonorik {
namespace {

TEST(FuzzRegressions, EveryKeptInputPassesEveryPath) {
  const auto dir =
      std::filesystem::path(__FILE__).parent_path().parent_path() / "fuzz" / "regressions";
  std::vector<std::filesystem::path> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  ASSERT_FALSE(files.empty()) << dir;
  for (const auto& path : files) {
    SCOPED_TRACE(path.filename().string());
    const std::string text = testing::read_all(path);
    const std::vector<std::uint8_t> bytes(text.begin(), text.end());
    fuzz::fast_reader(bytes);
    fuzz::decoder(bytes);
    fuzz::analysis(bytes);
    fuzz::door(bytes);
    // Every flag set once; kinds and the range form cycle alongside.
    for (unsigned flags = 0; flags < 128; ++flags) {
      fuzz::normalize_batch(bytes, flags + 128 * (flags % 6) + 768 * (flags / 6 % 2));
    }
  }
}

}  // namespace
}  // namespace sonorik
