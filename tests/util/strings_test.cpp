#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/error.hpp"
#include "util/printable.hpp"
#include "util/str2int.hpp"
#include "util/tokenizer.hpp"

using orv::util::tokenizer;
using strings = std::vector<std::string>;

namespace {
strings take(tokenizer& t, int n) {
  strings out;
  for (int i = 0; i < n; ++i) out.emplace_back(t.next_token(t.separator()));
  return out;
}
}  // namespace

TEST(tokenizer, fields) {
  const std::string big(1000, 'x');
  const struct {
    const char* text;
    char separator;
    strings want;  // past the end every field is empty
  } rows[] = {{"a,,b", ',', {"a", "", "b", "", ""}},
              {"a,b,", ',', {"a", "b", "", ""}},
              {nullptr, ',', {"", ""}},
              {"a,b", '\0', {"a,b", ""}}};  // a zero separator gives the rest as one field
  for (const auto& row : rows) {
    tokenizer t(row.text, row.separator);
    EXPECT_EQ(take(t, static_cast<int>(row.want.size())), row.want) << (row.text ? row.text : "(null)");
  }

  // Long fields grow the buffer (of 256 bytes at first); fields of about its size fit.
  const std::string text = "a," + big + ",b";
  tokenizer t(text.c_str(), ',');
  EXPECT_EQ(take(t, 3), (strings{"a", big, "b"}));
  for (std::size_t n : {255u, 256u, 257u, 383u, 384u}) {
    const std::string field(n, 'y');
    tokenizer u(field.c_str(), ',');
    EXPECT_EQ(u.next_token(','), field) << n;
  }
  t.assign("p;q", ';');  // starts over with the grown buffer
  EXPECT_EQ(take(t, 3), (strings{"p", "q", ""}));
}

TEST(str2int, values_and_exact_messages) {
  const std::pair<const char*, std::string> rows[] = {
      {"4294967295", "4294967295"},
      {"  7", "7"},
      {"+", "0"},
      {"+12", "12"},
      {"000000000000042", "42"},
      {nullptr, "str2int:: cannot convert a NULL string."},
      {"4294967296", "str2int:: overflow"},
      {"4294967300", "str2int:: overflow"},
      {"-0", "str2int:: a negative number provided."},
      {"  -5", "str2int:: a negative number provided."},
      {"", ": not an int"},
      {"   ", "   : not an int"},
      {"7 ", "7 : _not an int"},
      {"\t7", "\t7: _not an int"},
      {"++1", "++1: _not an int"},
      {"12abc", "12abc: _not an int"}};
  for (const auto& [text, want] : rows) {
    std::uint32_t v = 99;
    std::string got;
    try {
      orv::util::str2int(text, v);
      got = std::to_string(v);
    } catch (const orv::util::error& e) {
      EXPECT_EQ(v, 99u) << "untouched on failure";
      got = e.what();
    }
    EXPECT_EQ(got, want) << (text ? text : "(null)");
  }
}

// Control bytes other than tab and carriage return become \xHH; printable
// bytes, UTF-8 included, stay. A message over 512 bytes keeps its first 384
// and last 96 bytes, moved to the nearest whole UTF-8 sequence, around a
// marker that counts the bytes left out.
TEST(printable_message, escapes_and_cuts) {
  using orv::util::printable_message;
  const struct {
    std::string in, want;
  } rows[] = {
      {"cannot decode\x1b[31mred", "cannot decode\\x1b[31mred"},
      {std::string("a\0b\nc\x7f", 6), "a\\x00b\\x0ac\\x7f"},
      {"bad syntax: x\tnomin\xc3\xa9\r", "bad syntax: x\tnomin\xc3\xa9\r"},
      {std::string(512, 'a'), std::string(512, 'a')},
      {std::string(513, 'a'), std::string(384, 'a') + "[... 33 bytes cut ...]" + std::string(96, 'a')},
      // An e-acute over bytes 383 and 384, a euro sign over 903 to 905 of 1000.
      {std::string(383, 'a') + "\xc3\xa9" + std::string(518, 'b') + "\xe2\x82\xac" + std::string(94, 'c'),
       std::string(383, 'a') + "[... 523 bytes cut ...]" + std::string(94, 'c')},
      {"\x01" + std::string(600, 'z') + "\x02", "\\x01" + std::string(383, 'z') + "[... 122 bytes cut ...]" +
                                                   std::string(95, 'z') + "\\x02"},
  };
  for (const auto& [in, want] : rows) EXPECT_EQ(printable_message(in), want) << in.substr(0, 40);
}
