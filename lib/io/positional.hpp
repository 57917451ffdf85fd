// positional: an input that can be read at any offset without moving a
// shared position, so that several threads can read it at once. A regular
// file is one; a pipe, a terminal or a compressed file is not. A connection
// says whether it is one through ioconn::as_positional().
//
// iorange (iorange.hpp) reads one range of a positional input as a
// connection of its own, and line_parts cuts the input into such ranges of
// whole lines.
#pragma once

#include <cstdint>

namespace orv::inpout {

class positional {
 public:
  virtual ~positional() = default;

  // Up to n bytes at offset: the count, 0 at the end (or for n <= 0), -1 on
  // failure with errno telling why.
  virtual int pread(void* buf, int n, std::int64_t offset) const = 0;
  // The length in bytes.
  virtual std::int64_t length() const = 0;

 protected:
  positional() = default;
  positional(const positional&) = default;
  positional& operator=(const positional&) = default;
};

}  // namespace orv::inpout
