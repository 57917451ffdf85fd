#include <gtest/gtest.h>

#include <cfloat>
#include <sstream>

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

TEST(command_line, fewer_than_four_names_is_usage) {
  EXPECT_EQ(parse_command_line({"kelcmd", "a", "b", "c"}).what, command_line::action::usage);
  EXPECT_EQ(parse_command_line({"kelcmd"}).what, command_line::action::usage);
}

TEST(command_line, defaults) {
  const auto s = accepted({});
  EXPECT_EQ(s.metadata, "m");
  EXPECT_EQ(s.data, "d");
  EXPECT_EQ(s.select, "s");
  EXPECT_EQ(s.output, "o");
  EXPECT_EQ(s.separator, ',');
  EXPECT_EQ(s.k, 2u);
  EXPECT_EQ(s.max_distance, FLT_MAX);
  EXPECT_EQ(s.threshold, 0.1);
  EXPECT_FALSE(s.confidence);
  EXPECT_FALSE(s.metadata_out_given);
  EXPECT_FALSE(s.distribution_on);
  EXPECT_FALSE(s.all);
  EXPECT_FALSE(s.prevention);
}

TEST(command_line, options_before_the_names_are_names) {
  const auto c = parse_command_line({"kelcmd", "-knn", "3", "-all", "x"});
  ASSERT_EQ(c.what, command_line::action::run);
  EXPECT_EQ(c.options.metadata, "-knn");
  EXPECT_EQ(c.options.output, "x");
  EXPECT_EQ(c.options.k, 2u);
}

TEST(command_line, knn) {
  EXPECT_EQ(accepted({"-knn", "0"}).k, 1u);
  EXPECT_EQ(accepted({"-knn", "3"}).k, 3u);
  EXPECT_EQ(accepted({"-knn", "3", "-knn", "5"}).k, 5u);
  EXPECT_EQ(accepted({"-knn", "4294967295"}).k, 4294967295u);
  EXPECT_EQ(rejected({"-knn", "x"}), "x: _not an int");
  EXPECT_EQ(rejected({"-knn", "-2"}), "str2int:: a negative number provided.");
  EXPECT_EQ(rejected({"-knn", "4294967296"}), "str2int:: overflow");
}

TEST(command_line, max_distance) {
  EXPECT_EQ(accepted({"-mxd", "0"}).max_distance, 0.0f);
  EXPECT_EQ(accepted({"-mxd", "0.1"}).max_distance, 0.1f);
  EXPECT_EQ(accepted({"-mxd", "2abc"}).max_distance, 2.0f);
  EXPECT_EQ(accepted({"-mxd", "abc"}).max_distance, 0.0f);
  EXPECT_EQ(rejected({"-mxd", "-1"}), "Max distance must be greater than 0");
  EXPECT_EQ(rejected({"-mxd", "-1e-9"}), "Max distance must be greater than 0");
}

TEST(command_line, threshold_is_rounded_to_single_precision) {
  EXPECT_EQ(accepted({"-thr", "0.1"}).threshold, 0.10000000149011612);
  EXPECT_EQ(accepted({"-thr", "0.5"}).threshold, 0.5);
  EXPECT_EQ(accepted({"-thr", "-0.25"}).threshold, -0.25);
  EXPECT_EQ(accepted({"-thr", " 1e-1x"}).threshold, 0.10000000149011612);
  EXPECT_EQ(accepted({"-thr", "0x10"}).threshold, 0.0);  // decimal only
}

TEST(command_line, confidence_levels) {
  auto s = accepted({"-cl", "90"});
  EXPECT_TRUE(s.confidence);
  EXPECT_EQ(s.z, 1.281551566);
  EXPECT_EQ(accepted({"-cl", "95"}).z, 1.644853627);
  EXPECT_EQ(accepted({"-cl", "99"}).z, 2.326347874);
  EXPECT_EQ(accepted({"-cl", "97.9"}).z, 1.880793608);
  EXPECT_EQ(rejected({"-cl", "94"}), "Confidence level must be in [95,99]");
  EXPECT_EQ(rejected({"-cl", "100"}), "Confidence level must be in [95,99]");
  EXPECT_EQ(rejected({"-cl", "x"}), "Confidence level must be in [95,99]");
}

TEST(command_line, files_flags_and_separator) {
  const auto s = accepted({"-sep", ";x", "-md", "meta.out", "-dst", "d.txt", "-all", "-pre", "-all"});
  EXPECT_EQ(s.separator, ';');
  EXPECT_TRUE(s.metadata_out_given);
  EXPECT_EQ(s.metadata_out, "meta.out");
  EXPECT_TRUE(s.distribution_on);
  EXPECT_EQ(s.distribution_out, "d.txt");
  EXPECT_TRUE(s.all);
  EXPECT_TRUE(s.prevention);
}

TEST(command_line, rejections) {
  EXPECT_EQ(rejected({"-knm", "3"}), "Unknown command: -knm");
  EXPECT_EQ(rejected({"-ALL"}), "Unknown command: -ALL");
  EXPECT_EQ(rejected({"-sep", ""}), "Option -sep needs a non-empty separator");
  for (const char* option : {"-knn", "-sep", "-mxd", "-thr", "-cl", "-md", "-dst", "-j"})
    EXPECT_EQ(rejected({"-all", option}), std::string("Option ") + option + " needs a value");
  // The first rejection wins; later arguments are not looked at.
  EXPECT_EQ(rejected({"-bad", "-mxd", "-1"}), "Unknown command: -bad");
}

TEST(command_line, worker_threads) {
  EXPECT_EQ(accepted({}).threads, 0u);
  EXPECT_EQ(accepted({"-j", "1"}).threads, 1u);
  EXPECT_EQ(accepted({"-j", "8", "-j", "3"}).threads, 3u);
  EXPECT_EQ(rejected({"-j", "0"}), "Worker threads must be between 1 and 1024");
  EXPECT_EQ(rejected({"-j", "5000"}), "Worker threads must be between 1 and 1024");
  EXPECT_EQ(rejected({"-j", "two"}), "two: _not an int");
  EXPECT_TRUE(accepted({"-reference"}).reference);
}

TEST(command_line, usage_text) {
  std::ostringstream out;
  kelcmd::print_usage(out);
  EXPECT_EQ(out.str(),
            "Command line: kelcmd <metadata> <inputdata> <selectopt> <outputdata> [options]\n"
            "Options\n"
            "  -sep <c>    column separator in files (default ',')\n"
            "  -knn <n>    k value in kNN (default 2)\n"
            "  -mxd <d>    max distance in kNN (default infty)\n"
            "  -thr <d>    diff() threshold (default 0.10)\n"
            "  -cl <d>     confidence level (default 95)\n"
            "  -md <file>  output metadata to <file>\n"
            "  -dst <file> output distribution to <file>\n"
            "  -all        output rows for all c-cond\n"
            "  -pre        output for discrimination prevention\n"
            "  -j <n>      worker threads (default: all cores)\n"
            "\n"
            "(*) .gz files are automatically gunzipped.\n");
}
