// libFuzzer entry for one path of fuzz_paths.h, chosen at build time by
// SONORIK_FUZZ_PATH: fast_reader (open from a file, then convert), decoder
// (the WAV decoder over bytes in memory), analysis (a full measurement
// through the analyzer and the robust analyzer) or normalize_batch (the
// normalisation, batch and export paths with flags chosen by the input).
#include <fcntl.h>
#include <unistd.h>

#include "fuzz_paths.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The robust analyzer's notices go to standard output; keep the log readable.
  const int null = ::open("/dev/null", O_WRONLY);
  if (null >= 0) {
    ::dup2(null, 1);
    ::close(null);
  }
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sonorik::fuzz::SONORIK_FUZZ_PATH(sonorik::Bytes(data, size));
  return 0;
}
