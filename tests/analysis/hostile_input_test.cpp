// Inputs the fuzzers found or the hardening review turned up: each case once
// crashed, read out of bounds or was undefined behaviour.
#include <gtest/gtest.h>

#include "support/tables.hpp"

using namespace testing_support;

// A field of blanks trims to an empty view without data; it reads as 0.
TEST(hostile, empty_continuous_field_without_data) {
  auto d = load("x,continuous\n", "1\n   \n2.5\n", "x>0\nx>0\nx\n");
  EXPECT_STREQ((*d->atts)[0]->getString(1), "0");
}

// A zero byte cuts the line short for the tokenizer; the fields after it
// must not vanish silently.
TEST(hostile, zero_byte_in_a_data_line_is_a_bad_row) {
  const std::pair<std::string, std::string> cases[] = {
      {std::string("x,y\nx,y\0z\n", 10), "bad row: 2"}, {std::string("x\0,y\n", 5), "bad row: 1"},
      {std::string("a\0,\0b\0\n\0", 9), "bad row: 1" /* UTF-16 */}, {"x,y\n", "no error"}};
  for (const auto& [data, want] : cases)
    EXPECT_EQ(error_of([&] { with_metadata("a,nominal\nb,nominal\n")->readData(*text_stream(data)); }), want) << data;
}
