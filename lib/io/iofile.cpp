#include "iofile.hpp"

#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <poll.h>

#include <chrono>
#include <iostream>
#include <optional>
#include <thread>

#include "io/fs.hpp"
#include "io/posix.hpp"
#include "io/unlink_on_signal.hpp"
#include "util/error.hpp"

namespace orv::inpout {

namespace {

int open_retrying(const char* path, int oflags, int perm) {
  for (;;) {
    const int fd = ::open(path, oflags, perm);
    if (fd >= 0 || errno != EINTR) return fd;
  }
}

void close_keeping_errno(int fd) {
  const int saved = errno;
  ::close(fd);
  errno = saved;
}

}  // namespace

iofile::~iofile() { close(); }

void iofile::close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  mode_ = 0;
  mapping_ = false;
  pipe_ = false;
  regular_ = false;
}

bool iofile::take(int fd, const std::string& name) {
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    close_keeping_errno(fd);
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    ::close(fd);
    errno = EISDIR;
    return false;
  }
  fd_ = fd;
  regular_ = S_ISREG(st.st_mode);
  name_ = name;
  last_error_ = 0;
  return true;
}

bool iofile::open_std(int which) {
  close();
  if (which < 0 || which > 2) return false;
  const int fd = ::fcntl(which, F_DUPFD_CLOEXEC, 3);
  if (fd < 0) return false;
  static const char* const names[] = {"<stdin>", "<stdout>", "<stderr>"};
  if (!take(fd, names[which])) return false;
  mode_ = which == 0 ? READ : WRITE;
  return true;
}

bool iofile::open(const std::string& name, int flags, int perm) {
  close();
  if (fs::is_pipe_name(name)) return open_pipe(name, flags, perm);
  // Emptying needs write access, as it does on systems with real share modes.
  if ((flags & TRUNCATE) && !(flags & WRITE)) return false;

  int oflags = O_CLOEXEC | O_NOCTTY;
  if ((flags & READ) && (flags & WRITE))
    oflags |= O_RDWR;
  else if (flags & WRITE)
    oflags |= O_WRONLY;
  else
    oflags |= O_RDONLY;
  if (flags & CREATE) oflags |= O_CREAT;

  const int fd = open_retrying(name.c_str(), oflags, perm);
  if (fd < 0 || !take(fd, name)) return false;

  // Truncation waits until the lock is held, so an exclusive holder's file is
  // never emptied under it.
  if (::flock(fd_, ((flags & SHARE) ? LOCK_SH : LOCK_EX) | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    close();
    return false;
  }
  if ((flags & TRUNCATE) && ::ftruncate(fd_, 0) != 0) {
    close();
    return false;
  }
  if (regular_)
    ::posix_fadvise(fd_, 0, 0, (flags & SEQUENTIAL) ? POSIX_FADV_SEQUENTIAL : POSIX_FADV_RANDOM);
  if ((flags & APPEND) && ::lseek(fd_, 0, SEEK_END) < 0) {
    close();
    return false;
  }
  mode_ = flags;
  return true;
}

bool iofile::open_pipe(const std::string& name, int flags, int /*perm: a FIFO is always private*/) {
  const std::string path = fs::pipe_path(name);
  if (path.empty()) return false;

  if (flags & READ) {
    if (!serve_pipe(path, name)) return false;
  } else {
    // The client side: a FIFO opened for writing without a reader fails with
    // ENXIO, a missing one with ENOENT; both mean "not yet", so wait and retry.
    // Anything else (no permission, not a FIFO) would never succeed.
    int fd;
    for (;;) {
      fd = open_retrying(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0);
      if (fd >= 0) break;
      if (errno != ENOENT && errno != ENXIO) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISFIFO(st.st_mode)) {
      ::close(fd);
      return false;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    if (!take(fd, name)) return false;
  }
  pipe_ = true;
  regular_ = false;
  mode_ = flags;
  return true;
}

// The server side of a named pipe. The FIFO is made private (mode 0600); one
// already there is used only if it is a FIFO of this user that no one else
// may write to, since whoever can write to it could feed the run. The FIFO
// is locked, so that a second reader of the name is refused instead of
// taking half of the writer's lines, and then waited on until a writer
// comes. A FIFO made here is removed as soon as the writer is connected (the
// name is no longer needed), when the wait fails, and when a signal stops
// the process during the wait.
bool iofile::serve_pipe(const std::string& path, const std::string& name) {
  bool made = ::mkfifo(path.c_str(), 0600) == 0;
  if (!made && errno != EEXIST) return false;
  const auto acceptable = [](const struct stat& st) {
    return S_ISFIFO(st.st_mode) && st.st_uid == ::geteuid() && (st.st_mode & (S_IWGRP | S_IWOTH)) == 0;
  };
  struct stat named;
  if (::lstat(path.c_str(), &named) != 0 || !acceptable(named)) {
    errno = EPERM;
    return false;
  }
  std::optional<detail::unlink_on_signal> guard;
  if (made) guard.emplace(path);
  const auto give_up = [&](int code) {
    if (made) {
      guard.reset();  // before the name is freed: a signal must not remove a successor
      ::unlink(path.c_str());
    }
    errno = code;
    return false;
  };
  // Opened without waiting: the lock must be taken before the wait.
  const int fd = open_retrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW, 0);
  if (fd < 0) return give_up(errno);
  struct stat opened;
  if (::fstat(fd, &opened) != 0 || opened.st_dev != named.st_dev || opened.st_ino != named.st_ino ||
      !acceptable(opened)) {
    ::close(fd);
    return give_up(EPERM);
  }
  // As for files, a file system without locks cannot tell: go on.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    ::close(fd);
    // The FIFO is the other reader's now: leave it to it.
    made = false;
    return give_up(EBUSY);
  }
  // Until a writer has come, the FIFO shows neither data nor a hang-up.
  pollfd wait{fd, POLLIN, 0};
  for (;;) {
    const int r = ::poll(&wait, 1, -1);
    if (r > 0) break;
    if (r < 0 && errno != EINTR) {
      const int code = errno;
      ::close(fd);
      return give_up(code);
    }
  }
  if (made) {
    guard.reset();
    ::unlink(path.c_str());
  }
  ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  return take(fd, name);
}

bool iofile::open_nonempty(const std::string& name, int flags, int perm) {
  open(name, flags, perm);
  if (size() != 0) return true;
  // resize answers -1 when it cannot write; only a real one-byte file counts.
  return resize(1) == 1;
}

bool iofile::eof() {
  if (fd_ >= 0 && (pipe_ || !regular_)) return detail::stream_at_end(fd_);
  return ioconn::eof();
}

int iofile::read(void* buf, int n) {
  if (n <= 0) return 0;
  const int r = detail::read_fd(fd_, buf, n);
  if (r < 0) last_error_ = errno;
  return r;
}

int iofile::pread(void* buf, int n, std::int64_t offset) const {
  if (n <= 0) return 0;
  for (;;) {
    const ssize_t r = ::pread(fd_, buf, static_cast<size_t>(n), static_cast<off_t>(offset));
    if (r >= 0) return static_cast<int>(r);
    if (errno != EINTR) return -1;
  }
}

int iofile::write(const void* buf, int n) {
  if (n <= 0) return 0;
  const int w = detail::write_fd(fd_, buf, n);
  if (w < 0) {
    last_error_ = errno;
    // Every failed write is announced on the console with the system's
    // reason, so it leaves a trace even where the caller ignores the count.
    std::cout << detail::errno_text(last_error_) << std::endl;
  }
  return w;
}

std::int64_t iofile::lseek(std::int64_t offset, int whence) {
  int w;
  switch (whence) {
    case LSEEK_SET: w = SEEK_SET; break;
    case LSEEK_CUR: w = SEEK_CUR; break;
    case LSEEK_END: w = SEEK_END; break;
    default: return -1;
  }
  if (fd_ < 0) return -1;
  return ::lseek(fd_, static_cast<off_t>(offset), w);
}

std::int64_t iofile::size() { return length(); }

std::int64_t iofile::length() const {
  struct stat st;
  if (fd_ < 0 || pipe_ || ::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode))
    throw orv::util::error("iofile::size(): cannot access file size.");
  return st.st_size;
}

std::int64_t iofile::copy_all_from(ioconn& src) {
  if (src.is_file()) {
    // The final length first, shrinking too: an old tail beyond the copy
    // would otherwise stay behind the new data.
    resize(tell() + src.size() - src.tell());
  }
  return ioconn::copy_all_from(src);
}

std::string iofile::error_text() const {
  if (last_error_ == 0) return {};
  return name_ + ": " + detail::errno_text(last_error_);
}

std::int64_t iofile::resize(std::int64_t length) {
  if (fd_ < 0 || length < 0 || !(mode_ & WRITE)) return -1;
  std::int64_t here = tell();
  if (here > length) here = length;
  mapping_ = false;
  const bool ok = ::lseek(fd_, length, SEEK_SET) == length && ::ftruncate(fd_, length) == 0;
  const bool back = ::lseek(fd_, here, SEEK_SET) == here;
  if (ok && back) return length;
  return size();
}

void* iofile::map(std::int64_t offset, std::int64_t length) {
  if (length <= 0) return nullptr;
  if (!mapping_) {
    if (size() == 0 && resize(1) == 0) return nullptr;
    // A mapping needs read access and at least one byte of file.
    if (!(mode_ & READ) || pipe_ || size() == 0) throw orv::util::error("Could _not create memory mapping.");
    mapping_ = true;
  }
  if (length >= (std::int64_t{1} << 32)) throw orv::util::error("Could not map large files.");
  // A view past the end of the file would fault on access: refuse it.
  if (offset < 0 || offset % fs::allocation_granularity() != 0 || length > size() - offset) return nullptr;
  const int prot = (mode_ & WRITE) ? (PROT_READ | PROT_WRITE) : PROT_READ;
  void* view = ::mmap(nullptr, static_cast<size_t>(length), prot, MAP_SHARED, fd_, static_cast<off_t>(offset));
  return view == MAP_FAILED ? nullptr : view;
}

bool iofile::unmap(const void* view, int length) {
  if (!view) return true;
  return ::munmap(const_cast<void*>(view), static_cast<size_t>(length)) == 0;
}

bool iofile::flush_map(const void* view, int length) {
  if (!view) return true;
  return ::msync(const_cast<void*>(view), static_cast<size_t>(length), MS_SYNC) == 0;
}

}  // namespace orv::inpout
