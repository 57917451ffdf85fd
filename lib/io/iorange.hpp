// iorange: a read-only connection over the bytes [begin, end) of a
// positional input (a regular file), so that one input can be read in
// several ranges on different threads at once. Reads go through
// positional::pread: no shared position moves, and each range keeps its
// own. Positions and the size are relative to begin; an input shorter than
// end simply ends the range early. Writing is refused; close() only detaches
// the range.
//
// line_bounds cuts an input into such ranges of whole lines: a line stream
// over each range then yields, in order, exactly the lines that a stream over
// the whole input yields, since a line's bytes and its end never depend on
// what came before its start. line_parts hands out those ranges.
//
// The range borrows the input. REQUIRES: the input stays open while the
// range is read; 0 <= begin <= end.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "io/ioconn.hpp"
#include "io/positional.hpp"

namespace orv::inpout {

class iorange : public ioconn {
 public:
  iorange(const positional& file, std::int64_t begin, std::int64_t end);
  ~iorange() override = default;

  void close() override { file_ = nullptr; }
  bool is_open() const override { return file_ != nullptr; }
  int mode() const override { return file_ ? READ : 0; }
  int write(const void*, int) override { return -1; }
  // -1 once closed.
  int read(void* buf, int n) override;
  // Within [0, end - begin]; -1 outside it.
  std::int64_t lseek(std::int64_t offset, int whence) override;
  std::int64_t size() override { return end_ - begin_; }
  std::string error_text() const override;

 private:
  const positional* file_;
  std::int64_t begin_;
  std::int64_t end_;
  std::int64_t position_;  // absolute, in the file
  int last_error_ = 0;
};

// parts + 1 offsets 0 = b[0] <= b[1] <= ... <= b[parts] = size, each inner
// one at the first line start at or after i * size / parts (size when there
// is none), so the ranges [b[i], b[i+1]) hold whole lines in roughly equal
// shares; ranges may be empty. Throws orv::util::error when the file cannot
// be read. REQUIRES: parts >= 1, size >= 0.
std::vector<std::int64_t> line_bounds(const positional& file, std::int64_t size, unsigned parts);

// The whole input as `parts` ranges of whole lines, in order (line_bounds
// over its length). Throws orv::util::error when it cannot be read.
std::vector<std::unique_ptr<ioconn>> line_parts(const positional& file, unsigned parts);

}  // namespace orv::inpout
