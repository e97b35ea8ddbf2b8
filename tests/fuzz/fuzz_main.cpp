// libFuzzer entry for the path of fuzz_paths.h named by SONORIK_FUZZ_PATH.
#include <cstdio>

#include "fuzz_paths.h"
#include "fuzz_tags.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The robust analyzer's notices go to standard output.
  (void)std::freopen("/dev/null", "w", stdout);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sonorik::fuzz::SONORIK_FUZZ_PATH(sonorik::Bytes(data, size));
  return 0;
}
