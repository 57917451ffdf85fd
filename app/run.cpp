#include "run.hpp"

#include <exception>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "util/cronos.hpp"

namespace kelcmd {

int run(const settings& s, std::ostream& out) {
  (void)s;
  orv::util::cronos watch;
  try {
    watch.start();
    watch.stop();
    out << "reading data elapsed time:  " << watch.elapsed() << " secs." << std::endl;
    watch.start();
    watch.stop();
    out << "other elapsed time:  " << watch.elapsed() << " secs." << std::endl;
  } catch (const std::runtime_error& e) {
    out << e.what() << std::endl;
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
      out << c.message << std::endl;
      return exit_rejected;
    case command_line::action::run:
      break;
  }
  return run(c.options, out);
}

}  // namespace kelcmd
