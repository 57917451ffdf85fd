// The command line: four file names, then options. Parsing is a pure function
// of the arguments so that it can be tested without running anything.
#pragma once

#include <cfloat>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

namespace kelcmd {

struct settings {
  std::string metadata;
  std::string data;
  std::string select;
  std::string output;
  char separator = ',';
  unsigned k = 2;
  float max_distance = FLT_MAX;
  double threshold = 0.1;
  bool confidence = false;
  double z = 0.0;
  long confidence_level = 0;  // the -cl level that gave z
  bool metadata_out_given = false;
  std::string metadata_out;
  bool distribution_on = false;  // -dst switches the histogram on
  std::string distribution_out;
  bool all = false;
  bool prevention = false;
  unsigned threads = 0;    // worker threads of the search; 0: every core the process may use
  bool reference = false;  // the straightforward per-pair search (benchmarks and checks)
  bool scan = false;       // the exhaustive vectorised search, never the index (benchmarks and checks)
  bool index = false;      // the index for every run, however small (tests)
  bool neighbours_on = false;  // -nbr
  std::string neighbours_out;
  bool summary_on = false;  // -json
  std::string summary_out;
  unsigned placebo_runs = 0;  // -perm
  std::uint32_t seed = 1;     // -seed
};

// Whether this build writes JSON summaries; -json is refused otherwise.
bool json_supported();

// The most placebo runs -perm accepts.
constexpr unsigned max_placebo_runs = 1000000;

struct command_line {
  enum class action { run, usage, reject };
  action what = action::usage;
  settings options;
  std::string message;  // the rejection message for action::reject
};

command_line parse_command_line(const std::vector<std::string>& args);

// The usage text, every line ended by a newline.
void print_usage(std::ostream& out);

}  // namespace kelcmd
