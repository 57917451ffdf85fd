#include <gtest/gtest.h>

#include "util/cronos.hpp"

TEST(cronos, measures_from_the_latest_start) {
  orv::util::cronos c;
  EXPECT_EQ(c.elapsed(), 0.0);
  EXPECT_EQ(c.cpu_elapsed(), 0.0);
  c.start();
  c.stop();
  EXPECT_GE(c.elapsed(), 0.0);
  EXPECT_LT(c.elapsed(), 1.0);
  EXPECT_GE(c.cpu_elapsed(), 0.0);
}
