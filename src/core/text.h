// Small text helpers shared by every subsystem: the operating-system error
// rendering, the quoted form of a path, and path name pieces.
#pragma once

#include <string>
#include <string_view>

#include "core/error.h"

namespace sonorik {

// "No such file or directory": the system's description of errno value `code`.
std::string os_error_description(int code);
// "No such file or directory (os error 2)": the description followed by the
// error number.
std::string os_error_text(int code);
// An Error carrying os_error_text(code) and, as its os_errno(), `code`.
Error os_error(int code);

// The path between double quotes, with '"' and '\' escaped by a backslash,
// tab, CR, LF and NUL as \t \r \n \0, other control characters as \u{hex},
// and bytes that are not valid UTF-8 as \xNN.
std::string quoted_path(std::string_view path);

// The final component of a path ("dir/a.wav" -> "a.wav"). Trailing slashes are
// ignored; a path whose last component is ".." or that is a root has none and
// gives "".
std::string_view file_name(std::string_view path);

// The extension of the final component: the text after its last '.', provided
// that '.' is not the component's first character. Returns false when there
// is none ("a", ".wav", "dir.x/a").
bool path_extension(std::string_view path, std::string_view& ext);

// The extension, lower-cased, or "" when there is none or it is not valid
// UTF-8. Only ASCII letters change case: every extension compared against is
// ASCII, and a non-ASCII letter can never lower-case to one of them.
std::string lower_extension(std::string_view path);

// True when `text` is valid UTF-8.
bool is_valid_utf8(std::string_view text);

}  // namespace sonorik

namespace sonorik {

// "HH:MM:SS.mmm": hours and minutes truncated (saturating) to unsigned 32-bit,
// seconds the remainder by 60 with three decimals, zero-padded to width 6.
// Hours of 100 or more are printed in full; no carry into the minutes.
std::string format_duration(double seconds);

}  // namespace sonorik
