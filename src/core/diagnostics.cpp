#include "core/diagnostics.h"

#include "core/file.h"

namespace sonorik {

namespace {
// A diagnostic that cannot be written is dropped: it is never worth failing
// the measurement it describes.
void write_line(int fd, std::string_view line) noexcept {
  try {
    (void)write_all(fd, line);
  } catch (...) {
  }
}
}  // namespace

void write_stdout_line(std::string_view line) noexcept { write_line(1, line); }
void write_stderr_line(std::string_view line) noexcept { write_line(2, line); }

}  // namespace sonorik
