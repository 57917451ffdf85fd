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
