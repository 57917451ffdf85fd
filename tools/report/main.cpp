// kel-report: one self-contained HTML page from a kelcmd run's JSON summary,
// its neighbours file and the three inputs it read.
#include <sys/stat.h>

#include <iostream>
#include <new>
#include <string>
#include <vector>

#include "html.hpp"
#include "inputs.hpp"
#include "io/textout.hpp"
#include "util/error.hpp"
#include "util/printable.hpp"

namespace {

constexpr int exit_ok = 0, exit_failed = 1, exit_rejected = -1;

void usage(std::ostream& out) {
  out << "Command line: kel-report --summary <file> --neighbours <file> --out <report.html> <metadata> <inputdata> "
         "<selectopt>\n"
         "Options\n"
         "  --summary <file>    the summary that kelcmd -json wrote\n"
         "  --neighbours <file> the neighbours file that kelcmd -nbr wrote in the same run\n"
         "  --out <file>        the HTML page to write\n"
         "The three inputs are those of the run; their SHA-256 must match the summary's.\n"
         "\n"
         "(*) .gz files are automatically gunzipped.\n";
  out.flush();
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat x, y;
  return stat(a.c_str(), &x) == 0 && stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

}  // namespace

int main(int argc, char* argv[]) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty() || args[0] == "-h" || args[0] == "--help") {
    usage(std::cout);
    return exit_ok;
  }
  kelreport::report_inputs in;
  std::string out;
  std::vector<std::string> files;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    std::string* target = a == "--summary" ? &in.summary : a == "--neighbours" ? &in.neighbours : a == "--out" ? &out : nullptr;
    if (target) {
      if (i + 1 == args.size() || args[i + 1].empty()) {
        std::cerr << "kel-report: " << a << " needs a file name" << std::endl;
        return exit_rejected;
      }
      if (!target->empty()) {
        std::cerr << "kel-report: " << a << " given twice" << std::endl;
        return exit_rejected;
      }
      *target = args[++i];
    } else if (a.size() > 1 && a[0] == '-') {
      std::cerr << orv::util::printable_message("kel-report: unknown option " + a) << std::endl;
      return exit_rejected;
    } else {
      files.push_back(a);
    }
  }
  if (in.summary.empty() || in.neighbours.empty() || out.empty() || files.size() != 3) {
    std::cerr << "kel-report: needs --summary, --neighbours, --out and the three input files" << std::endl;
    usage(std::cerr);
    return exit_rejected;
  }
  in.metadata = files[0];
  in.data = files[1];
  in.select = files[2];
  // The page replaces what the name holds: never one of the files it is made from.
  for (const std::string& input : {in.summary, in.neighbours, in.metadata, in.data, in.select}) {
    if (out == input || same_file(out, input)) {
      std::cerr << orv::util::printable_message("kel-report: the report " + out + " would overwrite the input " + input)
                << std::endl;
      return exit_failed;
    }
  }
  try {
    const kelreport::report r = kelreport::gather(in);
    const std::string page = kelreport::build_html(r);
    orv::inpout::textout file(out);
    file.stream().write(page.data(), static_cast<std::streamsize>(page.size()));
    file.finish();
    std::cout << orv::util::printable_message("report: " + out + ", " + std::to_string(r.flaggedTotal) +
                                              " flagged tuples, " + std::to_string(r.flagged.size()) + " shown")
              << std::endl;
  } catch (const std::bad_alloc&) {
    std::cerr << "kel-report: out of memory" << std::endl;
    return exit_failed;
  } catch (const std::exception& e) {
    std::cerr << orv::util::printable_message(std::string("kel-report: ") + e.what()) << std::endl;
    return exit_failed;
  }
  return exit_ok;
}
