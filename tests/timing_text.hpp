// Console text with the timings (which differ from run to run) replaced by T.
#pragma once

#include <cstring>
#include <string>

namespace kel::testing {

inline std::string without_timings(const std::string& text) {
  static const char* const labels[] = {"elapsed time:  ", "time per 100 = "};
  std::string out;
  std::size_t i = 0;
  while (i < text.size()) {
    bool replaced = false;
    for (const char* label : labels) {
      const std::size_t n = std::strlen(label);
      if (text.compare(i, n, label) != 0) continue;
      out.append(label, n);
      i += n;
      while (i < text.size() && std::strchr("0123456789.-+e", text[i]) != nullptr && text[i] != '\0') ++i;
      out.push_back('T');
      replaced = true;
    }
    if (!replaced) out.push_back(text[i++]);
  }
  return out;
}

}  // namespace kel::testing
