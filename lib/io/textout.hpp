// An output text file that never loses data silently: it is created (or
// emptied) on construction, every line is flushed as it ends, and a file that
// cannot be created or written raises an error naming it, so the run ends
// with status 1 instead of reporting success over a truncated file. A regular
// file is held under an exclusive lock while it is open, taken before it is
// emptied: a file that another run is writing or reading is refused.
#pragma once

#include <ext/stdio_filebuf.h>

#include <memory>
#include <ostream>
#include <string>

#include "util/nocopy.hpp"

namespace orv::inpout {

class textout : private orv::util::nocopy {
 public:
  // Throws orv::util::error when the file cannot be created or another run
  // holds it.
  explicit textout(const std::string& name);
  ~textout();

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
  std::unique_ptr<__gnu_cxx::stdio_filebuf<char>> buffer_;
  std::ostream file_{nullptr};
};

}  // namespace orv::inpout
