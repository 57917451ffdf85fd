// The command line of kel-import, parsed by a pure function so that it can be
// tested without running anything.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

#include "import.hpp"

namespace kelimport {

// Exit statuses, as kelcmd's.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;     // an error during the run, or hazards found
constexpr int exit_rejected = -1;  // a rejected command line

struct command_line {
  enum class action { usage, reject, import, check };
  action what = action::usage;
  import_options import;
  // --check: the three inputs and the data file's separator.
  std::string metadata, data, select;
  std::string message;  // why the command line was rejected
};

command_line parse_command_line(const std::vector<std::string>& args);

void print_usage(std::ostream& out);

}  // namespace kelimport
