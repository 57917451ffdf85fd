// Small wrappers over POSIX descriptor calls shared by the connections over
// descriptors (iofile, fs::iofd). Internal to the library.
#pragma once

#include <string>

namespace orv::inpout::detail {

// read(2), retried when a signal interrupts it. -1 on failure (errno set).
int read_fd(int fd, void* buf, int n);

// write(2), retried when interrupted, without letting a reader that has gone
// away kill the process with SIGPIPE: the signal is held back for the call and
// a broken pipe becomes an ordinary -1 with errno EPIPE.
int write_fd(int fd, const void* buf, int n);

// For a descriptor without a length (pipe, terminal): true when the writer
// has gone and nothing is left to read, or when it cannot be told.
bool stream_at_end(int fd);

// The system's message text for an errno value.
std::string errno_text(int err);

}  // namespace orv::inpout::detail
