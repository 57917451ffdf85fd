#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "util/error.hpp"
#include "util/str2int.hpp"
#include "util/tokenizer.hpp"

using orv::util::error;
using orv::util::str2int;
using orv::util::tokenizer;

namespace {

std::vector<std::string> take(tokenizer& t, int n) {
  std::vector<std::string> out;
  for (int i = 0; i < n; ++i) out.emplace_back(t.next_token(t.separator()));
  return out;
}

std::string failure(const char* text) {
  std::uint32_t v = 99;
  try {
    str2int(text, v);
  } catch (const error& e) {
    EXPECT_EQ(v, 99u) << "value must be untouched on failure";
    return e.what();
  }
  return "no error";
}

std::uint32_t value(const char* text) {
  std::uint32_t v = 99;
  str2int(text, v);
  return v;
}

}  // namespace

TEST(tokenizer, adjacent_and_trailing_separators) {
  tokenizer a("a,,b", ',');
  EXPECT_EQ(take(a, 5), (std::vector<std::string>{"a", "", "b", "", ""}));
  tokenizer b("a,b,", ',');
  EXPECT_EQ(take(b, 3), (std::vector<std::string>{"a", "b", ""}));
}

TEST(tokenizer, null_text_is_empty) {
  tokenizer t(nullptr, ',');
  EXPECT_STREQ(t.next_token(','), "");
  EXPECT_STREQ(t.next_token(','), "");
}

TEST(tokenizer, long_fields_grow_the_buffer_by_half) {
  const std::string big(1000, 'x');
  const std::string text = "a," + big + ",b";
  tokenizer t(text.c_str(), ',');
  EXPECT_EQ(t.buffer_size(), 256u);
  EXPECT_EQ(take(t, 3), (std::vector<std::string>{"a", big, "b"}));
  EXPECT_EQ(t.buffer_size(), 1296u);  // 256 -> 384 -> 576 -> 864 -> 1296
}

TEST(tokenizer, field_of_exactly_the_buffer_size) {
  for (std::size_t n : {255u, 256u, 257u, 383u, 384u}) {
    const std::string field(n, 'y');
    tokenizer t(field.c_str(), ',');
    EXPECT_EQ(t.next_token(','), field) << n;
  }
}

TEST(tokenizer, assign_keeps_buffer_and_restarts) {
  const std::string big(300, 'z');
  tokenizer t(big.c_str(), ',');
  t.next_token(',');
  const auto grown = t.buffer_size();
  t.assign("p;q", ';');
  EXPECT_EQ(t.buffer_size(), grown);
  EXPECT_EQ(take(t, 3), (std::vector<std::string>{"p", "q", ""}));
}

TEST(tokenizer, zero_separator_gives_the_rest_as_one_field) {
  tokenizer t("a,b", '\0');
  EXPECT_STREQ(t.next_token('\0'), "a,b");
  EXPECT_STREQ(t.next_token('\0'), "");
}

TEST(str2int, accepts_digits_with_leading_blanks_and_plus) {
  EXPECT_EQ(value("4294967295"), 4294967295u);
  EXPECT_EQ(value("  7"), 7u);
  EXPECT_EQ(value("+"), 0u);
  EXPECT_EQ(value("+12"), 12u);
  EXPECT_EQ(value("0"), 0u);
  EXPECT_EQ(value("000000000000042"), 42u);
}

TEST(str2int, rejects_with_exact_messages) {
  EXPECT_EQ(failure(nullptr), "str2int:: cannot convert a NULL string.");
  EXPECT_EQ(failure("4294967296"), "str2int:: overflow");
  EXPECT_EQ(failure("42949672950"), "str2int:: overflow");
  EXPECT_EQ(failure("4294967300"), "str2int:: overflow");
  EXPECT_EQ(failure("7 "), "7 : _not an int");
  EXPECT_EQ(failure("-0"), "str2int:: a negative number provided.");
  EXPECT_EQ(failure("  -5"), "str2int:: a negative number provided.");
  EXPECT_EQ(failure(""), ": not an int");
  EXPECT_EQ(failure("   "), "   : not an int");
  EXPECT_EQ(failure("\t7"), "\t7: _not an int");
  EXPECT_EQ(failure("1.5"), "1.5: _not an int");
  EXPECT_EQ(failure("++1"), "++1: _not an int");
  EXPECT_EQ(failure("12abc"), "12abc: _not an int");
}
