// iorange: a read-only connection over the bytes [begin, end) of a regular
// file that an iofile holds open, so that one file can be read in several
// ranges on different threads at once. Reads go through iofile::pread: the
// file's own position never moves, and each range keeps its own. Positions
// and the size are relative to begin; a file shorter than end simply ends
// the range early. Writing is refused; close() only detaches the range.
//
// line_bounds cuts a file into such ranges of whole lines: a line stream over
// each range then yields, in order, exactly the lines that a stream over the
// whole file yields, since a line's bytes and its end never depend on what
// came before its start.
//
// The range borrows the iofile. REQUIRES: the file stays open while the
// range is read; 0 <= begin <= end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/ioconn.hpp"
#include "io/iofile.hpp"

namespace orv::inpout {

class iorange : public ioconn {
 public:
  iorange(const iofile& file, std::int64_t begin, std::int64_t end);
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
  const iofile* file_;
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
std::vector<std::int64_t> line_bounds(const iofile& file, std::int64_t size, unsigned parts);

}  // namespace orv::inpout
