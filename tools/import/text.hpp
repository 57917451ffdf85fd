// Text rules shared by the importer and the input check: what counts as a
// number in a continuous column, how a field is trimmed, how a value is
// quoted in a message, and which known spellings lie nearest a mistyped one.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

namespace kelimport {

// Leading and trailing space characters removed (not tabs), as the data
// reader does with every field.
std::string_view trim_spaces(std::string_view text);

// The whole text is a decimal number (sign, digits with an optional point,
// optional exponent) whose single-precision value is finite and is not the
// value that marks a missing continuous field. Hexadecimal, "inf", "nan",
// blanks and trailing text are not numbers.
bool is_decimal_number(std::string_view text);

// What a continuous column makes of the text (the C library's leading
// number, 0 when there is none), in words for a message: "read as 12" (six
// significant digits), "read as missing", or, for a number beyond the float
// range, "not finite: the analysis stops here".
std::string read_as(const std::string& text);

// The text in double quotes for a message: quotes and backslashes escaped,
// control bytes as \t, \r, \n or \xHH, and anything past 80 bytes cut with
// "..." so that a huge field cannot flood the console.
std::string quote_text(std::string_view text);

// The distinct values of a column, in order of first occurrence.
class value_set {
 public:
  void add(std::string_view value);
  bool contains(std::string_view value) const { return seen_.find(value) != seen_.end(); }
  const std::vector<std::string>& values() const { return order_; }

 private:
  struct hash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  std::unordered_set<std::string, hash, std::equal_to<>> seen_;
  std::vector<std::string> order_;
};

// Up to `count` candidates nearest to `wanted` by edit distance (case
// differences count less than other edits; ties keep the candidates' order),
// each quoted, joined by ", ". Empty when there is no candidate.
std::string nearest(const std::string& wanted, const std::vector<std::string>& candidates, std::size_t count = 3);

}  // namespace kelimport
