#include "outfile.hpp"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "util/error.hpp"

namespace kelimport {

namespace {
constexpr std::size_t buffer_size = 1 << 20;

// The permissions a newly created file gets from this process's umask.
mode_t default_mode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}
}  // namespace

staged_file::staged_file(std::string target) : target_(std::move(target)), buffer_(buffer_size) {
  temporary_ = target_ + ".tmp-XXXXXX";
  fd_ = ::mkostemp(temporary_.data(), O_CLOEXEC);
  if (fd_ < 0) {
    const int err = errno;
    throw orv::util::error("cannot create output file " + target_ + ": " + std::strerror(err));
  }
}

staged_file::~staged_file() {
  if (fd_ >= 0) {
    ::close(fd_);
    ::unlink(temporary_.c_str());
  }
}

void staged_file::fail(int err) const {
  throw orv::util::error("cannot write output file " + target_ + ": " + std::strerror(err));
}

void staged_file::write_through(std::string_view bytes) {
  while (!bytes.empty()) {
    const ssize_t n = ::write(fd_, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      fail(errno);
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
}

void staged_file::flush() {
  write_through(std::string_view(buffer_.data(), used_));
  used_ = 0;
}

void staged_file::commit() {
  flush();
  if (::fchmod(fd_, default_mode()) != 0 || ::close(fd_) != 0) {
    const int err = errno;
    fd_ = -1;
    ::unlink(temporary_.c_str());
    fail(err);
  }
  fd_ = -1;
  if (::rename(temporary_.c_str(), target_.c_str()) != 0) {
    const int err = errno;
    ::unlink(temporary_.c_str());
    fail(err);
  }
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat x, y;
  return ::stat(a.c_str(), &x) == 0 && ::stat(b.c_str(), &y) == 0 && x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

}  // namespace kelimport
