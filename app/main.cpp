#include <signal.h>
#include <unistd.h>

#include <iostream>

#include "console.hpp"
#include "run.hpp"
#include "util/heap.hpp"

int main(int argc, char* argv[]) {
  const bool stdout_closed = kelcmd::hold_standard_descriptors();
  // A console or output pipe whose reader has gone is a write error, told
  // and counted like any other, not a silent death by signal.
  signal(SIGPIPE, SIG_IGN);
  // Tables live in the heap; on huge pages they cost far fewer page faults.
  orv::util::use_huge_page_heap(std::size_t{256} << 20);

  kelcmd::console_buffer console(STDOUT_FILENO);
  std::streambuf* const standard = std::cout.rdbuf(&console);
  int status = kelcmd::main_program(argc, argv, std::cout);
  std::cout.flush();
  std::cout.rdbuf(standard);
  // Every output file is closed by now, with what it holds.
  return kelcmd::console_status(console, stdout_closed, status, "kelcmd");
}
