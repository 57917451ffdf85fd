// stream: the line reader of every text input. It reads large blocks from its
// connection, cuts them into lines in place and hands out each line as a
// zero-terminated text without its line feed (and without a carriage return
// just before the line feed). After every read_line() the public tokenizer
// `tokens` stands at the start of the new line with the stream's separator,
// ready for the caller to take the fields.
//
// A line is complete only at a line feed or at the end of the input, however
// the connection splits its data (a pipe hands out whatever its writer has
// sent so far); a last line without a line feed is still a line. The buffer
// doubles when a line does not fit and never shrinks. A read error of the
// connection, a corrupt compressed input included, is thrown as an
// orv::util::error instead of ending the input early, so a table is never
// silently cut short.
//
// With owns, the stream closes and deletes its connection in close() and in
// its destructor. REQUIRES: capacity >= 1.
#pragma once

#include <cstdint>

#include "io/ioconn.hpp"
#include "util/nocopy.hpp"
#include "util/tokenizer.hpp"

namespace orv::inpout {

class stream : public orv::util::nocopy {
 public:
  stream(ioconn* conn, bool owns, char separator, int capacity);
  virtual ~stream();

  virtual bool open(ioconn* conn, bool owns, char separator, int capacity);
  // The separator for the lines that follow.
  virtual void set_separator(char c) { separator_ = c; }
  virtual void close();
  virtual bool eof();
  virtual bool rewind();
  // False at the end of the input. Throws "ioconn::read_line(): out of memory"
  // when a line would need a buffer beyond the largest int, and a read error
  // message when the connection fails.
  virtual bool read_line();
  // The line of the last successful read_line, valid until the next
  // read_line, rewind, lseek, open or close; null before the first line.
  virtual char* line() { return line_; }
  virtual std::int64_t tell() { return conn_ ? conn_->tell() : -1; }
  // Total bytes of the lines handed out, their line ends included.
  virtual std::uint64_t bytes_read() const { return bytes_read_; }
  virtual std::int64_t size() { return conn_ ? conn_->size() : -1; }
  virtual std::int64_t lseek(std::int64_t offset, int whence);
  virtual ioconn* connection() { return conn_; }

  // Fields in the text the tokenizer has not consumed: 1 for an empty text,
  // else 1 + the separators followed by at least one more character.
  int field_count() const;
  // Bytes of the current line before its terminator; a line can hold zero
  // bytes of its own, which then end line() early.
  int line_length() const { return line_length_; }
  int capacity() const { return capacity_; }
  char separator() const { return separator_; }

  orv::util::tokenizer tokens;

 private:
  void reset();
  bool take_line(char* lf);
  [[noreturn]] void read_failed();

  ioconn* conn_;
  char* buffer_;
  int capacity_;
  char* cursor_;
  char* line_ = nullptr;
  int unread_ = 0;
  std::uint64_t bytes_read_ = 0;
  bool owns_;
  char separator_;
  int line_length_ = 0;
};

}  // namespace orv::inpout
