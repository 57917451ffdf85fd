#include "textout.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "io/posix.hpp"
#include "util/error.hpp"

namespace orv::inpout {

namespace {

// The system's reason, when it gave one.
std::string reason(int code) { return code != 0 ? ": " + detail::errno_text(code) : std::string(); }

[[noreturn]] void cannot_create(const std::string& name, int code) {
  throw orv::util::error("cannot create output file " + name + reason(code));
}

// Opens the file for writing and empties it, but only once this process
// holds it alone: two runs writing one file would splice their rows together,
// and a run must not empty a file that another run is still reading. Only
// regular files are locked and emptied; a device, FIFO or terminal is written
// as it is.
int open_alone(const std::string& name) {
  int fd;
  do {
    fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) cannot_create(name, errno);
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int code = errno;
    ::close(fd);
    cannot_create(name, code);
  }
  if (!S_ISREG(st.st_mode)) return fd;
  // A file system without locks (some network ones) cannot say: write anyway.
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
    // Readers share their lock: if a shared one can be had, only readers hold it.
    const bool read = ::flock(fd, LOCK_SH | LOCK_NB) == 0;
    ::close(fd);
    throw orv::util::error("output file " + name + (read ? " is being read by another run"
                                                         : " is being written by another run"));
  }
  if (::ftruncate(fd, 0) != 0) {
    const int code = errno;
    ::close(fd);
    cannot_create(name, code);
  }
  return fd;
}

}  // namespace

// The buffer is left uninitialized: zeroing a megabyte per file costs more
// than the short runs it serves.
textout::textout(const std::string& name) : name_(name) {
  const int fd = open_alone(name);
  try {
    buffer_ = std::make_unique<__gnu_cxx::stdio_filebuf<char>>(fd, std::ios::out, buffer_size);
  } catch (...) {
    ::close(fd);
    throw;
  }
  if (!buffer_->is_open()) {
    ::close(fd);
    cannot_create(name, ENOMEM);
  }
  // A row shorter than the buffer reaches the file in one write, so a run
  // that is killed leaves only complete rows behind. The lock goes with the
  // descriptor, which the buffer closes.
  file_.rdbuf(buffer_.get());
}

textout::~textout() = default;

void textout::fail() const {
  const int code = errno;
  throw orv::util::error("cannot write output file " + name_ + reason(code));
}

// A text of a kilobyte or more goes past the buffer, straight to the file,
// so a write may have failed before the flush: its errno is the reason.
void textout::end_line() {
  if (file_) errno = 0;
  file_.put('\n');
  file_.flush();
  if (!file_) fail();
}

void textout::finish() {
  if (file_) errno = 0;
  file_.flush();
  if (!file_) fail();
}

}  // namespace orv::inpout
