#include "str2int.hpp"

#include <limits>
#include <string>

#include "error.hpp"

namespace orv::util {

void str2int(const char* text, std::uint32_t& value) {
  if (text == nullptr) throw error("str2int:: cannot convert a NULL string.");
  constexpr std::uint32_t max = std::numeric_limits<std::uint32_t>::max();
  constexpr std::uint32_t max_tenth = max / 10;

  const char* p = text;
  while (*p == ' ') ++p;
  if (*p == '\0') throw error(std::string(text) + ": not an int");
  if (*p == '-') throw error("str2int:: a negative number provided.");
  if (*p == '+') ++p;

  std::uint32_t v = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    const std::uint32_t digit = static_cast<std::uint32_t>(*p - '0');
    // Tested before multiplying, so no wider arithmetic is needed.
    if (v > max_tenth || digit > max - 10 * v) throw error("str2int:: overflow");
    v = 10 * v + digit;
  }
  if (*p != '\0') throw error(std::string(text) + ": _not an int");
  value = v;
}

}  // namespace orv::util
