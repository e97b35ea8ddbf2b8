#include "core/text.h"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace sonorik {

std::string os_error_description(int code) {
  char buf[256];
  // GNU strerror_r returns the message (possibly not in buf).
  const char* msg = strerror_r(code, buf, sizeof buf);
  return msg != nullptr ? msg : "Unknown error";
}

std::string os_error_text(int code) {
  std::string out = os_error_description(code);
  out += " (os error ";
  out += std::to_string(code);
  out += ")";
  return out;
}

Error os_error(int code) { return Error::with_os_errno(os_error_text(code), code); }

namespace {

// Length of the UTF-8 sequence starting at s[i] and its code point, or 0 when
// the bytes there are not a valid sequence.
size_t utf8_sequence(std::string_view s, size_t i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    return 1;
  }
  size_t len = 0;
  char32_t min = 0;
  if ((b0 & 0xE0) == 0xC0) {
    len = 2, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    len = 3, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    len = 4, cp = b0 & 0x07, min = 0x10000;
  } else {
    return 0;
  }
  if (i + len > s.size()) return 0;
  for (size_t k = 1; k < len; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return 0;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return 0;
  return len;
}

}  // namespace

bool is_valid_utf8(std::string_view text) {
  for (size_t i = 0; i < text.size();) {
    char32_t cp = 0;
    const size_t n = utf8_sequence(text, i, cp);
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string quoted_path(std::string_view path) {
  std::string out = "\"";
  char hex[16];
  for (size_t i = 0; i < path.size();) {
    char32_t cp = 0;
    const size_t n = utf8_sequence(path, i, cp);
    if (n == 0) {
      std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(path[i]));
      out += hex;
      ++i;
      continue;
    }
    switch (cp) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\n':
        out += "\\n";
        break;
      case 0:
        out += "\\0";
        break;
      default:
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0)) {
          std::snprintf(hex, sizeof hex, "\\u{%x}", static_cast<unsigned>(cp));
          out += hex;
        } else {
          out.append(path.substr(i, n));
        }
    }
    i += n;
  }
  out += '"';
  return out;
}

std::string_view file_name(std::string_view path) {
  while (path.size() > 1 && path.back() == '/') path.remove_suffix(1);
  const size_t slash = path.rfind('/');
  std::string_view name = slash == std::string_view::npos ? path : path.substr(slash + 1);
  if (name == ".." || name == "/") return {};
  if (name == ".") {
    // "dir/." names dir itself: its name is that of the component before.
    if (slash == std::string_view::npos || slash == 0) return {};
    return file_name(path.substr(0, slash));
  }
  return name;
}

bool path_extension(std::string_view path, std::string_view& ext) {
  const std::string_view name = file_name(path);
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot == 0 || name == "..") return false;
  ext = name.substr(dot + 1);
  return true;
}

std::string lower_extension(std::string_view path) {
  std::string_view ext;
  if (!path_extension(path, ext) || !is_valid_utf8(ext)) return {};
  std::string out(ext);
  for (char& c : out) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return out;
}

}  // namespace sonorik

namespace sonorik {

namespace {
// Float to u32 as a saturating cast: negative and NaN give 0.
std::uint32_t saturate_u32(double v) {
  if (!(v > 0.0)) return 0;
  if (v >= 4294967295.0) return 4294967295u;
  return static_cast<std::uint32_t>(v);
}
}  // namespace

std::string format_duration(double d) {
  const std::uint32_t hours = saturate_u32(d / 3600.0);
  const std::uint32_t minutes = saturate_u32(std::fmod(d, 3600.0) / 60.0);
  const double seconds = std::fmod(d, 60.0);
  char buf[96];
  if (std::isnan(seconds)) {
    // An infinite or undefined duration (a 0 Hz header on the fast path):
    // the remainder is not a number, written zero-padded like a number.
    std::snprintf(buf, sizeof buf, "%02u:%02u:000NaN", hours, minutes);
  } else {
    std::snprintf(buf, sizeof buf, "%02u:%02u:%06.3f", hours, minutes, seconds);
  }
  return buf;
}

}  // namespace sonorik
