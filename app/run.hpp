// The run sequence: read the three inputs, split the groups, test every
// protected tuple, write the outputs. The only place that turns errors into
// console messages and exit statuses.
#pragma once

#include <iosfwd>
#include <memory>
#include <stdexcept>
#include <string>

#include "analysis/engine/discrimination.hpp"
#include "analysis/engine/distribution.hpp"
#include "cli.hpp"
#include "summary.hpp"

namespace kel {
class dataset;
}
namespace orv::util {
class sha256;
}

namespace kelcmd {

// Exit statuses of the process.
constexpr int exit_ok = 0;
constexpr int exit_failed = 1;     // an error caught during the run
constexpr int exit_rejected = -1;  // a rejected command line

// How the run reads its three inputs into the dataset. This one opens each
// by name, here; a program whose inputs arrive from elsewhere parses the
// same bytes the same way. With a digest, every byte of the input goes
// through it, in order and to the input's end, and a read that fails past
// what the parse needed still fails the run: the summary names exactly the
// content the results come from. Each call raises the error that ends the
// run.
class input_source {
 public:
  virtual ~input_source();
  // Answers the attribute count.
  virtual unsigned readMetadata(kel::dataset& data, const std::string& name, char separator,
                                orv::util::sha256* digest);
  // Answers the row count; `threads` bounds the parts read at once.
  virtual unsigned readData(kel::dataset& data, const std::string& name, char separator, unsigned threads,
                            orv::util::sha256* digest);
  virtual void readSelect(kel::dataset& data, const std::string& name, char separator, orv::util::sha256* digest);
};

// What a program built on the run sequence may put in place of its own
// parts: where the inputs come from, and who makes the searches (those of
// the placebo runs included).
struct run_parts {
  input_source* inputs = nullptr;  // null: each input by name, here
  kel::search_provider searches;   // empty: the engine's own choice
};

// The engine's settings for a command line; -j absent means every usable core.
kel::test_settings engine_settings(const settings& s);
// The parts the data file is read in at most: the reader's parts beyond the
// cores would only cost memory, each holding its columns until they merge.
unsigned read_threads(const kel::test_settings& t);

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
std::unique_ptr<run_outcome> execute(const settings& s, std::ostream& out, bool whole, const run_parts& parts = {});

// Runs as the program does: the failure's line on the console. Returns the
// exit status.
int run(const settings& s, std::ostream& out, const run_parts& parts = {});

// The cores this process may run on.
unsigned usable_cores();

// The whole program: parse, then print the usage, reject or run.
int main_program(int argc, const char* const argv[], std::ostream& out, const run_parts& parts = {});

}  // namespace kelcmd
