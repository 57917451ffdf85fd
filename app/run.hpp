// The run sequence: read the three inputs, split the groups, test every
// protected tuple, write the outputs. The only place that turns errors into
// console messages and exit statuses.
#pragma once

#include <iosfwd>
#include <memory>
#include <stdexcept>

#include "analysis/engine/distribution.hpp"
#include "cli.hpp"
#include "summary.hpp"

namespace kelcmd {

// Exit statuses of the process.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;     // an error caught during the run
constexpr int exit_rejected = -1;  // a rejected command line

// A run that failed; what() is the line the console shows for it.
class run_failure : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// What a run leaves besides its files: the figures of the summary.
struct run_outcome {
  kel::distribution histogram;
  run_record record;  // record.histogram points at histogram; options at the settings run
};

// Runs the stages with the given settings, writing the console lines to out.
// With `whole`, the record holds every figure of the summary (input digests,
// group figures, histogram) whether or not -json asked for the file.
// Throws run_failure.
std::unique_ptr<run_outcome> execute(const settings& s, std::ostream& out, bool whole);

// Runs as the program does: the failure's line on the console. Returns the
// exit status.
int run(const settings& s, std::ostream& out);

// The cores this process may run on.
unsigned usable_cores();

// The whole program: parse, then print the usage, reject or run.
int main_program(int argc, const char* const argv[], std::ostream& out);

}  // namespace kelcmd
