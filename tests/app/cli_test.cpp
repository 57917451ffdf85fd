// Command-line parsing; the usage text and the console side of rejections
// are checked on the real binary in golden_test.
#include <gtest/gtest.h>

#include "cli.hpp"

using kelcmd::command_line;
using kelcmd::parse_command_line;

namespace {

command_line parse(std::vector<std::string> options) {
  std::vector<std::string> args{"kelcmd", "m", "d", "s", "o"};
  args.insert(args.end(), options.begin(), options.end());
  return parse_command_line(args);
}

kelcmd::settings accepted(std::vector<std::string> options) {
  const command_line c = parse(std::move(options));
  EXPECT_EQ(c.what, command_line::action::run) << c.message;
  return c.options;
}

std::string rejected(std::vector<std::string> options) {
  const command_line c = parse(std::move(options));
  EXPECT_EQ(c.what, command_line::action::reject);
  return c.message;
}

}  // namespace

TEST(command_line, names_and_defaults) {
  EXPECT_EQ(parse_command_line({"kelcmd"}).what, command_line::action::usage);
  // Options before the four names are names.
  const auto c = parse_command_line({"kelcmd", "-knn", "3", "-all", "x"});
  ASSERT_EQ(c.what, command_line::action::run);
  EXPECT_EQ(c.options.metadata, "-knn");
  EXPECT_EQ(c.options.output, "x");
  EXPECT_EQ(c.options.k, 2u);

  // The default threshold is the double 0.1, not a value rounded to single
  // precision like a given one: a diff of exactly 0.1 reaches it.
  EXPECT_EQ(accepted({}).threshold, 0.1);
}

TEST(command_line, option_values) {
  EXPECT_EQ(accepted({"-knn", "0"}).k, 1u);
  EXPECT_EQ(accepted({"-knn", "3", "-knn", "5"}).k, 5u);  // the last one counts
  EXPECT_EQ(accepted({"-knn", "4294967295"}).k, 4294967295u);
  EXPECT_EQ(accepted({"-mxd", "0"}).max_distance, 0.0f);
  EXPECT_EQ(accepted({"-mxd", "0.1"}).max_distance, 0.1f);
  EXPECT_EQ(accepted({"-mxd", "2abc"}).max_distance, 2.0f);
  EXPECT_EQ(accepted({"-mxd", "abc"}).max_distance, 0.0f);
  // The threshold is rounded to single precision; decimal only.
  EXPECT_EQ(accepted({"-thr", "0.1"}).threshold, 0.10000000149011612);
  EXPECT_EQ(accepted({"-thr", "-0.25"}).threshold, -0.25);
  EXPECT_EQ(accepted({"-thr", " 1e-1x"}).threshold, 0.10000000149011612);
  EXPECT_EQ(accepted({"-thr", "0x10"}).threshold, 0.0);
  EXPECT_EQ(accepted({"-cl", "90"}).z, 1.281551566);
  EXPECT_EQ(accepted({"-cl", "95"}).z, 1.644853627);
  EXPECT_EQ(accepted({"-cl", "99"}).z, 2.326347874);
  EXPECT_EQ(accepted({"-cl", "97.9"}).z, 1.880793608);
  EXPECT_EQ(accepted({"-j", "8", "-j", "3"}).threads, 3u);
  EXPECT_TRUE(accepted({"-reference"}).reference);
  EXPECT_TRUE(accepted({"-scan"}).scan);
  EXPECT_FALSE(accepted({}).scan);
  EXPECT_TRUE(accepted({"-index"}).index);
  EXPECT_FALSE(accepted({"-index", "-scan"}).index);  // the last one holds
  EXPECT_TRUE(accepted({"-scan", "-index"}).index);
  EXPECT_EQ(accepted({"-sep", ";x"}).separator, ';');
  EXPECT_EQ(accepted({"-cl", "97.9"}).confidence_level, 97);
}

TEST(command_line, evidence_options) {
  const kelcmd::settings none = accepted({});
  EXPECT_FALSE(none.neighbours_on);
  EXPECT_FALSE(none.summary_on);
  EXPECT_EQ(none.placebo_runs, 0u);
  EXPECT_EQ(none.seed, 1u);
  const kelcmd::settings s = accepted({"-nbr", "n.csv", "-perm", "100", "-seed", "4294967295", "-perm", "0"});
  EXPECT_TRUE(s.neighbours_on);
  EXPECT_EQ(s.neighbours_out, "n.csv");
  EXPECT_EQ(s.placebo_runs, 0u);  // the last one counts
  EXPECT_EQ(s.seed, 4294967295u);
  EXPECT_EQ(accepted({"-perm", "1000000"}).placebo_runs, 1000000u);
  EXPECT_EQ(rejected({"-perm", "1000001"}), "Placebo runs must be between 0 and 1000000");
  EXPECT_EQ(rejected({"-perm", "-1"}), "str2int:: a negative number provided.");
  EXPECT_EQ(rejected({"-seed", "4294967296"}), "str2int:: overflow");
  EXPECT_EQ(rejected({"-seed", "1.5"}), "1.5: _not an int");
  if (kelcmd::json_supported()) {
    const kelcmd::settings j = accepted({"-json", "s.json"});
    EXPECT_TRUE(j.summary_on);
    EXPECT_EQ(j.summary_out, "s.json");
  } else {
    EXPECT_EQ(rejected({"-json", "s.json"}), "Option -json needs a kelcmd built with JSON support");
  }
}

TEST(command_line, rejections) {
  EXPECT_EQ(rejected({"-knn", "-2"}), "str2int:: a negative number provided.");
  EXPECT_EQ(rejected({"-knn", "4294967296"}), "str2int:: overflow");
  EXPECT_EQ(rejected({"-mxd", "-1e-9"}), "Max distance must be greater than 0");
  EXPECT_EQ(rejected({"-cl", "100"}), "Confidence level must be in [95,99]");
  EXPECT_EQ(rejected({"-cl", "x"}), "Confidence level must be in [95,99]");
  EXPECT_EQ(rejected({"-j", "0"}), "Worker threads must be between 1 and 1024");
  EXPECT_EQ(rejected({"-j", "5000"}), "Worker threads must be between 1 and 1024");
  EXPECT_EQ(rejected({"-j", "two"}), "two: _not an int");
  EXPECT_EQ(rejected({"-knm", "3"}), "Unknown command: -knm");
  EXPECT_EQ(rejected({"-ALL"}), "Unknown command: -ALL");
  EXPECT_EQ(rejected({"-bad", "-mxd", "-1"}), "Unknown command: -bad");  // the first rejection wins
  for (const char* option : {"-knn", "-sep", "-mxd", "-thr", "-cl", "-md", "-dst", "-j", "-nbr", "-json", "-perm", "-seed"})
    EXPECT_EQ(rejected({"-all", option}), std::string("Option ") + option + " needs a value");
}
