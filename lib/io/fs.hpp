// File-system functions and the connection over a bare descriptor.
//
// fs::iofd wraps an integer descriptor it owns (closed by close()). It has no
// positions: lseek, tell and size throw "lseek not available".
//
// Named pipes \\.\pipe\NAME live as FIFOs at pipe_path(): NAME under the
// directory named by TMPDIR, or /tmp when TMPDIR is unset or empty. NAME must
// be non-empty, must not contain '/' and must not be "." or "..".
//
// spawn() starts a program found on the executable path with its standard
// output and/or input on new pipes. The parent's own standard streams are not
// touched, the child gets none of the parent's other descriptors, and the
// child is not awaited (finished children are reaped by later spawns).
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "io/ioconn.hpp"

namespace orv::inpout::fs {

class iofd : public ioconn {
 public:
  iofd() = default;
  ~iofd() override;

  void close() override;
  // True at the end of the data, and when it cannot be told. On a pipe: the
  // writer has gone and nothing is left to read.
  bool eof() override;
  bool is_open() const override { return fd_ >= 0; }
  int mode() const override { return mode_; }
  bool rewind() override;
  int write(const void* buf, int n) override;
  int read(void* buf, int n) override;
  std::string error_text() const override;

  // Takes ownership of fd (closing what was held first); true when fd >= 0.
  bool open(int fd, int mode);
  int descriptor() const { return fd_; }

 private:
  int fd_ = -1;
  int mode_ = 0;
  int last_error_ = 0;
};

// first reads what the child writes, second writes to the child's input;
// either is null when not requested.
struct connection_pair {
  std::unique_ptr<iofd> first;
  std::unique_ptr<iofd> second;
};

bool is_pipe_name(const std::string& name);
// The FIFO path of a pipe name; empty when the name is no valid pipe name.
std::string pipe_path(const std::string& name);
// Makes the FIFO of a pipe name and removes it again, as a check that it can
// be made; an existing FIFO counts as success and is left alone. False for
// other names.
bool create_pipe(const std::string& name);
// 0 on success, 1 on failure. An existing target is never replaced.
int move_file(const std::string& from, const std::string& to);
// 0 on success, 1 on failure. Pipe names are not deleted (1).
int delete_file(const std::string& name);
// An anonymous pipe: first the reading end (READ), second the writing end
// (WRITE).
bool make_pipe(connection_pair& pair);
// flags: READ to read the child's standard output, WRITE to write its
// standard input. argv includes the program name as argv[0] (program itself
// is used when argv is empty).
bool spawn(connection_pair& pair, const std::string& program, const std::vector<std::string>& argv,
           int flags);

// The alignment of mapped views: 64 KiB rounded up to a multiple of the page
// size, so view offsets are the same on every system and always page-aligned.
int allocation_granularity();

}  // namespace orv::inpout::fs
