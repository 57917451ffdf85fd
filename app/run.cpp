#include "run.hpp"

#include <sched.h>

#include <algorithm>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <ostream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "analysis/engine/discrimination.hpp"
#include "analysis/engine/distribution.hpp"
#include "analysis/engine/groups.hpp"
#include "analysis/engine/placebo.hpp"
#include "analysis/engine/writer.hpp"
#include "analysis/table/dataset.hpp"
#include "io/iodigest.hpp"
#include "io/open_input.hpp"
#include "io/stream.hpp"
#include "io/textout.hpp"
#include "outputs.hpp"
#include "summary.hpp"
#include "util/cronos.hpp"
#include "util/printable.hpp"
#include "util/sha256.hpp"

namespace kelcmd {

unsigned usable_cores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0 && CPU_COUNT(&set) > 0) return static_cast<unsigned>(CPU_COUNT(&set));
  const unsigned n = std::thread::hardware_concurrency();
  return n == 0 ? 1 : n;
}

input_source::~input_source() = default;

unsigned input_source::readMetadata(kel::dataset& data, const std::string& name, char separator,
                                    orv::util::sha256* digest) {
  const auto in = orv::inpout::open_input(name, separator, digest);
  const unsigned count = data.readMetadata(*in);
  if (digest) orv::inpout::read_rest(*in->connection(), name);
  return count;
}

unsigned input_source::readData(kel::dataset& data, const std::string& name, char separator, unsigned threads,
                                orv::util::sha256* digest) {
  return data.readData(name, separator, threads, kel::dataset::defaultMinPartBytes, digest);
}

void input_source::readSelect(kel::dataset& data, const std::string& name, char separator,
                              orv::util::sha256* digest) {
  const auto in = orv::inpout::open_input(name, separator, digest);
  data.readSelect(*in);
  if (digest) orv::inpout::read_rest(*in->connection(), name);
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
  if (s.index) t.search.method = kel::search_method::index;
  return t;
}

// The reader's parts beyond the cores would only cost memory: each holds
// its own columns until they are merged.
unsigned read_threads(const kel::test_settings& t) { return std::min(t.search.threads, usable_cores()); }

namespace {

#ifdef KEL_WITH_JSON
void write_summary(const run_record& record, orv::inpout::textout& file) {
  file.stream() << summary_json(record);
  file.finish();
}
#else
// -json is refused on the command line of such a build.
void write_summary(const run_record&, orv::inpout::textout&) {}
#endif

// The stages, in their fixed order. Everything they create is released on
// the way out, and an output file keeps what was written to it. `stage`
// says what is being done, for the message of an allocation failure.
//
// No output is opened before every error that can be foreseen has been
// raised: the output names against the inputs and each other, then the
// inputs, then the kinds the search fails on. The metadata output is
// written after the groups are formed (its text does not depend on them),
// and the group counts are printed after it, so the console reads as if it
// came first. The neighbours and summary files are opened with the output
// data file, so that a name that cannot be written fails the run before the
// test rather than after it. With `whole`, the record gets every figure of
// the summary even when no summary file is written. `parts` may put other
// inputs and searches in place of the run's own; the placebo runs search
// through the same provider as the real one.
void run_stages(const settings& s, const run_parts& parts, std::ostream& out, std::string& stage, bool whole,
                run_outcome& result) {
  orv::util::cronos watch;
  kel::distribution& dist = result.histogram;
  const bool summary = s.summary_on || whole;
  // The summary carries the histogram whether or not it is written.
  if (s.distribution_on || summary) dist.configure(-100.0, 100.0, 0.005);

  stage = "checking the output names";
  check_output_names(s);

  run_record& record = result.record;
  record.options = &s;
  // Each input's content goes through a digest only for the summary.
  orv::util::sha256 digests[3];
  const auto digest = [&](int i) { return summary ? &digests[i] : nullptr; };

  input_source here;
  input_source& inputs = parts.inputs ? *parts.inputs : here;

  watch.start();
  kel::dataset data;
  stage = "reading the metadata file " + s.metadata;
  record.attributes = inputs.readMetadata(data, s.metadata, s.separator, digest(0));
  out << "no atts: " << record.attributes << std::endl;
  kel::test_settings test = engine_settings(s);
  test.provider = parts.searches;
  stage = "reading the data file " + s.data;
  record.rows = inputs.readData(data, s.data, s.separator, read_threads(test), digest(1));
  out << "no rows: " << record.rows << std::endl;
  stage = "reading the select-options file " + s.select;
  inputs.readSelect(data, s.select, s.separator, digest(2));
  watch.stop();
  record.readingSeconds = watch.elapsed();
  out << "reading data elapsed time:  " << record.readingSeconds << " secs." << std::endl;

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
  std::optional<orv::inpout::textout> neighbours_file, summary_file;
  std::optional<kel::neighbour_writer> neighbours;
  if (s.neighbours_on) {
    neighbours_file.emplace(s.neighbours_out);
    neighbours.emplace(data, *neighbours_file);
  }
  if (s.summary_on) summary_file.emplace(s.summary_out);
  orv::util::cronos step;
  step.start();
  record.counts = kel::testDiscrimination(data, test, output, dist, out, neighbours ? &*neighbours : nullptr);
  step.stop();
  record.testSeconds = step.elapsed();
  if (s.distribution_on) {
    stage = "writing the distribution file " + s.distribution_out;
    dist.write(s.distribution_out);
  }
  if (s.placebo_runs > 0) {
    stage = "running the placebo tests";
    step.start();
    record.placebo =
        kel::placeboBaseline(data, test, s.seed, s.placebo_runs, {record.counts.classCount, record.counts.discriminated});
    step.stop();
    record.placeboSeconds = step.elapsed();
    out << kel::placeboLine(*record.placebo) << std::endl;
  }
  watch.stop();
  record.otherSeconds = watch.elapsed();
  out << "other elapsed time:  " << record.otherSeconds << " secs." << std::endl;

  if (summary) {
    if (s.summary_on) stage = "writing the summary file " + s.summary_out;
    record.threads = test.search.threads;
    const auto name = [](const std::string& n, orv::util::sha256& d) {
      return input_record{n, d.size(), orv::util::sha256::to_hex(d.finish())};
    };
    record.metadata = name(s.metadata, digests[0]);
    record.data = name(s.data, digests[1]);
    record.select = name(s.select, digests[2]);
    record.groups = kel::groupFigures(data);
    record.histogram = &dist;
  }
  if (s.summary_on) write_summary(record, *summary_file);
}

}  // namespace

std::unique_ptr<run_outcome> execute(const settings& s, std::ostream& out, bool whole, const run_parts& parts) {
  std::string stage = "starting the run";
  std::unique_ptr<run_outcome> result;
  try {
    result = std::make_unique<run_outcome>();
    run_stages(s, parts, out, stage, whole, *result);
  } catch (const std::bad_alloc&) {
    // A table too big for the memory: say so, and where, rather than
    // halting on a generic error.
    throw run_failure(orv::util::printable_message("out of memory while " + stage));
  } catch (const std::runtime_error& e) {
    // The message may quote a field, a line or a name from the user's files.
    throw run_failure(orv::util::printable_message(e.what()));
  } catch (...) {
    throw run_failure("Halting on generic error.");
  }
  return result;
}

int run(const settings& s, std::ostream& out, const run_parts& parts) {
  try {
    execute(s, out, false, parts);
  } catch (const run_failure& e) {
    out << e.what() << std::endl;
    return exit_failed;
  }
  return exit_ok;
}

int main_program(int argc, const char* const argv[], std::ostream& out, const run_parts& parts) {
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
  return run(c.options, out, parts);
}

}  // namespace kelcmd
