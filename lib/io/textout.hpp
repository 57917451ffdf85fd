// An output text file that never loses data silently: it is created (or
// emptied) on construction, and a file that cannot be created or written
// raises an error naming it, so the run ends with status 1 instead of
// reporting success over a truncated file. A regular file is held under an
// exclusive lock while it is open, taken before it is emptied: a file that
// another run is writing or reading is refused.
//
// Text reaches the file only as whole lines: end_line() writes the line at
// once; end_row() holds rows back and writes them together, once a batch of
// rows is large or its first row has waited a moment (one helper thread of
// the process writes it then, when no further row comes). Either way a run
// that is killed leaves only complete lines, and a line ended a moment ago
// is on disk.
#pragma once

#include <chrono>
#include <cstddef>
#include <mutex>
#include <optional>
#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

#include "util/nocopy.hpp"

namespace orv::inpout {

class textout : private orv::util::nocopy {
 public:
  // A batch of rows is written once it holds this many bytes, or once its
  // first row has waited this long.
  static constexpr std::size_t batch_bytes = std::size_t{1} << 20;
  static constexpr std::chrono::milliseconds batch_wait{50};

  // Throws orv::util::error when the file cannot be created or another run
  // holds it.
  explicit textout(const std::string& name);
  // Writes the complete lines still held (errors ignored) and closes the
  // file; an unfinished line is dropped.
  ~textout();

  std::ostream& stream() { return file_; }
  // Ends the current line: newline, then it and any rows held are written,
  // and a failed write raises an error.
  void end_line();
  // Ends the current line as a row of a batch (see above). The file's first
  // row is written at once, so a file that cannot be written fails at its
  // first row whatever the timing. A failed write of an earlier batch raises
  // its error here.
  void end_row();
  // Writes everything, an unfinished line included; for the end of a file
  // and for files that may stay empty.
  void finish();
  const std::string& name() const { return name_; }

 private:
  // The text of the current line, in a growing buffer.
  class line_buffer : public std::streambuf {
   public:
    line_buffer();
    const char* data() const { return pbase(); }
    std::size_t size() const { return static_cast<std::size_t>(pptr() - pbase()); }
    void clear() { setp(storage_.data(), storage_.data() + storage_.size()); }

   protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* s, std::streamsize n) override;

   private:
    void grow(std::size_t more);
    std::vector<char> storage_;
  };

  friend class batch_writer;
  using clock = std::chrono::steady_clock;

  [[noreturn]] void fail(int code) const;
  void check_stream();
  // REQUIRES: mutex_ held. Writes held_ and empties it; a failure is kept.
  void write_held();
  // For the helper: writes the held rows if they are due by `now`; answers
  // when the rows still held will be due.
  std::optional<clock::time_point> write_if_due(clock::time_point now);

  std::string name_;
  int fd_ = -1;
  line_buffer line_;
  std::ostream file_{&line_};

  std::mutex mutex_;  // everything below
  std::string held_;  // complete lines not yet written
  clock::time_point held_since_;
  int error_ = 0;  // errno of the first failed write
  bool failed_ = false;
  bool wrote_row_ = false;  // the first row went out on its own
};

}  // namespace orv::inpout
