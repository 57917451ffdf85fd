// Console text with the timings (which differ from run to run) replaced by T.
#pragma once

#include <regex>
#include <string>

namespace kel::testing {

inline std::string without_timings(const std::string& text) {
  static const std::regex timing("(elapsed time:  |time per 100 = )[-+.e0-9]*");
  return std::regex_replace(text, timing, "$1T");
}

}  // namespace kel::testing
