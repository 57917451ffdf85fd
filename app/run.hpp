// The run sequence: read the three inputs, split the groups, test every
// protected tuple, write the outputs. The only place that turns errors into
// console messages and exit statuses.
#pragma once

#include <iosfwd>
#include <string>

#include "analysis/engine/discrimination.hpp"
#include "cli.hpp"

namespace kel {
class dataset;
}

namespace kelcmd {

// Exit statuses of the process.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;     // an error caught during the run
constexpr int exit_rejected = -1;  // a rejected command line

// How the run reads its three inputs into the dataset. This one opens each
// by name, here; a program whose inputs arrive from elsewhere parses the
// same bytes the same way. Each call raises the error that ends the run.
class input_source {
 public:
  virtual ~input_source();
  // Answers the attribute count.
  virtual unsigned readMetadata(kel::dataset& data, const std::string& name, char separator);
  // Answers the row count; `threads` bounds the parts read at once.
  virtual unsigned readData(kel::dataset& data, const std::string& name, char separator, unsigned threads);
  virtual void readSelect(kel::dataset& data, const std::string& name, char separator);
};

// What a program built on the run sequence may put in place of its own
// parts: where the inputs come from, and who makes the searches.
struct run_parts {
  input_source* inputs = nullptr;  // null: each input by name, here
  kel::search_provider searches;   // empty: the engine's own choice
};

// The cores this process may run on.
unsigned usable_cores();
// The engine's settings for a command line; -j absent means every usable core.
kel::test_settings engine_settings(const settings& s);
// The parts the data file is read in at most: the reader's parts beyond the
// cores would only cost memory, each holding its columns until they merge.
unsigned read_threads(const kel::test_settings& t);

// Runs the stages with the given settings, writing the console lines to out.
// Returns the exit status.
int run(const settings& s, std::ostream& out, const run_parts& parts = {});

// The whole program: parse, then print the usage, reject or run.
int main_program(int argc, const char* const argv[], std::ostream& out, const run_parts& parts = {});

}  // namespace kelcmd
