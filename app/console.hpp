// The console: what the run prints on standard output. Counts and timings
// are the run's report, so a console that cannot be written (a full device,
// a closed descriptor, a pipe whose reader has gone) must not pass for a
// complete run. console_buffer writes straight to a descriptor and keeps the
// reason of the first failed write; later output is dropped. The caller
// decides what the failure means for the exit status. Output is held, as the
// C library holds standard output, in a buffer of the descriptor's block
// size until a flush or until the buffer is full.
//
// REQUIRES: SIGPIPE ignored, so that a reader that has gone shows as EPIPE.
#pragma once

#include <memory>
#include <streambuf>

namespace kelcmd {

class console_buffer : public std::streambuf {
 public:
  explicit console_buffer(int fd);
  ~console_buffer() override;
  console_buffer(const console_buffer&) = delete;
  console_buffer& operator=(const console_buffer&) = delete;

  // The errno of the first write that failed; 0 while every write succeeded.
  int failure() const { return failure_; }

 protected:
  int_type overflow(int_type c) override;
  int sync() override;

 private:
  bool drain();

  int fd_;
  int failure_ = 0;
  std::size_t size_;
  std::unique_ptr<char[]> buffer_;
};

// A standard descriptor closed by the caller would go to the next file the
// run opens, and console lines could end up inside an output file. Each
// one is held instead by a stand-in that behaves like the closed descriptor:
// stdin by a directory (it cannot be read, and /dev/stdin cannot be opened
// as an input), stdout and stderr by /dev/full (every write fails, so an
// output named /dev/stdout is reported as not written rather than lost).
// Call first in main(). Answers whether standard output was closed.
bool hold_standard_descriptors();

// The exit status once the run is over and its output files closed: lost
// console lines make a run that succeeded a failure, told on stderr (which
// may still reach the user) after the program's name.
int console_status(const console_buffer& console, bool stdout_closed, int status, const char* program);

}  // namespace kelcmd
