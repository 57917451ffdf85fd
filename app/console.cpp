#include "console.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "run.hpp"

namespace kelcmd {

namespace {

std::size_t block_size(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0 || st.st_blksize <= 0) return 4096;
  return std::clamp<std::size_t>(static_cast<std::size_t>(st.st_blksize), 512, 65536);
}

}  // namespace

console_buffer::console_buffer(int fd)
    : fd_(fd), size_(block_size(fd)), buffer_(std::make_unique<char[]>(size_)) {
  setp(buffer_.get(), buffer_.get() + size_);
}

console_buffer::~console_buffer() { drain(); }

bool console_buffer::drain() {
  const char* p = pbase();
  const char* const end = pptr();
  setp(buffer_.get(), buffer_.get() + size_);
  if (failure_ != 0) return false;
  while (p < end) {
    const ssize_t n = ::write(fd_, p, static_cast<std::size_t>(end - p));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failure_ = n < 0 ? errno : EIO;
      return false;
    }
    p += n;
  }
  return true;
}

console_buffer::int_type console_buffer::overflow(int_type c) {
  if (!drain()) return traits_type::eof();
  if (!traits_type::eq_int_type(c, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(c);
    pbump(1);
  }
  return traits_type::not_eof(c);
}

int console_buffer::sync() { return drain() ? 0 : -1; }

// open() takes the lowest free number, which is the one being held.
bool hold_standard_descriptors() {
  bool stdout_closed = false;
  for (int fd = 0; fd <= 2; ++fd)
    if (fcntl(fd, F_GETFD) == -1 && errno == EBADF) {
      fd == 0 ? open("/", O_RDONLY | O_DIRECTORY) : open("/dev/full", O_WRONLY);
      stdout_closed = stdout_closed || fd == 1;
    }
  return stdout_closed;
}

int console_status(const console_buffer& console, bool stdout_closed, int status, const char* program) {
  if (console.failure() == 0) return status;
  const std::string why = stdout_closed ? "standard output is closed" : std::strerror(console.failure());
  const std::string line = std::string(program) + ": cannot write the console: " + why + "\n";
  if (write(STDERR_FILENO, line.data(), line.size()) < 0) {
    // Nowhere left to tell it; the status still does.
  }
  return status == exit_ok ? exit_failed : status;
}

}  // namespace kelcmd
