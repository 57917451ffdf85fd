// Console text with the timings (which differ from run to run) replaced by T.
#pragma once

#include <algorithm>
#include <string>

namespace kel::testing {

inline std::string without_timings(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 15, "elapsed time:  ") == 0 || text.compare(i, 15, "time per 100 = ") == 0) {
      out.append(text, i, 15).push_back('T');  // both labels are 15 characters long
      i = std::min(text.find_first_not_of("0123456789.-+e", i + 15), text.size());
    } else {
      out += text[i++];
    }
  }
  return out;
}

}  // namespace kel::testing
