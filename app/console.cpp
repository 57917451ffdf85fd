#include "console.hpp"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include <cerrno>

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

}  // namespace kelcmd
