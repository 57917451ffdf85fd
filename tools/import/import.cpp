#include "import.hpp"

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <unordered_map>

#include "csv.hpp"
#include "io/data_source.hpp"
#include "outfile.hpp"
#include "util/error.hpp"

namespace kelimport {

using orv::util::error;

namespace {

class csv_source : public record_source {
 public:
  explicit csv_source(const import_options& o) : file_(o.csv), reader_(open_bytes(o.csv), o.csv, o.csv_separator) {
    if (!reader_.next(names_)) throw error(o.csv + ": the file is empty; its first row must name the columns");
    if (reader_.blank()) throw error(reader_.where() + ": the first row is empty; it must name the columns");
    declared_.assign(names_.size(), std::string());
  }
  const std::vector<std::string>& names() const override { return names_; }
  const std::vector<std::string>& declared() const override { return declared_; }
  bool next(std::vector<std::string>& fields) override { return reader_.next(fields); }
  bool blank() const override { return reader_.blank(); }
  std::string where() const override { return reader_.where(); }
  std::string header_where(std::size_t column) const override {
    return file_ + ", row 1, column " + std::to_string(column + 1);
  }
  const std::string& file() const override { return file_; }

 private:
  std::string file_;
  csv_reader reader_;
  std::vector<std::string> names_;
  std::vector<std::string> declared_;
};

// The answer of the query service: every comma separates two fields (an
// empty last field included), since no value may hold a comma.
void split_answer(const char* line, std::size_t length, std::vector<std::string>& fields) {
  std::size_t count = 0;
  const char* const end = line + length;
  for (const char* from = line;; ++count) {
    const char* comma = std::find(from, end, ',');
    if (count == fields.size()) fields.emplace_back();
    fields[count].assign(from, comma);
    if (comma == end) break;
    from = comma + 1;
  }
  fields.resize(count + 1);
}

class query_records : public record_source {
 public:
  explicit query_records(const import_options& o) : file_(o.db) {
    // The service takes its request as lines.
    if (o.query.find_first_of("\r\n") != std::string::npos) throw error("--query: write the query on one line");
    std::string why;
    // "header" asks the service for the column names and declared types
    // ahead of the rows.
    answer_ = orv::inpout::query_source("sqlite header", o.db, "", "", o.query, "", why);
    if (!answer_) {
      if (why == "JDBC orv server not available")
        why = "the query service kel-sqlcmd is neither beside kel-import nor on the executable path";
      throw error("the query on " + o.db + " failed: " + why);
    }
    if (!answer_->read_line()) throw error("the query service gave no column names for the query on " + o.db);
    split_answer(answer_->line(), static_cast<std::size_t>(answer_->line_length()), names_);
    if (!answer_->read_line()) throw error("the query service gave no column types for the query on " + o.db);
    split_answer(answer_->line(), static_cast<std::size_t>(answer_->line_length()), declared_);
    if (declared_.size() != names_.size())
      throw error("the query service gave " + std::to_string(declared_.size()) + " column types for " +
                  std::to_string(names_.size()) + " columns");
  }
  const std::vector<std::string>& names() const override { return names_; }
  const std::vector<std::string>& declared() const override { return declared_; }
  bool next(std::vector<std::string>& fields) override {
    if (!answer_->read_line()) return false;
    ++row_;
    split_answer(answer_->line(), static_cast<std::size_t>(answer_->line_length()), fields);
    return true;
  }
  std::string where() const override { return file_ + ", result row " + std::to_string(row_); }
  std::string header_where(std::size_t column) const override {
    return file_ + ", result column " + std::to_string(column + 1);
  }
  const std::string& file() const override { return file_; }

 private:
  std::string file_;
  std::unique_ptr<orv::inpout::stream> answer_;
  std::vector<std::string> names_;
  std::vector<std::string> declared_;
  std::uint64_t row_ = 0;
};

// What the importer learns about one column of the source.
struct column {
  kind chosen = kind::nominal;
  bool decided = false;  // by an option or a declared type; otherwise inferred
  std::string because;   // "--nominal", "declared integer", ...
  bool numbers_only = true;
  bool any_number = false;
  bool increasing = true;  // every value a number above the one before: a row number?
  double last = 0;
  std::string first_text;
  std::string first_text_where;
  std::uint64_t missing = 0;
  std::uint64_t present = 0;
  std::vector<std::string> scale;
  value_set scale_set;
  bool gather = false;
  value_set seen;
};

std::string join(const std::vector<std::string>& parts, char glue) {
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    if (i > 0) text += glue;
    text += parts[i];
  }
  return text;
}

// Separators and line ends inside a field become the replacement; a CRLF
// pair is one line end.
std::string replaced(const std::string& field, char separator, char replacement) {
  std::string out;
  out.reserve(field.size());
  for (std::size_t i = 0; i < field.size(); ++i) {
    const char c = field[i];
    if (c == '\r' && i + 1 < field.size() && field[i + 1] == '\n') ++i;
    out += c == separator || c == '\r' || c == '\n' ? replacement : c;
  }
  return out;
}

std::string separator_name(char c) {
  if (c == '\t') return "tab";
  return std::string("'") + c + "'";
}

}  // namespace

std::unique_ptr<record_source> open_csv(const import_options& o) { return std::make_unique<csv_source>(o); }

std::unique_ptr<record_source> open_query(const import_options& o) { return std::make_unique<query_records>(o); }

void import_table(record_source& source, const import_options& o, std::ostream& out, std::ostream& err) {
  const std::vector<std::string>& header = source.names();
  const std::size_t n = header.size();

  // Names the metadata file can hold, each naming one column.
  std::unordered_map<std::string, std::size_t> position;
  for (std::size_t c = 0; c < n; ++c) {
    if (header[c].find_first_of(std::string(",\r\n\0", 4)) != std::string::npos)
      throw error(source.header_where(c) + ": the column name " + quote_text(header[c]) +
                  " holds a comma or a line end, which the metadata file cannot hold");
    const auto [at, fresh] = position.emplace(header[c], c);
    if (!fresh)
      throw error(source.header_where(c) + ": the column name " + quote_text(header[c]) + " repeats column " +
                  std::to_string(at->second + 1) + "; every column needs its own name");
  }
  if (!o.id.empty() && position.count(o.id) != 0)
    throw error("--id: the table already has a column named " + quote_text(o.id));

  // The columns as written: the row number first when asked for.
  table_model model;
  const std::size_t shift = o.id.empty() ? 0 : 1;
  if (shift) model.names.push_back(o.id);
  model.names.insert(model.names.end(), header.begin(), header.end());
  model.index_names();
  table_model source_names;
  source_names.names = header;
  source_names.index_names();

  std::vector<column> cols(n);
  const std::vector<std::string>& declared = source.declared();
  for (std::size_t c = 0; c < n; ++c) {
    const std::string& type = declared[c];
    if (type == "integer" || type == "real" || type == "text") {
      cols[c].chosen = type == "text" ? kind::nominal : kind::continuous;
      cols[c].decided = true;
      cols[c].because = "declared " + type;
    }
  }
  auto named = [&](const std::string& option, const std::string& name) -> column& {
    const int at = source_names.find(name);
    if (at < 0) throw error(option + ": " + source_names.unknown_column(name));
    return cols[static_cast<std::size_t>(at)];
  };
  for (const auto& [name, values] : o.ordinal) {
    column& col = named("--ordinal", name);
    col.chosen = kind::ordinal;
    col.decided = true;
    col.because = "--ordinal";
    col.scale = values;
    for (const auto& v : values) col.scale_set.add(v);
  }
  const std::pair<const std::vector<std::string>*, kind> kind_options[] = {
      {&o.nominal, kind::nominal}, {&o.continuous, kind::continuous}, {&o.ignore, kind::ignore}};
  for (const auto& [names, k] : kind_options) {
    for (const auto& name : *names) {
      column& col = named(std::string("--") + kind_name(k), name);
      col.chosen = k;
      col.decided = true;
      col.because = std::string("--") + kind_name(k);
    }
  }

  // The selection's names are checked now, before a long read; its values
  // once the data has been seen.
  const bool selecting = !o.outcome.empty();
  auto gather = [&](const std::string& option, const std::string& item) {
    const item_parts p = split_item(item);
    if (!p.has_operator) return;
    const int at = model.find(p.name);
    if (at < 0) throw error(option + " " + quote_text(item) + ": " + model.unknown_column(p.name));
    if (static_cast<std::size_t>(at) >= shift) cols[static_cast<std::size_t>(at) - shift].gather = true;
  };
  if (selecting) {
    for (const auto& item : o.protected_items) gather("--protected", item);
    gather("--outcome", o.outcome);
    for (const auto& name : o.measure)
      if (model.find(name) < 0) throw error("--measure: " + model.unknown_column(name));
  }

  // No output may replace the table being read.
  const std::string targets[] = {o.out + ".meta", o.out + ".csv", o.out + ".sel"};
  for (const auto& target : targets)
    if (same_file(source.file(), target)) throw error("output file " + target + " is the input file " + source.file());
  staged_file meta_file(targets[0]);
  staged_file data_file(targets[1]);
  std::unique_ptr<staged_file> select_file;
  if (selecting) select_file = std::make_unique<staged_file>(targets[2]);

  const char specials[] = {o.separator, '\n', '\r', '\0'};
  const std::string_view special_bytes(specials, sizeof specials);
  auto missing = [&](std::string_view text) {
    if (text == "?") return true;
    return std::find(o.missing.begin(), o.missing.end(), text) != o.missing.end();
  };

  std::vector<std::string> fields;
  std::uint64_t rows = 0;
  std::string changed;
  while (source.next(fields)) {
    if (source.blank() && n > 1) continue;
    if (fields.size() != n)
      throw error(source.where() + ": " + std::to_string(fields.size()) + " fields, the header has " +
                  std::to_string(n));
    ++rows;
    if (shift) {
      data_file.write(std::to_string(rows));
      data_file.put(o.separator);
    }
    for (std::size_t c = 0; c < n; ++c) {
      column& col = cols[c];
      auto at = [&] { return source.where() + ", column " + std::to_string(c + 1) + " (" + header[c] + ")"; };
      const std::string* field = &fields[c];
      if (field->find_first_of(special_bytes) != std::string::npos) {
        if (field->find('\0') != std::string::npos) throw error(at() + ": the field holds a zero byte");
        if (!o.replace) {
          const bool has_separator = field->find(o.separator) != std::string::npos;
          throw error(at() + ": the field " + quote_text(*field) + " holds " +
                      (has_separator ? "the separator " + separator_name(o.separator) +
                                           "; choose another --sep, or give --replace-sep C to replace it"
                                     : std::string("a line end; give --replace-sep C to replace line ends and "
                                                   "separators")));
        }
        changed = replaced(*field, o.separator, o.replacement);
        field = &changed;
      }
      const std::string_view value = trim_spaces(*field);
      if (c > 0) data_file.put(o.separator);
      if (missing(value)) {
        ++col.missing;
        col.increasing = false;
        data_file.put('?');
        continue;
      }
      ++col.present;
      if (col.chosen == kind::ordinal && col.decided) {
        if (!col.scale_set.contains(value))
          throw error(at() + ": " + quote_text(value) + " is not on the scale given by --ordinal" +
                      (col.scale.empty() ? std::string() : " (nearest: " + nearest(std::string(value), col.scale) + ")"));
      } else if (col.chosen == kind::continuous && col.decided) {
        if (col.increasing) {
          const double x = std::strtod(std::string(value).c_str(), nullptr);
          col.increasing = col.present == 1 || x > col.last;
          col.last = x;
        }
        if (!is_decimal_number(value))
          throw error(at() + ": " + quote_text(value) + " is not a number, but the column is " +
                      (col.because[0] == '-' ? "given as --continuous" : col.because) + "; give --nominal " +
                      header[c] + " to read it as text");
      } else if (!col.decided && (col.numbers_only || !col.any_number)) {
        if (is_decimal_number(value)) {
          col.any_number = true;
          if (col.increasing) {
            const double x = std::strtod(std::string(value).c_str(), nullptr);
            col.increasing = col.present == 1 || x > col.last;
            col.last = x;
          }
        } else if (col.numbers_only) {
          col.numbers_only = false;
          col.first_text = value;
          col.first_text_where = source.where();
        }
      }
      if (col.gather) col.seen.add(value);
      data_file.write(*field);
    }
    data_file.put('\n');
  }
  if (rows == 0) throw error(source.file() + ": no data row after the header");

  // Kinds of the columns nothing decided: numbers only make a continuous
  // column; a column without any value stays nominal, which needs no mean.
  // Warnings wait for success, so that an error stays the one line printed.
  std::vector<std::string> warnings;
  for (std::size_t c = 0; c < n; ++c) {
    column& col = cols[c];
    const std::string& name = header[c];
    if (!col.decided) col.chosen = col.present > 0 && col.numbers_only ? kind::continuous : kind::nominal;
    if (col.present == 0) warnings.push_back("column " + name + " holds no value; every field is missing");
    if (col.chosen == kind::continuous && col.because != "--continuous" && col.increasing && rows > 2)
      warnings.push_back("column " + name + " grows on every row, like a row number; if it identifies rows, give --ignore " + name);
    if (!col.decided && col.chosen == kind::nominal && col.any_number)
      warnings.push_back("column " + name + " is read as nominal: " + col.first_text_where + " holds " +
                         quote_text(col.first_text) + ", which is not a number (give --continuous " + name +
                         " to make that an error)");
  }

  model.kinds.clear();
  model.scales.clear();
  model.seen.clear();
  if (shift) {
    model.kinds.push_back(kind::ignore);
    model.scales.emplace_back();
    model.seen.push_back(nullptr);
  }
  for (const column& col : cols) {
    model.kinds.push_back(col.chosen);
    model.scales.push_back(col.scale);
    model.seen.push_back(col.gather ? &col.seen : nullptr);
  }

  for (std::size_t c = 0; c < model.names.size(); ++c) {
    std::string line = model.names[c] + "," + kind_name(model.kinds[c]);
    for (const auto& v : model.scales[c]) line += "," + v;
    meta_file.write(line);
    meta_file.put('\n');
  }

  std::vector<std::string> measure = o.measure;
  if (selecting) {
    std::vector<bool> compared(model.names.size(), false);
    for (const auto& item : o.protected_items) {
      const std::string problem = item_problem(model, item, false);
      if (!problem.empty()) throw error("--protected " + quote_text(item) + ": " + problem);
      compared[static_cast<std::size_t>(model.find(split_item(item).name))] = true;
    }
    const std::string problem = item_problem(model, o.outcome, true);
    if (!problem.empty()) throw error("--outcome " + quote_text(o.outcome) + ": " + problem);
    const int class_column = model.find(split_item(o.outcome).name);
    compared[static_cast<std::size_t>(class_column)] = true;
    if (!o.measure_given) {
      for (std::size_t c = 0; c < model.names.size(); ++c)
        if (!compared[c] && model.kinds[c] != kind::ignore) measure.push_back(model.names[c]);
      if (measure.empty()) throw error("no column is left to compare; name the columns with --measure");
    }
    for (const auto& name : measure) {
      const std::string why = measure_problem(model, name);
      if (!why.empty()) throw error("--measure: " + why);
    }
    if (o.pre_value_given) {
      const std::string why = pre_value_problem(model, class_column, o.pre_value, o.separator);
      if (!why.empty()) throw error("--pre-value: " + why);
    }
    select_file->write(join(o.protected_items, ',') + "\n" + o.outcome + "\n" + join(measure, ',') + "\n");
    if (o.pre_value_given) select_file->write(o.pre_value + "\n");
  }

  data_file.commit();
  meta_file.commit();
  if (select_file) select_file->commit();
  for (const auto& w : warnings) err << "warning: " << w << "\n";
  err.flush();

  out << "read " << rows << (rows == 1 ? " row of " : " rows of ") << n << (n == 1 ? " column from " : " columns from ")
      << source.file() << "\n";
  for (std::size_t c = 0; c < model.names.size(); ++c) {
    out << "  " << model.names[c] << ": " << kind_name(model.kinds[c]);
    if (c < shift) {
      out << " (--id, row numbers)\n";
      continue;
    }
    const column& col = cols[c - shift];
    if (col.chosen == kind::ordinal) out << ", " << col.scale.size() << " values";
    if (col.decided) out << " (" << col.because << ")";
    if (col.missing > 0) out << ", " << col.missing << " missing";
    out << "\n";
  }
  out << "wrote " << targets[0] << ", " << targets[1];
  if (selecting) out << ", " << targets[2];
  out << "\n";
  if (selecting) {
    out << "next: kelcmd " << targets[0] << " " << targets[1] << " " << targets[2] << " " << o.out << "-out.csv";
    if (o.separator != ',') out << " -sep '" << o.separator << "'";
    out << "\n";
  }
  out.flush();
}

}  // namespace kelimport
