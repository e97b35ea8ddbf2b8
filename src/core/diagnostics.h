// Diagnostic lines go straight to the process's standard output (fd 1) or
// standard error (fd 2), one whole line per write, never through Python's
// sys.stdout / sys.stderr.
#pragma once

#include <string_view>

namespace sonorik {

// Writes `line` (which should end in '\n') to fd 1 / fd 2 in one piece where
// the system allows; short writes are continued, errors ignored.
void write_stdout_line(std::string_view line) noexcept;
void write_stderr_line(std::string_view line) noexcept;

}  // namespace sonorik
