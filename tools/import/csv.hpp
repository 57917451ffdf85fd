// Reading the tables people export: a CSV file as RFC 4180 writes it (fields
// in double quotes, doubled quotes inside them, separators and line ends
// inside quoted fields, CRLF or LF line ends, an optional UTF-8 byte-order
// mark), read record by record from any connection of the library, so that
// gzip files and pipes work as they do for the program's own inputs.
//
// Lenient where exporters differ and nothing can be misread: a lone CR ends a
// line too, and a quote inside an unquoted field is kept as a character.
// Strict where a guess could shift values: text after a closing quote and a
// quote that is never closed are errors naming the row and column.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/ioconn.hpp"

namespace kelimport {

// Opens an input by name as the program does: a name ending in ".gz" is
// decompressed while read. Throws "File: <name> not found or inaccessible".
std::unique_ptr<orv::inpout::ioconn> open_bytes(const std::string& name);

class csv_reader {
 public:
  // name is used in messages only. REQUIRES: in is open for reading.
  csv_reader(std::unique_ptr<orv::inpout::ioconn> in, std::string name, char separator);

  // The fields of the next record; false at the end of the input. Throws
  // orv::util::error naming the row and column of a malformed record, and
  // the connection's reason when a read fails.
  bool next(std::vector<std::string>& fields);

  // The record returned last: its number (the first record is row 1), the
  // line it starts on, and whether it was an empty line.
  std::uint64_t row() const { return row_; }
  std::uint64_t line() const { return record_line_; }
  bool blank() const { return blank_; }
  // "people.csv, row 5", with the line when it differs from the row.
  std::string where() const;

 private:
  bool fill();
  int get();
  int peek();
  [[noreturn]] void fail(std::size_t column, const std::string& what) const;

  std::unique_ptr<orv::inpout::ioconn> in_;
  std::string name_;
  char separator_;
  int separator_byte_;  // as get() hands bytes out: 0 to 255
  std::unique_ptr<char[]> buffer_;
  std::size_t pos_ = 0;
  std::size_t end_ = 0;
  bool at_end_ = false;
  bool started_ = false;
  std::uint64_t row_ = 0;
  std::uint64_t line_ = 1;
  std::uint64_t record_line_ = 0;
  bool blank_ = false;
};

}  // namespace kelimport
