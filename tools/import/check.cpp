#include "check.hpp"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <ostream>
#include <unordered_map>
#include <vector>

#include "io/open_input.hpp"
#include "rules.hpp"

namespace kelimport {

namespace {

constexpr std::uint64_t shown_per_kind = 10;
constexpr std::string_view bom = "\xEF\xBB\xBF";

// Prints hazards, at most shown_per_kind of each kind (a key naming the
// file, the column and the kind of hazard), and counts the rest.
class reporter {
 public:
  explicit reporter(std::ostream& out) : out_(out) {}
  void report(const std::string& key, const std::string& line) {
    ++total_;
    if (++counts_[key] <= shown_per_kind) out_ << line << '\n';
  }
  void finish() {
    for (const auto& [key, count] : counts_)
      if (count > shown_per_kind) out_ << key << ": " << count - shown_per_kind << " more not shown\n";
  }
  std::uint64_t total() const { return total_; }

 private:
  std::ostream& out_;
  std::map<std::string, std::uint64_t> counts_;
  std::uint64_t total_ = 0;
};

// Fields of a metadata or select-options line as their readers count them:
// none in an empty line, and a trailing comma opens no field.
std::vector<std::string> comma_fields(const std::string& line) {
  std::vector<std::string> fields;
  if (line.empty()) return fields;
  std::size_t from = 0;
  for (;;) {
    const std::size_t comma = line.find(',', from);
    if (comma == std::string::npos || comma + 1 == line.size()) {
      fields.push_back(line.substr(from, comma == std::string::npos ? std::string::npos : comma - from));
      return fields;
    }
    fields.push_back(line.substr(from, comma - from));
    from = comma + 1;
  }
}

std::string place(const std::string& file, std::uint64_t row) { return file + ", row " + std::to_string(row); }
std::string place(const std::string& file, std::uint64_t row, std::size_t column) {
  return place(file, row) + ", column " + std::to_string(column);
}

// A field that begins with a quote was quoted (or cut out of a quoted
// field holding the separator); quotes elsewhere may be meant.
bool quoted_field(std::string_view v) { return !v.empty() && v.front() == '"'; }

}  // namespace

std::uint64_t check_inputs(const std::string& metadata, const std::string& data, const std::string& select,
                           char separator, std::ostream& out) {
  reporter hazards(out);
  table_model model;

  // The metadata file.
  bool metadata_read = true;
  {
    const auto in = orv::inpout::open_input(metadata, separator);
    std::unordered_map<std::string, std::uint64_t> first_row;
    for (std::uint64_t row = 1; in->read_line(); ++row) {
      const std::string line = in->line();
      const std::vector<std::string> f = comma_fields(line);
      const std::string key = metadata + ": metadata syntax";
      if (f.size() < 2) {
        hazards.report(key, place(metadata, row) + ": fewer than two fields (name,kind): " + quote_text(line));
        metadata_read = false;
        continue;
      }
      kind k;
      if (f[1] == "continuous") {
        k = kind::continuous;
      } else if (f[1] == "nominal") {
        k = kind::nominal;
      } else if (f[1] == "ignore") {
        k = kind::ignore;
      } else if (f[1] == "ordinal") {
        k = kind::ordinal;
        if (f.size() == 2) {
          hazards.report(key, place(metadata, row) + ": an ordinal column needs its values: " + quote_text(line));
          metadata_read = false;
          continue;
        }
      } else {
        hazards.report(key, place(metadata, row, 2) + ": unknown kind " + quote_text(f[1]) +
                                " (continuous, nominal, ordinal or ignore)");
        metadata_read = false;
        continue;
      }
      const std::string& name = f[0];
      if (row == 1 && name.starts_with(bom))
        hazards.report(metadata + ": byte-order mark",
                       place(metadata, 1, 1) + ": byte-order mark before the first name; it becomes part of the name");
      if (quoted_field(name))
        hazards.report(metadata + ": quotes", place(metadata, row, 1) + ": quoted name " + quote_text(name) +
                                                  "; the quotes are part of the name");
      const auto [at, fresh] = first_row.emplace(name, row);
      if (!fresh)
        hazards.report(metadata + ": repeated names", place(metadata, row, 1) + ": the name " + quote_text(name) +
                                                          " repeats row " + std::to_string(at->second) +
                                                          "; the select-options file can only name the first");
      model.names.push_back(name);
      model.kinds.push_back(k);
      model.scales.emplace_back(k == kind::ordinal ? std::vector<std::string>(f.begin() + 2, f.end())
                                                   : std::vector<std::string>());
    }
  }
  model.index_names();
  if (!metadata_read) {
    hazards.finish();
    out << "the data and select-options files were not checked: the metadata file does not read\n";
    out << hazards.total() << (hazards.total() == 1 ? " hazard\n" : " hazards\n");
    return hazards.total();
  }
  const std::size_t columns = model.names.size();

  // The select-options lines, read first so that the data's values can be
  // gathered for exactly the columns they compare.
  std::vector<std::string> lines;
  {
    const auto in = orv::inpout::open_input(select, separator);
    while (lines.size() < 4 && in->read_line()) lines.emplace_back(in->line());
  }
  std::vector<value_set> values(columns);
  model.seen.assign(columns, nullptr);
  auto gather = [&](const std::string& item) {
    const item_parts p = split_item(item);
    const int at = p.has_operator ? model.find(p.name) : -1;
    if (at >= 0) model.seen[static_cast<std::size_t>(at)] = &values[static_cast<std::size_t>(at)];
  };
  if (!lines.empty())
    for (const auto& item : comma_fields(lines[0])) gather(item);
  if (lines.size() > 1) gather(lines[1]);

  // The data file, field by field as the reader takes it.
  std::uint64_t rows = 0;
  {
    const auto in = orv::inpout::open_input(data, separator);
    std::vector<std::string> fields;
    for (std::uint64_t row = 1; in->read_line(); ++row) {
      rows = row;
      if (std::strlen(in->line()) != static_cast<std::size_t>(in->line_length()))
        hazards.report(data + ": zero bytes",
                       place(data, row) + ": the line holds a zero byte; the analysis stops here (bad row)");
      const int count = in->field_count();
      fields.clear();
      for (int i = 0; i < count; ++i) fields.emplace_back(in->tokens.next_token(separator));
      auto column_place = [&](std::size_t c) {
        std::string text = place(data, row, c + 1);
        if (c < columns) text += " (" + model.names[c] + ")";
        return text;
      };
      auto column_key = [&](std::size_t c, const char* what) {
        return data + ", column " + std::to_string(c + 1) + (c < columns ? " (" + model.names[c] + ")" : "") + ": " +
               what;
      };
      for (std::size_t c = 0; c < fields.size(); ++c) {
        const std::string_view v = trim_spaces(fields[c]);
        if (quoted_field(v))
          hazards.report(column_key(c, "quotes"),
                         column_place(c) + ": quoted field " + quote_text(v) + "; the quotes are part of the value");
      }
      if (fields.size() != columns) {
        hazards.report(data + ": field counts", place(data, row) + ": " + std::to_string(fields.size()) +
                                                    " fields, the metadata has " + std::to_string(columns) +
                                                    " columns");
        continue;
      }
      if (row == 1) {
        std::size_t names = 0;
        for (std::size_t c = 0; c < columns; ++c) names += trim_spaces(fields[c]) == model.names[c];
        if (names > 0 && 2 * names >= columns) {
          hazards.report(data + ": header", place(data, 1) + ": a header row? " + std::to_string(names) + " of its " +
                                                std::to_string(columns) +
                                                " fields are the column names; it is read as data");
          continue;
        }
      }
      for (std::size_t c = 0; c < columns; ++c) {
        const std::string_view v = trim_spaces(fields[c]);
        const kind k = model.kinds[c];
        if (k == kind::continuous && v != "?") {
          if (v.starts_with(bom))
            hazards.report(column_key(c, "byte-order marks"), column_place(c) +
                                                                  ": byte-order mark in a continuous column (" +
                                                                  read_as(std::string(v)) + ")");
          else if (v.empty())
            hazards.report(column_key(c, "empty fields"), column_place(c) + ": empty field in a continuous column (read as 0)");
          else if (!is_decimal_number(v))
            hazards.report(column_key(c, "text"), column_place(c) + ": text " + quote_text(v) +
                                                      " in a continuous column (" + read_as(std::string(v)) + ")");
        } else if (row == 1 && c == 0 && v.starts_with(bom)) {
          hazards.report(column_key(c, "byte-order marks"),
                         column_place(c) + ": byte-order mark at the start of the field; it becomes part of the value");
        }
        if (k == kind::ordinal && v != "?") {
          const auto& scale = model.scales[c];
          if (std::find(scale.begin(), scale.end(), v) == scale.end()) {
            const std::string near = nearest(std::string(v), scale);
            hazards.report(column_key(c, "values off the scale"),
                           column_place(c) + ": " + quote_text(v) + " is not on the ordinal scale" +
                               (near.empty() ? std::string() : " (nearest: " + near + ")") +
                               "; the analysis stops here");
          }
        }
        if (model.seen[c] != nullptr) values[c].add(v);
      }
    }
  }

  // The select-options file, against the values found.
  auto item_hazard = [&](std::uint64_t row, std::size_t column, const std::string& item, bool outcome) {
    const std::string problem = item_problem(model, item, outcome);
    if (!problem.empty())
      hazards.report(place(select, row, column), place(select, row, column) + ": item " + quote_text(item) + ": " + problem);
  };
  if (lines.empty()) {
    hazards.report(select, select + ": the file is empty; it needs the a-cond, c-cond and measure_atts lines");
  } else {
    const std::vector<std::string> items = comma_fields(lines[0]);
    if (items.empty())
      hazards.report(place(select, 1), place(select, 1) + ": the a-cond line is empty: every row is protected and none unprotected");
    for (std::size_t i = 0; i < items.size(); ++i) item_hazard(1, i + 1, items[i], false);
    if (lines.size() < 2) {
      hazards.report(select, select + ": no c-cond line (line 2)");
    } else {
      item_hazard(2, 1, lines[1], true);
      if (lines.size() < 3) {
        hazards.report(select, select + ": no measure_atts line (line 3)");
      } else {
        const std::vector<std::string> names = comma_fields(lines[2]);
        if (names.empty()) hazards.report(place(select, 3), place(select, 3) + ": the measure_atts line names no column");
        for (std::size_t i = 0; i < names.size(); ++i) {
          const std::string problem = measure_problem(model, names[i]);
          if (!problem.empty()) hazards.report(place(select, 3, i + 1), place(select, 3, i + 1) + ": " + problem);
        }
      }
      if (lines.size() > 3) {
        const item_parts p = split_item(lines[1]);
        const int class_column = p.has_operator ? model.find(p.name) : -1;
        const std::string problem = pre_value_problem(model, class_column, lines[3], separator);
        if (!problem.empty()) hazards.report(place(select, 4, 1), place(select, 4, 1) + ": " + problem);
      }
    }
  }

  hazards.finish();
  if (hazards.total() == 0)
    out << "no hazards in " << metadata << ", " << data << " (" << rows << " rows) and " << select << "\n";
  else
    out << hazards.total() << (hazards.total() == 1 ? " hazard\n" : " hazards\n");
  out.flush();
  return hazards.total();
}

}  // namespace kelimport
