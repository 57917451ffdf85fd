#include "textout.hpp"

#include <cerrno>

#include "io/posix.hpp"
#include "util/error.hpp"

namespace orv::inpout {

namespace {

// The system's reason, when it gave one.
std::string reason(int code) { return code != 0 ? ": " + detail::errno_text(code) : std::string(); }

}  // namespace

// The buffer is left uninitialized: zeroing a megabyte per file costs more
// than the short runs it serves.
textout::textout(const std::string& name)
    : name_(name), buffer_(std::make_unique_for_overwrite<char[]>(buffer_size)) {
  file_.rdbuf()->pubsetbuf(buffer_.get(), buffer_size);
  errno = 0;
  file_.open(name, std::ios::out | std::ios::trunc);
  if (!file_.is_open()) {
    const int code = errno;
    throw orv::util::error("cannot create output file " + name + reason(code));
  }
}

void textout::fail() const {
  const int code = errno;
  throw orv::util::error("cannot write output file " + name_ + reason(code));
}

void textout::end_line() {
  file_.put('\n');
  errno = 0;
  file_.flush();
  if (!file_) fail();
}

void textout::finish() {
  errno = 0;
  file_.flush();
  if (!file_) fail();
}

}  // namespace orv::inpout
