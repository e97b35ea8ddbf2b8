// libFuzzer entry for the path of fuzz_paths.h named by SONORIK_FUZZ_PATH.
#include <fcntl.h>
#include <unistd.h>

#include "fuzz_paths.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // The robust analyzer's notices go to standard output.
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
