// Replays every input kept in tests/fuzz/regressions through the code paths
// the fuzzers drive: the mapped reader, the decoder, both analysers, and the
// normalisation, batch and export paths with every set of measure flags.
// Each of these files once crashed or misbehaved, or is a hostile header kept
// beside them; a broken invariant aborts the test.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "../fuzz/fuzz_paths.h"

namespace sonorik {
namespace {

namespace fs = std::filesystem;

fs::path regressions_dir() {
  return fs::path(__FILE__).parent_path().parent_path() / "fuzz" / "regressions";
}

std::vector<fs::path> regression_files() {
  std::vector<fs::path> files;
  for (const auto& entry : fs::directory_iterator(regressions_dir())) {
    if (entry.is_regular_file()) files.push_back(entry.path());
  }
  std::sort(files.begin(), files.end());
  return files;
}

std::vector<std::uint8_t> read_all(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(FuzzRegressions, EveryKeptInputPassesEveryPath) {
  const std::vector<fs::path> files = regression_files();
  ASSERT_FALSE(files.empty()) << regressions_dir();
  for (const fs::path& path : files) {
    SCOPED_TRACE(path.filename().string());
    const std::vector<std::uint8_t> bytes = read_all(path);
    fuzz::fast_reader(bytes);
    fuzz::decoder(bytes);
    fuzz::analysis(bytes);
    // Every flag set once; kinds and the range form cycle alongside.
    for (unsigned flags = 0; flags < 128; ++flags) {
      fuzz::normalize_batch(bytes, flags + 128 * (flags % 6) + 768 * (flags / 6 % 2));
    }
  }
}

}  // namespace
}  // namespace sonorik
