// The run sequence: read the three inputs, split the groups, test every
// protected tuple, write the outputs. The only place that turns errors into
// console messages and exit statuses.
#pragma once

#include <iosfwd>

#include "cli.hpp"

namespace kelcmd {

// Exit statuses of the process.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;     // an error caught during the run
constexpr int exit_rejected = -1;  // a rejected command line

// Runs the stages with the given settings, writing the console lines to out.
// Returns the exit status.
int run(const settings& s, std::ostream& out);

// The whole program: parse, then print the usage, reject or run.
int main_program(int argc, const char* const argv[], std::ostream& out);

}  // namespace kelcmd
