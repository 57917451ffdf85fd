#include "iodigest.hpp"

#include <cerrno>
#include <vector>

#include "io/positional.hpp"
#include "io/posix.hpp"
#include "util/error.hpp"

namespace orv::inpout {

namespace {
constexpr int chunk = 1 << 20;
}  // namespace

int iodigest::read(void* buf, int n) {
  const int got = conn_->read(buf, n);
  if (got > 0) digest_.update(buf, static_cast<std::size_t>(got));
  return got;
}

void read_rest(ioconn& conn, const std::string& name) {
  std::vector<char> buffer(chunk);
  for (;;) {
    const int got = conn.read(buffer.data(), chunk);
    if (got == 0) return;
    if (got < 0) {
      const std::string why = conn.error_text();
      throw orv::util::error("cannot read " + name + (why.empty() ? std::string() : ": " + why));
    }
  }
}

void digest_positional(const positional& file, orv::util::sha256& digest, const std::string& name) {
  std::vector<char> buffer(chunk);
  for (std::int64_t at = 0;;) {
    errno = 0;
    const int got = file.pread(buffer.data(), chunk, at);
    if (got == 0) return;
    if (got < 0) {
      const int code = errno;
      throw orv::util::error("cannot read " + name + (code != 0 ? ": " + detail::errno_text(code) : std::string()));
    }
    digest.update(buffer.data(), static_cast<std::size_t>(got));
    at += got;
  }
}

}  // namespace orv::inpout
