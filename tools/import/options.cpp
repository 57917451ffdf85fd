#include "options.hpp"

#include <algorithm>
#include <map>
#include <ostream>
#include <set>

#include "text.hpp"

namespace kelimport {

namespace {

command_line reject(std::string message) {
  command_line c;
  c.what = command_line::action::reject;
  c.message = std::move(message);
  return c;
}

std::vector<std::string> split_commas(const std::string& text) {
  std::vector<std::string> parts;
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = text.find(',', from);
    parts.push_back(text.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
    if (comma == std::string::npos) return parts;
    from = comma + 1;
  }
}

const std::set<std::string> takes_value = {"--out",     "--sep",      "--csv-sep",  "--replace-sep", "--missing",
                                           "--ordinal", "--nominal",  "--continuous", "--ignore",    "--id",
                                           "--protected", "--outcome", "--measure",  "--pre-value",  "--db",
                                           "--query"};

}  // namespace

command_line parse_command_line(const std::vector<std::string>& args) {
  command_line result;
  if (args.size() < 2) return result;
  import_options& o = result.import;
  std::vector<std::string> files;
  bool check = false;
  std::map<std::string, std::string> kind_of;  // column -> the option that gave its kind
  std::vector<std::string> given;              // options used, for --check's restriction

  auto one_char = [](const std::string& option, const std::string& value, std::string& why) -> char {
    if (value.size() != 1) {
      why = option + " needs a single character";
      return 0;
    }
    if (value[0] == '\n' || value[0] == '\r' || value[0] == '\0') {
      why = option + " cannot be a line end";
      return 0;
    }
    return value[0];
  };
  auto set_kind = [&](const std::string& option, const std::string& column, std::string& why) {
    const auto [at, fresh] = kind_of.emplace(column, option);
    if (!fresh && at->second != option) why = "column " + column + " is given two kinds (" + at->second + " and " + option + ")";
  };

  for (std::size_t i = 1; i < args.size(); ++i) {
    const std::string& word = args[i];
    if (word == "--help") return command_line{};
    if (word == "--check") {
      check = true;
      continue;
    }
    if (word.size() > 1 && word[0] == '-') {
      if (takes_value.count(word) == 0) return reject("Unknown option: " + word);
      if (i + 1 >= args.size()) return reject("Option " + word + " needs a value");
      const std::string& value = args[++i];
      given.push_back(word);
      std::string why;
      if (word == "--out") {
        if (value.empty()) return reject("--out needs a file name prefix");
        o.out = value;
      } else if (word == "--sep") {
        o.separator = one_char(word, value, why);
        if (why.empty() && (o.separator == '?' || o.separator == '"'))
          why = "--sep cannot be the missing mark ? or a quote";
      } else if (word == "--csv-sep") {
        o.csv_separator = one_char(word, value, why);
        if (why.empty() && o.csv_separator == '"') why = "--csv-sep cannot be the quote character";
      } else if (word == "--replace-sep") {
        o.replace = true;
        o.replacement = one_char(word, value, why);
      } else if (word == "--missing") {
        o.missing = split_commas(value);
      } else if (word == "--ordinal") {
        const std::size_t eq = value.find('=');
        if (eq == std::string::npos || eq == 0) return reject("--ordinal needs COLUMN=v1,v2,... (lowest first)");
        const std::string column = value.substr(0, eq);
        std::vector<std::string> scale = split_commas(value.substr(eq + 1));
        // The data reader drops the blanks around a field, so a value with
        // blanks could never match: "low, mid" means low and mid.
        for (auto& v : scale) v = std::string(trim_spaces(v));
        if (scale.size() < 2) return reject("--ordinal " + column + " needs at least two values");
        std::set<std::string> distinct;
        for (const auto& v : scale) {
          if (v.empty()) return reject("--ordinal " + column + ": an empty value");
          if (!distinct.insert(v).second) return reject("--ordinal " + column + ": the value " + v + " is given twice");
        }
        if (kind_of.count(column) != 0)
          return reject("column " + column + " is given two kinds (" + kind_of[column] + " and --ordinal)");
        kind_of.emplace(column, word);
        o.ordinal.emplace_back(column, std::move(scale));
      } else if (word == "--nominal" || word == "--continuous" || word == "--ignore") {
        auto& list = word == "--nominal" ? o.nominal : word == "--continuous" ? o.continuous : o.ignore;
        for (const auto& column : split_commas(value)) {
          if (column.empty()) return reject(word + ": an empty column name");
          set_kind(word, column, why);
          if (!why.empty()) break;
          list.push_back(column);
        }
      } else if (word == "--id") {
        if (value.empty() || value.find_first_of(",\r\n") != std::string::npos)
          return reject("--id needs a column name without commas");
        o.id = value;
      } else if (word == "--protected") {
        for (const auto& item : split_commas(value)) {
          if (item.empty()) return reject("--protected: an empty item");
          o.protected_items.push_back(item);
        }
      } else if (word == "--outcome") {
        if (value.empty()) return reject("--outcome needs an item, e.g. decision=rejected");
        if (value.find_first_of("\r\n") != std::string::npos) return reject("--outcome cannot hold a line end");
        o.outcome = value;
      } else if (word == "--measure") {
        o.measure_given = true;
        for (const auto& column : split_commas(value)) {
          if (column.empty()) return reject("--measure: an empty column name");
          o.measure.push_back(column);
        }
      } else if (word == "--pre-value") {
        if (value.find_first_of("\r\n") != std::string::npos) return reject("--pre-value cannot hold a line end");
        o.pre_value_given = true;
        o.pre_value = value;
      } else if (word == "--db") {
        o.db = value;
      } else if (word == "--query") {
        o.query = value;
      }
      if (!why.empty()) return reject(why);
      continue;
    }
    files.push_back(word);
  }

  if (check) {
    for (const auto& option : given)
      if (option != "--sep") return reject("--check takes only --sep besides the three input files");
    if (files.size() != 3) return reject("--check needs the metadata, data and select-options files");
    result.metadata = files[0];
    result.data = files[1];
    result.select = files[2];
    result.what = command_line::action::check;
    return result;
  }

  if (o.db.empty() != o.query.empty()) return reject("--db and --query go together");
  if (!o.db.empty() && !files.empty()) return reject("give either a CSV file or --db and --query, not both");
  if (o.db.empty() && files.size() != 1)
    return reject(files.empty() ? "no CSV file given" : "one CSV file only: " + files[1] + " is one too many");
  if (!o.db.empty() && o.csv_separator != ',') return reject("--csv-sep is for a CSV file");
  if (!files.empty()) o.csv = files[0];
  if (o.out.empty()) return reject("--out PREFIX is needed");
  if (o.protected_items.empty() != o.outcome.empty()) return reject("--protected and --outcome go together");
  if (o.outcome.empty() && (o.measure_given || o.pre_value_given))
    return reject("--measure and --pre-value need --protected and --outcome");
  if (o.replace && o.replacement == o.separator) return reject("--replace-sep must differ from --sep");
  result.what = command_line::action::import;
  return result;
}

void print_usage(std::ostream& out) {
  out << "Command line: kel-import <csv> --out <prefix> [options]\n"
         "              kel-import --db <file> --query <select> --out <prefix> [options]\n"
         "              kel-import --check <metadata> <inputdata> <selectopt> [--sep <c>]\n"
         "Options\n"
         "  --out <prefix>      write <prefix>.meta, <prefix>.csv and, with --outcome, <prefix>.sel\n"
         "  --sep <c>           column separator of the data file (default ',')\n"
         "  --csv-sep <c>       column separator of the CSV file (default ',')\n"
         "  --replace-sep <c>   replace separators and line ends inside fields with <c>\n"
         "  --missing <list>    missing-value spellings (default: ,?,NA,N/A,NaN,null)\n"
         "  --ordinal <col>=<v1>,<v2>,...  ordinal column, values lowest first\n"
         "  --nominal <cols>    nominal columns\n"
         "  --continuous <cols> continuous columns\n"
         "  --ignore <cols>     columns kept but never compared\n"
         "  --id <name>         add a first column <name> numbering the rows\n"
         "  --protected <items> a-cond of the protected group, e.g. sex=female\n"
         "  --outcome <item>    c-cond of the outcome under test, e.g. decision=rejected\n"
         "  --measure <cols>    compared columns (default: all but the above and ignored)\n"
         "  --pre-value <v>     class value that -pre writes for discriminated tuples\n"
         "\n"
         "(*) .gz files are automatically gunzipped.\n";
  out.flush();
}

}  // namespace kelimport
