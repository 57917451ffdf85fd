// kelcmd-mpi: kelcmd over the ranks of an MPI job, with kelcmd's command
// line, console, output files and exit statuses. Run as
//   mpirun -n R kelcmd-mpi <metadata> <inputdata> <selectopt> <outputdata> [options]
// Rank 0 runs the program's own run sequence with two parts put in place:
// its inputs are read there and shared with every rank (shared_inputs.hpp),
// and its searches are spread over the ranks (spread_search.hpp). The other
// ranks parse the same inputs and search what rank 0 asks until it says
// finish, with the job's status. Every rank reads the same command line, so
// the usage text and a rejected option end every rank alike; only rank 0
// prints.
#include <signal.h>
#include <unistd.h>

#include <iostream>
#include <string>
#include <vector>

#include "analysis/table/dataset.hpp"
#include "cli.hpp"
#include "console.hpp"
#include "mpi/job.hpp"
#include "mpi/shared_inputs.hpp"
#include "mpi/spread_search.hpp"
#include "run.hpp"
#include "util/heap.hpp"

namespace {

int lead(kelcmd::mpi::job& team, int argc, char* argv[], const kelcmd::command_line& c, bool stdout_closed) {
  const bool runs = c.what == kelcmd::command_line::action::run;
  kelcmd::mpi::shared_inputs inputs(team, runs && c.options.summary_on);
  kelcmd::mpi::spread_searches searches(team);
  kelcmd::console_buffer console(STDOUT_FILENO);
  std::streambuf* const standard = std::cout.rdbuf(&console);
  int status = kelcmd::main_program(argc, argv, std::cout, {&inputs, searches.provider()});
  std::cout.flush();
  std::cout.rdbuf(standard);
  status = kelcmd::console_status(console, stdout_closed, status, "kelcmd-mpi");
  if (runs && inputs.workersListening() && team.ranks() > 1) {
    kelcmd::mpi::header h;
    h.what = kelcmd::mpi::step::finish;
    h.count = static_cast<std::uint64_t>(status);
    team.exchange(h);
  }
  return status;
}

int follow(kelcmd::mpi::job& team, const kelcmd::settings& s) {
  kelcmd::mpi::shared_inputs inputs(team, s.summary_on);
  kel::dataset data;
  try {
    inputs.readMetadata(data, s.metadata, s.separator, nullptr);
    inputs.readData(data, s.data, s.separator, kelcmd::read_threads(kelcmd::engine_settings(s)), nullptr);
    inputs.readSelect(data, s.select, s.separator, nullptr);
  } catch (const kelcmd::mpi::job_over& over) {
    return over.status;
  }
  return kelcmd::mpi::serve(team, data, s);
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool stdout_closed = kelcmd::hold_standard_descriptors();
  // A console or output pipe whose reader has gone is a write error, told
  // and counted like any other, not a silent death by signal.
  signal(SIGPIPE, SIG_IGN);
  // Tables live in the heap; on huge pages they cost far fewer page faults.
  orv::util::use_huge_page_heap(std::size_t{256} << 20);

  kelcmd::mpi::job team(argc, argv);
  const kelcmd::command_line c = kelcmd::parse_command_line(std::vector<std::string>(argv, argv + argc));
  if (team.leads()) return lead(team, argc, argv, c, stdout_closed);
  switch (c.what) {
    case kelcmd::command_line::action::usage:
      return kelcmd::exit_ok;
    case kelcmd::command_line::action::reject:
      return kelcmd::exit_rejected;
    case kelcmd::command_line::action::run:
      break;
  }
  try {
    return follow(team, c.options);
  } catch (...) {
    // Whatever a worker meets outside the exchanges the leader expects
    // (none are known) leaves it unable to follow: end the job rather than
    // leave the leader waiting.
    team.abort(kelcmd::exit_failed);
  }
}
