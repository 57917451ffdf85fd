// Inputs the fuzzers found or the hardening review turned up: each case once
// crashed, read out of bounds or was undefined behaviour.
#include <gtest/gtest.h>

#include <string_view>

#include "analysis/attribute.hpp"
#include "text_input.hpp"

using kel::testing::error_of;
using kel::testing::load;

// A field of blanks trims to an empty view without data; it reads as 0.
TEST(hostile, empty_continuous_field_without_data) {
  kel::attcontinuous att("x");
  att.addValue(std::string_view());
  att.addValue("2");
  att.normalize();
  EXPECT_STREQ(att.getString(0), "0");
  auto d = load("x,continuous\n", "1\n   \n2.5\n", "x>0\nx>0\nx\n");
  EXPECT_EQ(d->rows(), 3u);
  EXPECT_STREQ((*d->atts)[0]->getString(1), "0");
}

// A zero byte cuts the line short for the tokenizer; the fields after it
// must not vanish silently.
TEST(hostile, zero_byte_in_a_data_line_is_a_bad_row) {
  const std::string meta = "a,nominal\nb,nominal\n";
  auto read = [&](const std::string& data) {
    return error_of([&] {
      kel::dataset d;
      d.readMetadata(*kel::testing::text_stream(meta));
      d.readData(*kel::testing::text_stream(data));
    });
  };
  EXPECT_EQ(read(std::string("x,y\nx,y\0z\n", 10)), "bad row: 2");
  EXPECT_EQ(read(std::string("x\0,y\n", 5)), "bad row: 1");
  EXPECT_EQ(read(std::string("a\0,\0b\0\n\0", 9)), "bad row: 1");  // UTF-16
  EXPECT_EQ(read("x,y\n"), "no error");
}
