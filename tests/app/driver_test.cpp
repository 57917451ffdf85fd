// The real binary: exit statuses and console lines, byte for byte.
#include <gtest/gtest.h>

#include "run_binary.hpp"

using kelcmd::testing::run_kelcmd;
using kelcmd::testing::scratch;

TEST(driver, usage_with_fewer_than_four_names) {
  scratch dir;
  const auto r = run_kelcmd(dir, {"a", "b", "c"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out.substr(0, 13), "Command line:");
  const std::string tail = "Options\n";
  EXPECT_NE(r.out.find(tail), std::string::npos);
  EXPECT_TRUE(r.out.ends_with("\n\n(*) .gz files are automatically gunzipped.\n"));
  EXPECT_FALSE(dir.exists("c"));
}

TEST(driver, rejected_options_exit_255_and_open_nothing) {
  scratch dir;
  const struct {
    std::vector<std::string> options;
    std::string message;
  } cases[] = {
      {{"-foo"}, "Unknown command: -foo\n"},
      {{"-mxd", "-1"}, "Max distance must be greater than 0\n"},
      {{"-cl", "94"}, "Confidence level must be in [95,99]\n"},
      {{"-knn", "3x"}, "3x: _not an int\n"},
      {{"-knn"}, "Option -knn needs a value\n"},
      {{"-sep", ""}, "Option -sep needs a non-empty separator\n"},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args{"m", "d", "s", "out.csv", "-md", "meta.out"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const auto r = run_kelcmd(dir, args);
    EXPECT_EQ(r.status, 255) << c.message;
    EXPECT_EQ(r.out, c.message);
    EXPECT_FALSE(dir.exists("out.csv"));
    EXPECT_FALSE(dir.exists("meta.out"));
  }
}
