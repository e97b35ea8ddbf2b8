#include "core/diagnostics.h"

#include <unistd.h>

#include <cerrno>

namespace sonorik {

namespace {
void write_all(int fd, std::string_view text) noexcept {
  while (!text.empty()) {
    const ssize_t n = ::write(fd, text.data(), text.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return;
    }
    text.remove_prefix(static_cast<size_t>(n));
  }
}
}  // namespace

void write_stdout_line(std::string_view line) noexcept { write_all(1, line); }
void write_stderr_line(std::string_view line) noexcept { write_all(2, line); }

}  // namespace sonorik
