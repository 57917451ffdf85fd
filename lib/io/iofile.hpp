// iofile: the connection over an operating-system file: a plain file, a named
// pipe, or one of the standard streams, with file mapping on top.
//
// Named pipes: every name beginning with the nine characters \\.\pipe\ is a
// named pipe (see fs::pipe_path for where it lives on this system). Opened
// with READ this side is the pipe's server: it creates the FIFO, private to
// this user (an existing one must be a FIFO of this user that others cannot
// write to, or open fails with errno EPERM), locks it (a second reader fails
// with errno EBUSY) and blocks until a writer opens it; a FIFO it created is
// removed once the writer is connected, or if the wait fails or is stopped
// by SIGINT, SIGTERM or SIGHUP. Opened without READ it is a writer: it
// retries every 100 ms, without time limit, until a reader holds the FIFO
// open. Any other name is a file; FIFOs, /dev/stdin and other special files
// given by their path are read like files, but only regular files have a
// size and answer is_file().
//
// Sharing: without SHARE the file is taken exclusively (an advisory lock, so
// it only keeps out other openers that lock too, such as this library); with
// SHARE other shared openers are let in. TRUNCATE needs WRITE: a reader never
// empties a file. Directories are refused. Descriptors are never inherited by
// spawned programs. The permission bits apply to created files; a FIFO is
// always made with mode 0600.
//
// map() hands out views the caller owns and returns through unmap(); views
// stay valid after resize() and close(). Offsets must be multiples of the page
// size (the callers align to fs::allocation_granularity()).
#pragma once

#include <cstdint>
#include <string>

#include "io/ioconn.hpp"
#include "io/positional.hpp"

namespace orv::inpout {

class iofile : public ioconn, public positional {
 public:
  iofile() = default;
  ~iofile() override;

  void close() override;
  // At the length for a file; for a pipe, once the writer has gone and
  // everything was read.
  bool eof() override;
  bool is_open() const override { return fd_ >= 0; }
  // The flags of the current opening; 0 when closed.
  int mode() const override { return mode_; }
  int write(const void* buf, int n) override;
  int read(void* buf, int n) override;
  // Up to n bytes at offset, the position left where it is: several threads
  // may read one open file this way at once. Like read(), -1 on failure, but
  // errno tells why (the connection's error state is not touched).
  int pread(void* buf, int n, std::int64_t offset) const override;
  // size() for a const file; the same error.
  std::int64_t length() const override;
  bool is_file() const override { return fd_ >= 0 && !pipe_ && regular_; }
  // This file when it is a regular one.
  const positional* as_positional() const override { return is_file() ? this : nullptr; }
  std::int64_t lseek(std::int64_t offset, int whence) override;
  // Throws "iofile::size(): cannot access file size." when the connection has
  // no length (closed, a pipe, a terminal).
  std::int64_t size() override;
  // Grows the file to its final length first when src is a file.
  std::int64_t copy_all_from(ioconn& src) override;
  std::string error_text() const override;

  // 0 standard input (READ), 1 standard output, 2 standard error (WRITE).
  // The stream is duplicated, so close() leaves the process's own intact.
  bool open_std(int which);
  bool open(const std::string& name, int flags, int perm);
  // Opens and makes sure the file is at least one byte long.
  bool open_nonempty(const std::string& name, int flags, int perm);
  // Sets the length; -1 when closed, length < 0 or opened without WRITE.
  std::int64_t resize(std::int64_t length);
  // A view of length bytes at offset, or null. Throws
  // "Could _not create memory mapping." when the file cannot be mapped at all
  // and "Could not map large files." for a length of 4 GiB or more.
  void* map(std::int64_t offset, std::int64_t length);
  bool unmap(const void* view, int length);
  bool flush_map(const void* view, int length);

 private:
  bool open_pipe(const std::string& name, int flags, int perm);
  bool serve_pipe(const std::string& path, const std::string& name);
  bool take(int fd, const std::string& name);

  int mode_ = 0;
  int fd_ = -1;
  bool mapping_ = false;  // the file may be mapped; dropped by resize()
  bool pipe_ = false;     // opened by a pipe name
  bool regular_ = false;  // a regular file: it has a length and positions
  int last_error_ = 0;
  std::string name_;
};

}  // namespace orv::inpout
