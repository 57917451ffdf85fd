// kel-import: from a headered CSV file or a database query to the three
// inputs of kelcmd, and the check of existing inputs.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <iostream>
#include <new>
#include <stdexcept>

#include "check.hpp"
#include "import.hpp"
#include "options.hpp"

namespace {

// A closed standard descriptor would be taken by the next file opened, and
// console lines would land in an output table. Hold each with a stand-in
// that fails like the closed one.
void hold_standard_descriptors() {
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF)
      fd == 0 ? open("/", O_RDONLY | O_DIRECTORY) : open("/dev/full", O_WRONLY);
}

int run(const kelimport::command_line& c) {
  using kelimport::command_line;
  if (c.what == command_line::action::check) {
    const auto hazards =
        kelimport::check_inputs(c.metadata, c.data, c.select, c.import.separator, std::cout);
    return hazards == 0 ? kelimport::exit_ok : kelimport::exit_failed;
  }
  const auto source = c.import.db.empty() ? kelimport::open_csv(c.import) : kelimport::open_query(c.import);
  kelimport::import_table(*source, c.import, std::cout, std::cerr);
  return kelimport::exit_ok;
}

}  // namespace

int main(int argc, char* argv[]) {
  hold_standard_descriptors();
  const kelimport::command_line c = kelimport::parse_command_line(std::vector<std::string>(argv, argv + argc));
  switch (c.what) {
    case kelimport::command_line::action::usage:
      kelimport::print_usage(std::cout);
      return kelimport::exit_ok;
    case kelimport::command_line::action::reject:
      std::cerr << c.message << std::endl;
      return kelimport::exit_rejected;
    default:
      break;
  }
  int status;
  try {
    status = run(c);
  } catch (const std::bad_alloc&) {
    std::cerr << "out of memory" << std::endl;
    return kelimport::exit_failed;
  } catch (const std::exception& e) {
    std::cerr << e.what() << std::endl;
    return kelimport::exit_failed;
  }
  // A report nobody could read is no success.
  if (!std::cout.flush()) {
    std::cerr << "cannot write to standard output" << std::endl;
    return kelimport::exit_failed;
  }
  return status;
}
