#include "textout.hpp"

#include <cerrno>
#include <cstring>

#include "util/error.hpp"

namespace kel {

// The buffer is left uninitialized: zeroing a megabyte per file costs more
// than the short runs it serves.
textout::textout(const std::string& name)
    : name_(name), buffer_(std::make_unique_for_overwrite<char[]>(buffer_size)) {
  // A row shorter than the buffer reaches the file in one write, so a run
  // that is killed leaves only complete rows behind.
  file_.rdbuf()->pubsetbuf(buffer_.get(), buffer_size);
  errno = 0;
  file_.open(name, std::ios::out | std::ios::trunc);
  if (!file_.is_open()) {
    const int code = errno;
    throw orv::util::error("cannot create output file " + name +
                           (code != 0 ? std::string(": ") + std::strerror(code) : std::string()));
  }
}

void textout::fail() const {
  const int code = errno;
  throw orv::util::error("cannot write output file " + name_ +
                         (code != 0 ? std::string(": ") + std::strerror(code) : std::string()));
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

}  // namespace kel
