#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iostream>
#include <string>

#include "console.hpp"
#include "run.hpp"
#include "util/heap.hpp"

namespace {

// A standard descriptor closed by the caller would go to the next file the
// run opens, and console lines could end up inside an output file. Each
// one is held instead by a stand-in that behaves like the closed descriptor:
// stdin by a directory (it cannot be read, and /dev/stdin cannot be opened
// as an input), stdout and stderr by /dev/full (every write fails, so an
// output named /dev/stdout is reported as not written rather than lost).
// open() takes the lowest free number, which is the one being held.
// Answers whether standard output was closed.
bool hold_standard_descriptors() {
  bool stdout_closed = false;
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      fd == 0 ? open("/", O_RDONLY | O_DIRECTORY) : open("/dev/full", O_WRONLY);
      stdout_closed = stdout_closed || fd == 1;
    }
  return stdout_closed;
}

}  // namespace

int main(int argc, char* argv[]) {
  const bool stdout_closed = hold_standard_descriptors();
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
  // Every output file is closed by now, with what it holds. Lost console
  // lines make the run a failure; stderr may still reach the user.
  if (console.failure() != 0) {
    const std::string why = stdout_closed ? "standard output is closed" : std::strerror(console.failure());
    const std::string line = "kelcmd: cannot write the console: " + why + "\n";
    if (write(STDERR_FILENO, line.data(), line.size()) < 0) {
      // Nowhere left to tell it; the status still does.
    }
    if (status == kelcmd::exit_ok) status = kelcmd::exit_failed;
  }
  return status;
}
