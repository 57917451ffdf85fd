#include "run.hpp"

#include <sched.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "analysis/engine/discrimination.hpp"
#include "analysis/engine/distribution.hpp"
#include "analysis/table/dataset.hpp"
#include "io/textout.hpp"
#include "io/open_input.hpp"
#include "io/stream.hpp"
#include "outputs.hpp"
#include "util/cronos.hpp"
#include "util/printable.hpp"

namespace kelcmd {

namespace {

// The cores this process may run on.
unsigned usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

kel::test_settings engine_settings(const settings& s) {
  kel::test_settings t;
  t.search.k = s.k;
  t.search.maxDistance = s.max_distance;
  t.search.threads = s.threads == 0 ? usable_cores() : s.threads;
  t.threshold = s.threshold;
  t.all = s.all;
  t.pre = s.prevention;
  t.useConfidence = s.confidence;
  t.z = s.z;
  t.reference = s.reference;
  if (s.scan) t.search.method = kel::search_method::scan;
  return t;
}

// The stages, in their fixed order. Everything they create is released on
// the way out, and an output file keeps what was written to it. `stage`
// says what is being done, for the message of an allocation failure.
//
// No output is opened before every error that can be foreseen has been
// raised: the output names against the inputs and each other, then the
// inputs, then the kinds the search fails on. The metadata output is
// written after the groups are formed (its text does not depend on them),
// and the group counts are printed after it, so the console reads as if it
// came first.
void run_stages(const settings& s, std::ostream& out, std::string& stage) {
  orv::util::cronos watch;
  kel::distribution dist;
  if (s.distribution_on) dist.configure(-100.0, 100.0, 0.005);

  stage = "checking the output names";
  check_output_names(s);

  watch.start();
  kel::dataset data;
  {
    stage = "reading the metadata file " + s.metadata;
    const auto in = orv::inpout::open_input(s.metadata, s.separator);
    const unsigned count = data.readMetadata(*in);
    out << "no atts: " << count << std::endl;
  }
  const kel::test_settings test = engine_settings(s);
  {
    stage = "reading the data file " + s.data;
    // The reader's parts beyond the cores would only cost memory: each
    // holds its own columns until they are merged.
    const unsigned count = data.readData(s.data, s.separator, std::min(test.search.threads, usable_cores()));
    out << "no rows: " << count << std::endl;
  }
  {
    stage = "reading the select-options file " + s.select;
    const auto in = orv::inpout::open_input(s.select, s.separator);
    data.readSelect(*in);
  }
  watch.stop();
  out << "reading data elapsed time:  " << watch.elapsed() << " secs." << std::endl;

  watch.start();
  stage = "forming the groups";
  std::ostringstream groups;
  data.splitGroups(groups);
  {
    std::ostringstream progress;
    try {
      kel::checkSearchKinds(data, test, progress);
    } catch (...) {
      out << groups.str() << progress.str() << std::flush;
      throw;
    }
  }
  if (s.metadata_out_given) {
    stage = "writing the metadata file " + s.metadata_out;
    orv::inpout::textout metadata(s.metadata_out);
    data.writeMetadata(metadata);
  }
  out << groups.str() << std::flush;
  stage = "testing for discrimination";
  orv::inpout::textout output(s.output);
  kel::testDiscrimination(data, test, output, dist, out);
  stage = "writing the distribution file " + s.distribution_out;
  dist.write(s.distribution_out);
  watch.stop();
  out << "other elapsed time:  " << watch.elapsed() << " secs." << std::endl;
}

}  // namespace

int run(const settings& s, std::ostream& out) {
  std::string stage = "starting the run";
  try {
    run_stages(s, out, stage);
  } catch (const std::bad_alloc&) {
    // A table too big for the memory: say so, and where, rather than
    // halting on a generic error.
    out << orv::util::printable_message("out of memory while " + stage) << std::endl;
    return exit_failed;
  } catch (const std::runtime_error& e) {
    // The message may quote a field, a line or a name from the user's files.
    out << orv::util::printable_message(e.what()) << std::endl;
    return exit_failed;
  } catch (...) {
    out << "Halting on generic error." << std::endl;
    return exit_failed;
  }
  return exit_ok;
}

int main_program(int argc, const char* const argv[], std::ostream& out) {
  std::vector<std::string> args(argv, argv + argc);
  const command_line c = parse_command_line(args);
  switch (c.what) {
    case command_line::action::usage:
      print_usage(out);
      return exit_ok;
    case command_line::action::reject:
      out << orv::util::printable_message(c.message) << std::endl;
      return exit_rejected;
    case command_line::action::run:
      break;
  }
  return run(c.options, out);
}

}  // namespace kelcmd
