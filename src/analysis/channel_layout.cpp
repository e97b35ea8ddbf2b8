#include "analysis/channel_layout.h"

#include <ebur128.h>

#include <algorithm>
#include <array>

namespace sonorik::analysis {

namespace {
struct RoleName {
  const char* name;
  int role;
};
constexpr std::array kRoles = {
    RoleName{"M", EBUR128_CENTER},          RoleName{"L", EBUR128_LEFT},
    RoleName{"R", EBUR128_RIGHT},           RoleName{"C", EBUR128_CENTER},
    RoleName{"LFE", EBUR128_UNUSED},        RoleName{"Ls", EBUR128_LEFT_SURROUND},
    RoleName{"Rs", EBUR128_RIGHT_SURROUND}, RoleName{"Lb", EBUR128_Mp135},
    RoleName{"Rb", EBUR128_Mm135},          RoleName{"Cb", EBUR128_Mp180},
    RoleName{"X", EBUR128_Mp000},
};
}  // namespace

const std::vector<std::string>& channel_names() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> out;
    for (const RoleName& e : kRoles) out.emplace_back(e.name);
    return out;
  }();
  return names;
}

std::optional<int> channel_role(std::string_view name) {
  for (const RoleName& e : kRoles) {
    if (name == e.name) return e.role;
  }
  return std::nullopt;
}

std::vector<std::string> default_layout(unsigned channels) {
  switch (channels) {
    case 1:
      return {"M"};
    case 2:
      return {"L", "R"};
    case 3:
      return {"L", "R", "C"};
    case 4:
      return {"L", "R", "Ls", "Rs"};
    case 5:
      return {"L", "R", "C", "Ls", "Rs"};
    case 6:
      return {"L", "R", "C", "LFE", "Ls", "Rs"};
    case 7:
      return {"L", "R", "C", "LFE", "Cb", "Ls", "Rs"};
    default:
      break;
  }
  std::vector<std::string> out = {"L", "R", "C", "LFE", "Lb", "Rb", "Ls", "Rs"};
  out.resize(channels, "X");
  return out;
}

std::vector<std::string> layout_of(const std::vector<Speaker>& speakers) {
  const auto has = [&](Speaker a, Speaker b) {
    return std::any_of(speakers.begin(), speakers.end(),
                       [&](Speaker s) { return s == a || s == b; });
  };
  const bool two_pairs =
      has(Speaker::back_left, Speaker::back_right) && has(Speaker::side_left, Speaker::side_right);
  std::vector<std::string> out;
  for (Speaker s : speakers) {
    switch (s) {
      case Speaker::mono:
        out.emplace_back("M");
        break;
      case Speaker::left:
        out.emplace_back("L");
        break;
      case Speaker::right:
        out.emplace_back("R");
        break;
      case Speaker::center:
        out.emplace_back("C");
        break;
      case Speaker::lfe:
        out.emplace_back("LFE");
        break;
      case Speaker::back_left:
        out.emplace_back(two_pairs ? "Lb" : "Ls");
        break;
      case Speaker::back_right:
        out.emplace_back(two_pairs ? "Rb" : "Rs");
        break;
      case Speaker::side_left:
        out.emplace_back("Ls");
        break;
      case Speaker::side_right:
        out.emplace_back("Rs");
        break;
      case Speaker::back_center:
        out.emplace_back("Cb");
        break;
      case Speaker::unknown:
      case Speaker::other:
        out.emplace_back("X");
        break;
    }
  }
  return out;
}

std::vector<std::string> file_layout(unsigned channels, const std::vector<Speaker>& declared) {
  return declared.size() == channels ? layout_of(declared) : default_layout(channels);
}

}  // namespace sonorik::analysis
