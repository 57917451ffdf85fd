#include "ioconn.hpp"

#include <cstring>
#include <memory>

#include "util/error.hpp"

namespace orv::inpout {

namespace {
constexpr int copy_chunk = 65536;

// Writes a whole chunk; a short write is retried so no byte read from the
// source is dropped. Answers the bytes written, fewer only on failure.
int write_chunk(ioconn& to, const char* buf, int n) {
  int done = 0;
  while (done < n) {
    const int w = to.write(buf + done, n - done);
    if (w <= 0) break;
    done += w;
  }
  return done;
}
}  // namespace

bool ioconn::eof() { return tell() == size(); }

bool ioconn::rewind() { return lseek(0, LSEEK_SET) == 0; }

int ioconn::write_line(const char* text) {
  const int n = write(text, static_cast<int>(std::strlen(text)));
  return n + write("\n", 1);
}

std::int64_t ioconn::copy_from(ioconn& src, std::int64_t n) {
  if (n <= 0) return 0;
  auto buf = std::make_unique<char[]>(copy_chunk);
  std::int64_t remaining = n;
  while (remaining > 0) {
    const int want = remaining < copy_chunk ? static_cast<int>(remaining) : copy_chunk;
    const int got = src.read(buf.get(), want);
    if (got <= 0) break;
    const int written = write_chunk(*this, buf.get(), got);
    remaining -= written;
    if (written < got) break;
  }
  return n - remaining;
}

std::int64_t ioconn::copy_all_from(ioconn& src) {
  auto buf = std::make_unique<char[]>(copy_chunk);
  std::int64_t total = 0;
  for (;;) {
    const int got = src.read(buf.get(), copy_chunk);
    if (got <= 0) break;
    const int written = write_chunk(*this, buf.get(), got);
    total += written;
    if (written < got) break;
  }
  return total;
}

std::int64_t ioconn::lseek(std::int64_t, int) { throw orv::util::error("lseek not available"); }

std::int64_t ioconn::size() {
  const std::int64_t here = tell();
  const std::int64_t end = lseek(0, LSEEK_END);
  lseek(here, LSEEK_SET);
  return end;
}

}  // namespace orv::inpout
