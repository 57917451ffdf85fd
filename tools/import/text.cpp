#include "text.hpp"

#include <algorithm>
#include <cctype>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numeric>

namespace kelimport {

std::string_view trim_spaces(std::string_view text) {
  const auto first = text.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

namespace {
bool digit(char c) { return c >= '0' && c <= '9'; }
}  // namespace

bool is_decimal_number(std::string_view t) {
  std::size_t i = 0;
  const std::size_t n = t.size();
  if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
  std::size_t digits = 0;
  while (i < n && digit(t[i])) ++i, ++digits;
  if (i < n && t[i] == '.') {
    ++i;
    while (i < n && digit(t[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  bool exponent = false;
  if (i < n && (t[i] == 'e' || t[i] == 'E')) {
    ++i;
    if (i < n && (t[i] == '+' || t[i] == '-')) ++i;
    if (i == n || !digit(t[i])) return false;
    while (i < n && digit(t[i])) ++i;
    exponent = true;
  }
  if (i != n) return false;
  // Without an exponent a short text cannot leave the float range or come
  // near the smallest normal float; only the others are worth converting.
  if (!exponent && n <= 30) return true;
  const float value = static_cast<float>(std::strtod(std::string(t).c_str(), nullptr));
  return std::isfinite(value) && value != FLT_MIN;
}

std::string read_as(const std::string& text) {
  const float value = static_cast<float>(std::strtod(text.c_str(), nullptr));
  if (!std::isfinite(value)) return "not finite: the analysis stops here";
  if (value == FLT_MIN) return "read as missing";
  char buf[64];
  std::snprintf(buf, sizeof buf, "read as %g", static_cast<double>(value));
  return buf;
}

std::string quote_text(std::string_view text) {
  constexpr std::size_t limit = 80;
  std::string out = "\"";
  for (std::size_t i = 0; i < text.size() && i < limit; ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\t': out += "\\t"; break;
      case '\r': out += "\\r"; break;
      case '\n': out += "\\n"; break;
      default:
        if (c < 0x20 || c == 0x7f) {
          char hex[8];
          std::snprintf(hex, sizeof hex, "\\x%02x", c);
          out += hex;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += text.size() > limit ? "...\"" : "\"";
  return out;
}

void value_set::add(std::string_view value) {
  // Most fields repeat a value already seen: look it up before copying.
  if (seen_.find(value) != seen_.end()) return;
  seen_.emplace(value);
  order_.emplace_back(value);
}

namespace {

// Edit distance in which changing only the case of a letter costs 1 and any
// other substitution, insertion or deletion costs 2, so that "female" lies
// nearer to "Female" than to "male". Long texts are compared by their first
// 100 bytes.
std::size_t weighted_distance(std::string_view a, std::string_view b) {
  a = a.substr(0, 100);
  b = b.substr(0, 100);
  std::vector<std::size_t> row(b.size() + 1), next(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) row[j] = 2 * j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    next[0] = 2 * i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const char x = a[i - 1], y = b[j - 1];
      std::size_t change = 2;
      if (x == y)
        change = 0;
      else if (std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y)))
        change = 1;
      next[j] = std::min({row[j - 1] + change, row[j] + 2, next[j - 1] + 2});
    }
    row.swap(next);
  }
  return row[b.size()];
}

}  // namespace

std::string nearest(const std::string& wanted, const std::vector<std::string>& candidates, std::size_t count) {
  std::vector<std::size_t> distance(candidates.size());
  for (std::size_t i = 0; i < candidates.size(); ++i) distance[i] = weighted_distance(wanted, candidates[i]);
  std::vector<std::size_t> order(candidates.size());
  std::iota(order.begin(), order.end(), 0);
  const std::size_t shown = std::min(count, order.size());
  std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(shown), order.end(),
                    [&](std::size_t a, std::size_t b) { return distance[a] != distance[b] ? distance[a] < distance[b] : a < b; });
  std::string out;
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) out += ", ";
    out += quote_text(candidates[order[i]]);
  }
  return out;
}

}  // namespace kelimport
