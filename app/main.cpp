#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>

#include "run.hpp"

namespace {

// A standard descriptor closed by the caller would go to the next file the
// run opens, and console lines could end up inside an output file: keep
// each one open on /dev/null instead. open() takes the lowest free number.
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
}

}  // namespace

int main(int argc, char* argv[]) {
  hold_standard_descriptors();
  return kelcmd::main_program(argc, argv, std::cout);
}
