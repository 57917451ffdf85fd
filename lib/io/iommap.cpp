#include "iommap.hpp"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstring>
#include <iostream>

#include "io/fs.hpp"
#include "util/error.hpp"

namespace orv::inpout {

std::atomic<long> iommap::remaps_{0};

namespace {
constexpr int default_window = 4 * 1024 * 1024;
}

iommap::iommap() : window_(0) { set_window(default_window); }

iommap::~iommap() {
  close();
  delete[] line_;
}

int iommap::set_window(int bytes) {
  const int g = fs::allocation_granularity();
  window_ = bytes < g ? g : bytes / g * g;
  return window_;
}

void iommap::unmap_view() {
  if (view_length_ != 0) file_.unmap(view_, view_length_);
  view_ = nullptr;
  view_length_ = 0;
}

void iommap::close() {
  unmap_view();
  file_.close();
  start_ = 0;
  cursor_ = 0;
}

bool iommap::open(const std::string& name, int flags, int perm) {
  close();
  file_.open(name, flags, perm);
  if (!file_.is_open()) return false;
  start_ = 0;
  remap();
  return true;
}

void iommap::remap() {
  unmap_view();
  const long count = ++remaps_;
  const std::uint64_t size = static_cast<std::uint64_t>(file_.size());
  if (start_ >= size) {
    start_ = size;
    cursor_ = 0;
    return;
  }
  const std::uint64_t g = static_cast<std::uint64_t>(fs::allocation_granularity());
  cursor_ = static_cast<int>(start_ % g);
  start_ -= static_cast<std::uint64_t>(cursor_);
  // A view length is an int: very large windows are cut to what it holds.
  const std::uint64_t largest = static_cast<std::uint64_t>(INT_MAX) / g * g;
  const std::uint64_t span = std::min<std::uint64_t>(4 * static_cast<std::uint64_t>(window_), largest);
  const std::uint64_t length = size - start_ < span ? size - start_ : span;
  void* v = file_.map(static_cast<std::int64_t>(start_), static_cast<std::int64_t>(length));
  if (!v) {
    std::cout << "@@" << count << std::endl;
    throw orv::util::error("iommap::remap failed.");
  }
  view_ = static_cast<unsigned char*>(v);
  view_length_ = static_cast<int>(length);
}

bool iommap::eof() { return static_cast<std::uint64_t>(file_.size()) == start_ + static_cast<std::uint64_t>(cursor_); }

int iommap::write(const void*, int) { throw orv::util::error("iommap::write not implemented yet"); }

int iommap::read(void* buf, int n) {
  if (n <= 0) return 0;
  char* out = static_cast<char*>(buf);
  int done = 0;
  while (done < n) {
    const int available = view_length_ - cursor_;
    const int want = n - done;
    if (available >= want) {
      std::memcpy(out + done, view_ + cursor_, static_cast<std::size_t>(want));
      cursor_ += want;
      return n;
    }
    if (available > 0) {
      std::memcpy(out + done, view_ + cursor_, static_cast<std::size_t>(available));
      done += available;
    }
    start_ += static_cast<std::uint64_t>(view_length_);
    remap();
    if (view_length_ == 0) break;
  }
  return done;
}

std::int64_t iommap::lseek(std::int64_t offset, int whence) {
  std::int64_t target;
  switch (whence) {
    case LSEEK_SET: target = offset; break;
    case LSEEK_CUR: target = tell() + offset; break;
    case LSEEK_END: target = size() + offset; break;
    default: return -1;
  }
  if (target < 0) return -1;
  const std::uint64_t t = static_cast<std::uint64_t>(target);
  if (t >= start_ && t < start_ + static_cast<std::uint64_t>(view_length_)) {
    cursor_ = static_cast<int>(t - start_);
  } else {
    start_ = t;
    remap();
  }
  return target;
}

bool iommap::read_line() {
  int length = 0;
  bool any = false;
  for (;;) {
    if (cursor_ >= view_length_) {
      start_ += static_cast<std::uint64_t>(view_length_);
      remap();
      if (view_length_ == 0) {
        if (!any) return false;
        break;
      }
    }
    const unsigned char* from = view_ + cursor_;
    const int available = view_length_ - cursor_;
    const void* lf = std::memchr(from, '\n', static_cast<std::size_t>(available));
    const int take = lf ? static_cast<int>(static_cast<const unsigned char*>(lf) - from) : available;
    if (static_cast<std::int64_t>(length) + take + 1 > 2147483647)
      throw orv::util::error("iommap::read_line(): out of memory");
    if (length + take + 1 > line_capacity_) {
      char* bigger = new char[static_cast<std::size_t>(length) + static_cast<std::size_t>(take) + 1];
      if (length > 0) std::memcpy(bigger, line_, static_cast<std::size_t>(length));
      delete[] line_;
      line_ = bigger;
      line_capacity_ = length + take + 1;
    }
    std::memcpy(line_ + length, from, static_cast<std::size_t>(take));
    length += take;
    any = true;
    cursor_ += take;
    if (lf) {
      ++cursor_;  // past the line feed: the next line starts there
      break;
    }
  }
  line_[length] = '\0';
  return true;
}

std::int64_t iommap::resize(std::int64_t length) {
  const std::int64_t here = tell();
  unmap_view();
  start_ = static_cast<std::uint64_t>(length >= 0 && here > length ? length : here);
  cursor_ = 0;
  const std::int64_t r = file_.resize(length);
  remap();
  return r;
}

}  // namespace orv::inpout
