#include "posix.hpp"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

namespace orv::inpout::detail {

int read_fd(int fd, void* buf, int n) {
  for (;;) {
    const ssize_t r = ::read(fd, buf, static_cast<size_t>(n));
    if (r >= 0) return static_cast<int>(r);
    if (errno != EINTR) return -1;
  }
}

int write_fd(int fd, const void* buf, int n) {
  // Block SIGPIPE for this thread; if the write raises it, take the pending
  // signal off again unless it was already pending before. A write cut short
  // by the reader closing returns the count written and still raises it, so
  // the pending set decides, not the result.
  sigset_t pipe_set, old_set;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  sigset_t pending;
  sigemptyset(&pending);
  sigpending(&pending);
  const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
  const bool masked = pthread_sigmask(SIG_BLOCK, &pipe_set, &old_set) == 0;

  ssize_t w;
  do {
    w = ::write(fd, buf, static_cast<size_t>(n));
  } while (w < 0 && errno == EINTR);
  const int saved = errno;

  if (masked) {
    if (!was_pending) {
      sigemptyset(&pending);
      if (sigpending(&pending) == 0 && sigismember(&pending, SIGPIPE) == 1) {
        const timespec zero{0, 0};
        while (sigtimedwait(&pipe_set, nullptr, &zero) < 0 && errno == EINTR) {
        }
      }
    }
    pthread_sigmask(SIG_SETMASK, &old_set, nullptr);
  }
  errno = saved;
  return w < 0 ? -1 : static_cast<int>(w);
}

bool stream_at_end(int fd) {
  pollfd p{fd, POLLIN, 0};
  const int r = ::poll(&p, 1, 0);
  if (r < 0) return true;
  if (r == 0 || (p.revents & POLLIN)) return false;
  return (p.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
}

std::string errno_text(int err) {
  char buf[256];
  // GNU strerror_r answers a pointer that may or may not be buf.
  const char* text = strerror_r(err, buf, sizeof buf);
  return text ? std::string(text) : std::string("unknown error");
}

}  // namespace orv::inpout::detail
