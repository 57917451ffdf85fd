#include "cli.hpp"

#include <cctype>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ostream>

#include "util/error.hpp"
#include "util/str2int.hpp"

namespace kelcmd {

namespace {

// The leading decimal number of a text, as the C library reads it (leading
// white space, sign, digits, fraction, exponent), 0 when there is none.
// Hexadecimal and "nan" are not numbers here; "inf"/"infinity" are.
double leading_decimal(const std::string& text) {
  const char* p = text.c_str();
  while (std::isspace(static_cast<unsigned char>(*p))) ++p;
  const char* begin = p;
  if (*p == '+' || *p == '-') ++p;
  if (strncasecmp(p, "inf", 3) == 0) return *begin == '-' ? -HUGE_VAL : HUGE_VAL;
  const char* digits = p;
  while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  if (*p == '.') {
    ++p;
    while (std::isdigit(static_cast<unsigned char>(*p))) ++p;
  }
  if (p == digits || (p == digits + 1 && *digits == '.')) return 0.0;
  if (*p == 'e' || *p == 'E') {
    const char* e = p + 1;
    if (*e == '+' || *e == '-') ++e;
    if (std::isdigit(static_cast<unsigned char>(*e))) {
      while (std::isdigit(static_cast<unsigned char>(*e))) ++e;
      p = e;
    }
  }
  return std::strtod(std::string(begin, p).c_str(), nullptr);
}

// The leading decimal integer (atoi's rule); strtol saturates where atoi
// would overflow.
long leading_integer(const std::string& text) { return std::strtol(text.c_str(), nullptr, 10); }

struct confidence_level {
  long level;
  double z;
};

// One-sided upper quantiles of the standard normal distribution.
constexpr confidence_level confidence_table[] = {
    {90, 1.281551566}, {95, 1.644853627}, {96, 1.750686071},
    {97, 1.880793608}, {98, 2.053748911}, {99, 2.326347874},
};

constexpr std::uint32_t max_threads = 1024;

command_line reject(std::string message) {
  command_line c;
  c.what = command_line::action::reject;
  c.message = std::move(message);
  return c;
}

}  // namespace

bool json_supported() {
#ifdef KEL_WITH_JSON
  return true;
#else
  return false;
#endif
}

command_line parse_command_line(const std::vector<std::string>& args) {
  command_line result;
  if (args.size() < 5) return result;  // usage

  settings& s = result.options;
  s.metadata = args[1];
  s.data = args[2];
  s.select = args[3];
  s.output = args[4];

  for (std::size_t i = 5; i < args.size(); ++i) {
    const std::string& word = args[i];
    const bool takes_value = word == "-knn" || word == "-sep" || word == "-mxd" || word == "-thr" ||
                             word == "-cl" || word == "-md" || word == "-dst" || word == "-j" || word == "-nbr" ||
                             word == "-json" || word == "-perm" || word == "-seed";
    if (takes_value && i + 1 >= args.size()) return reject("Option " + word + " needs a value");

    if (word == "-knn") {
      std::uint32_t k = 0;
      try {
        orv::util::str2int(args[++i].c_str(), k);
      } catch (const orv::util::error& e) {
        return reject(e.what());
      }
      s.k = k == 0 ? 1 : k;
    } else if (word == "-sep") {
      const std::string& value = args[++i];
      if (value.empty()) return reject("Option -sep needs a non-empty separator");
      s.separator = value[0];
    } else if (word == "-all") {
      s.all = true;
    } else if (word == "-pre") {
      s.prevention = true;
    } else if (word == "-mxd") {
      const double d = leading_decimal(args[++i]);
      if (d < 0) return reject("Max distance must be greater than 0");
      s.max_distance = static_cast<float>(d);
    } else if (word == "-thr") {
      s.threshold = static_cast<double>(static_cast<float>(leading_decimal(args[++i])));
    } else if (word == "-cl") {
      const long level = leading_integer(args[++i]);
      bool found = false;
      for (const auto& entry : confidence_table) {
        if (entry.level == level) {
          s.z = entry.z;
          found = true;
        }
      }
      if (!found) return reject("Confidence level must be in [95,99]");
      s.confidence = true;
      s.confidence_level = level;
    } else if (word == "-md") {
      s.metadata_out = args[++i];
      s.metadata_out_given = true;
    } else if (word == "-dst") {
      s.distribution_out = args[++i];
      s.distribution_on = true;
    } else if (word == "-j") {
      std::uint32_t n = 0;
      try {
        orv::util::str2int(args[++i].c_str(), n);
      } catch (const orv::util::error& e) {
        return reject(e.what());
      }
      if (n < 1 || n > max_threads) return reject("Worker threads must be between 1 and " + std::to_string(max_threads));
      s.threads = n;
    } else if (word == "-nbr") {
      s.neighbours_out = args[++i];
      s.neighbours_on = true;
    } else if (word == "-json") {
      if (!json_supported()) return reject("Option -json needs a kelcmd built with JSON support");
      s.summary_out = args[++i];
      s.summary_on = true;
    } else if (word == "-perm") {
      std::uint32_t n = 0;
      try {
        orv::util::str2int(args[++i].c_str(), n);
      } catch (const orv::util::error& e) {
        return reject(e.what());
      }
      if (n > max_placebo_runs) return reject("Placebo runs must be between 0 and " + std::to_string(max_placebo_runs));
      s.placebo_runs = n;
    } else if (word == "-seed") {
      try {
        orv::util::str2int(args[++i].c_str(), s.seed);
      } catch (const orv::util::error& e) {
        return reject(e.what());
      }
    } else if (word == "-reference") {
      // Kept out of the usage text: for benchmarks and cross-checks only.
      s.reference = true;
    } else if (word == "-scan") {
      // Kept out of the usage text too.
      s.scan = true;
      s.index = false;
    } else if (word == "-index") {
      // And this: the index however few the queries, for tests of its paths.
      s.index = true;
      s.scan = false;
    } else {
      return reject("Unknown command: " + word);
    }
  }
  result.what = command_line::action::run;
  return result;
}

void print_usage(std::ostream& out) {
  out << "Command line: kelcmd <metadata> <inputdata> <selectopt> <outputdata> [options]\n"
         "Options\n"
         "  -sep <c>    column separator in files (default ',')\n"
         "  -knn <n>    k value in kNN (default 2)\n"
         "  -mxd <d>    max distance in kNN (default infty)\n"
         "  -thr <d>    diff() threshold (default 0.10)\n"
         "  -cl <d>     confidence level (default 95)\n"
         "  -md <file>  output metadata to <file>\n"
         "  -dst <file> output distribution to <file>\n"
         "  -all        output rows for all c-cond\n"
         "  -pre        output for discrimination prevention\n"
         "  -j <n>      worker threads (default: all cores)\n"
         "  -nbr <file> output the neighbours of each tested tuple to <file>\n"
         "  -json <file> output a summary in JSON to <file>\n"
         "  -perm <n>   placebo runs with the groups shuffled (default 0)\n"
         "  -seed <n>   seed of the placebo shuffles (default 1)\n"
         "\n"
         "(*) .gz files are automatically gunzipped.\n";
  out.flush();
}

}  // namespace kelcmd
