// textout: an output text file that never loses data silently. It is created
// (or emptied) on construction, every line is flushed as it ends, and a file
// that cannot be created or written raises an orv::util::error naming it, so
// a run ends with a failure instead of reporting success over a truncated
// file. A line shorter than the buffer reaches the file in one write, so a
// process that is killed leaves only complete lines behind.
#pragma once

#include <fstream>
#include <memory>
#include <string>

#include "util/nocopy.hpp"

namespace orv::inpout {

class textout : private orv::util::nocopy {
 public:
  // Throws orv::util::error when the file cannot be created.
  explicit textout(const std::string& name);

  std::ostream& stream() { return file_; }
  // Ends the current line: newline, flush, and a check that it reached the file.
  void end_line();
  // Flushes and checks without ending a line; for files that may stay empty.
  void finish();
  const std::string& name() const { return name_; }

 private:
  [[noreturn]] void fail() const;

  static constexpr std::size_t buffer_size = 1 << 20;

  std::string name_;
  std::unique_ptr<char[]> buffer_;
  std::ofstream file_;
};

}  // namespace orv::inpout
