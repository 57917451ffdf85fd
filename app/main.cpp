#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

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
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
      fd == 0 ? open("/", O_RDONLY | O_DIRECTORY) : open("/dev/full", O_WRONLY);
}

}  // namespace

int main(int argc, char* argv[]) {
  hold_standard_descriptors();
  // Tables live in the heap; on huge pages they cost far fewer page faults.
  orv::util::use_huge_page_heap(std::size_t{256} << 20);
  return kelcmd::main_program(argc, argv, std::cout);
}
