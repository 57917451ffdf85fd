#include "iorange.hpp"

#include <errno.h>

#include <cassert>
#include <cstring>
#include <memory>

#include "io/posix.hpp"
#include "util/error.hpp"

namespace orv::inpout {

iorange::iorange(const positional& file, std::int64_t begin, std::int64_t end)
    : file_(&file), begin_(begin), end_(end), position_(begin) {
  assert(0 <= begin && begin <= end);
}

int iorange::read(void* buf, int n) {
  if (!file_) return -1;
  if (n <= 0 || position_ >= end_) return 0;
  if (end_ - position_ < n) n = static_cast<int>(end_ - position_);
  const int got = file_->pread(buf, n, position_);
  if (got < 0) {
    last_error_ = errno;
    return -1;
  }
  position_ += got;
  return got;
}

std::int64_t iorange::lseek(std::int64_t offset, int whence) {
  std::int64_t base;
  switch (whence) {
    case LSEEK_SET: base = 0; break;
    case LSEEK_CUR: base = position_ - begin_; break;
    case LSEEK_END: base = end_ - begin_; break;
    default: return -1;
  }
  if (!file_ || offset < -base || offset > end_ - begin_ - base) return -1;
  position_ = begin_ + base + offset;
  return position_ - begin_;
}

std::string iorange::error_text() const {
  return last_error_ == 0 ? std::string() : detail::errno_text(last_error_);
}

namespace {

constexpr int scan_chunk = 65536;

[[noreturn]] void scan_failed() {
  throw orv::util::error("iorange: read error: " + detail::errno_text(errno));
}

// The offset just after the first line feed at or after from; size when
// the file has none there.
std::int64_t next_line_start(const positional& file, std::int64_t from, std::int64_t size) {
  auto buf = std::make_unique<char[]>(scan_chunk);
  while (from < size) {
    const int want = size - from < scan_chunk ? static_cast<int>(size - from) : scan_chunk;
    const int got = file.pread(buf.get(), want, from);
    if (got < 0) scan_failed();
    if (got == 0) break;  // the file is shorter than it was
    if (const void* lf = std::memchr(buf.get(), '\n', static_cast<std::size_t>(got)))
      return from + (static_cast<const char*>(lf) - buf.get()) + 1;
    from += got;
  }
  return size;
}

}  // namespace

std::vector<std::int64_t> line_bounds(const positional& file, std::int64_t size, unsigned parts) {
  assert(parts >= 1 && size >= 0);
  std::vector<std::int64_t> bounds(parts + 1, size);
  bounds[0] = 0;
  const std::int64_t share = size / parts;
  const std::int64_t rest = size % parts;
  for (unsigned i = 1; i < parts; ++i) {
    // i * size / parts without overflow.
    const std::int64_t target = share * i + rest * i / parts;
    const std::int64_t previous = bounds[i - 1];
    // A line starts right after every line feed: look from the byte
    // before the target. A previous bound past the target is a line start.
    bounds[i] = previous >= target ? previous : next_line_start(file, target - 1, size);
  }
  return bounds;
}

std::vector<std::unique_ptr<ioconn>> line_parts(const positional& file, unsigned parts) {
  const std::vector<std::int64_t> bounds = line_bounds(file, file.length(), parts);
  std::vector<std::unique_ptr<ioconn>> ranges;
  ranges.reserve(parts);
  for (unsigned i = 0; i < parts; ++i) ranges.push_back(std::make_unique<iorange>(file, bounds[i], bounds[i + 1]));
  return ranges;
}

}  // namespace orv::inpout
