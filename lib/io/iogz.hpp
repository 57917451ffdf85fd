// iogz: the connection over a gzip-compressed file, through zlib's gzip file
// interface. Reading hands out the uncompressed bytes; writing compresses.
//
// A read that meets a corrupt or truncated compressed stream answers -1 (never
// a quiet 0), and error_text() says what zlib found. Positions count
// uncompressed bytes; only seeks from the start or the current position are
// possible, so the size cannot be asked. Opening an open iogz closes it first;
// directories are refused. A file that is not gzip at all is read as it stands
// (zlib's transparent mode).
#pragma once

#include <cstdint>
#include <string>

#include "io/ioconn.hpp"

struct gzFile_s;

namespace orv::inpout {

class iogz : public ioconn {
 public:
  iogz() = default;
  ~iogz() override;

  void close() override;
  bool eof() override;
  bool is_open() const override { return file_ != nullptr; }
  int mode() const override { return mode_; }
  bool rewind() override;
  int write(const void* buf, int n) override;
  int read(void* buf, int n) override;
  bool is_file() const override { return true; }
  // Throws "iogz::lseek LSEEK_END not supported" and
  // "iogz::lseek position not supported".
  std::int64_t lseek(std::int64_t offset, int whence) override;
  std::int64_t tell() override;
  std::string error_text() const override;

  // REQUIRES: level is -1 (zlib's default) or 0 to 9.
  bool open(const std::string& name, int flags, int level, int strategy);

  // The zlib mode text for the flags and level: "rb1", "wb9", "ab", ...
  static std::string mode_text(int flags, int level);

 private:
  int mode_ = 0;
  gzFile_s* file_ = nullptr;
  std::string name_;
};

}  // namespace orv::inpout
