// Turning a headered table (a CSV file, or the rows of a database query) into
// the three inputs of kelcmd: the metadata file, the data file without header,
// and, when asked, the select-options file.
//
// Field texts pass through as they are: numbers are never reformatted, so
// an analysis of the imported files reads exactly the values of the table.
// Only the missing-value spellings become "?", and, on request, separators
// and line ends inside fields become a replacement character; anything the
// data file cannot hold is otherwise an error naming its row and column.
#pragma once

#include <iosfwd>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "rules.hpp"

namespace kelimport {

struct import_options {
  std::string csv;                // the CSV file, or
  std::string db;                 // the database file and
  std::string query;              // the query answered from it
  std::string out;                // PREFIX: PREFIX.meta, PREFIX.csv, PREFIX.sel
  char separator = ',';           // of the data file written
  char csv_separator = ',';       // of the CSV read
  bool replace = false;           // --replace-sep given
  char replacement = ' ';
  std::vector<std::string> missing{"", "?", "NA", "N/A", "NaN", "null"};
  std::vector<std::pair<std::string, std::vector<std::string>>> ordinal;
  std::vector<std::string> nominal;
  std::vector<std::string> continuous;
  std::vector<std::string> ignore;
  std::string id;                 // a row-number column to add; empty: none
  std::vector<std::string> protected_items;
  std::string outcome;            // empty: no select-options file
  bool measure_given = false;
  std::vector<std::string> measure;
  bool pre_value_given = false;
  std::string pre_value;
};

// One source of records: its column names, what their declared types say
// (an empty text where nothing is declared, else "integer", "real", "text",
// "numeric" or "blob"), and the records.
class record_source {
 public:
  virtual ~record_source() = default;
  virtual const std::vector<std::string>& names() const = 0;
  virtual const std::vector<std::string>& declared() const = 0;
  // The next record; false at the end.
  virtual bool next(std::vector<std::string>& fields) = 0;
  // An empty line, which a table of several columns skips.
  virtual bool blank() const { return false; }
  // The record returned last, for messages: "people.csv, row 5".
  virtual std::string where() const = 0;
  // Where a column's name stands, for messages: "people.csv, row 1, column 2".
  virtual std::string header_where(std::size_t column) const = 0;
  // The file the records come from, so that no output replaces it.
  virtual const std::string& file() const = 0;
};

// The CSV file of the options, header first. Throws when it cannot be opened
// or has no header.
std::unique_ptr<record_source> open_csv(const import_options& o);

// The query's rows, through the library's data-source layer and the query
// service. Throws with the service's reason when the query fails.
std::unique_ptr<record_source> open_query(const import_options& o);

// Reads every record, writes the files and prints what was done on out and
// warnings on err. Throws orv::util::error on any problem, and then no
// output file has been changed.
void import_table(record_source& source, const import_options& o, std::ostream& out, std::ostream& err);

}  // namespace kelimport
