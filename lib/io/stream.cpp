#include "stream.hpp"

#include <cassert>
#include <climits>
#include <cstring>

#include "util/error.hpp"

namespace orv::inpout {

stream::stream(ioconn* conn, bool owns, char separator, int capacity)
    : tokens(nullptr, '\t'),
      conn_(conn),
      buffer_(nullptr),
      capacity_(capacity < 1 ? 1 : capacity),
      owns_(owns),
      separator_(separator) {
  assert(capacity >= 1);
  buffer_ = new char[static_cast<std::size_t>(capacity_)];
  cursor_ = buffer_;
}

stream::~stream() {
  close();
  delete[] buffer_;
}

void stream::reset() {
  line_ = nullptr;
  line_length_ = 0;
  unread_ = 0;
  bytes_read_ = 0;
  cursor_ = buffer_;
}

bool stream::open(ioconn* conn, bool owns, char separator, int capacity) {
  close();
  conn_ = conn;
  owns_ = owns;
  separator_ = separator;
  if (capacity < 1) capacity = 1;
  if (capacity != capacity_) {
    delete[] buffer_;
    buffer_ = nullptr;
    buffer_ = new char[static_cast<std::size_t>(capacity)];
    capacity_ = capacity;
  }
  reset();
  return true;
}

void stream::close() {
  if (owns_ && conn_) {
    conn_->close();
    delete conn_;
    conn_ = nullptr;
  }
  reset();
}

bool stream::eof() {
  if (unread_ > 0) return false;
  return !conn_ || conn_->eof();
}

bool stream::rewind() {
  if (!conn_ || !conn_->rewind()) return false;
  reset();
  return true;
}

std::int64_t stream::lseek(std::int64_t offset, int whence) {
  if (!conn_) return -1;
  const std::int64_t r = conn_->lseek(offset, whence);
  if (r != -1) reset();
  return r;
}

// The line runs from the cursor to the line feed at lf.
bool stream::take_line(char* lf) {
  const int length = static_cast<int>(lf - cursor_) + 1;
  if (length > 1 && lf[-1] == '\r') {
    lf[-1] = '\0';
    line_length_ = length - 2;
  } else {
    *lf = '\0';
    line_length_ = length - 1;
  }
  line_ = cursor_;
  unread_ -= length;
  cursor_ = lf + 1;
  bytes_read_ += static_cast<std::uint64_t>(length);
  tokens.assign(line_, separator_);
  return true;
}

void stream::read_failed() {
  const std::string why = conn_->error_text();
  throw orv::util::error("ioconn::read_line(): read error" + (why.empty() ? std::string() : ": " + why));
}

bool stream::read_line() {
  if (!conn_) return false;
  if (unread_ > 0) {
    if (char* lf = static_cast<char*>(std::memchr(cursor_, '\n', static_cast<std::size_t>(unread_))))
      return take_line(lf);
  }
  // No complete line is buffered: keep the tail and fill the rest.
  if (cursor_ != buffer_ && unread_ > 0) std::memmove(buffer_, cursor_, static_cast<std::size_t>(unread_));
  cursor_ = buffer_;
  for (;;) {
    if (unread_ == capacity_) {
      if (capacity_ > INT_MAX / 2) throw orv::util::error("ioconn::read_line(): out of memory");
      const int doubled = capacity_ * 2;
      char* bigger = new char[static_cast<std::size_t>(doubled)];
      std::memcpy(bigger, buffer_, static_cast<std::size_t>(unread_));
      delete[] buffer_;
      buffer_ = cursor_ = bigger;
      capacity_ = doubled;
    }
    const int got = conn_->read(buffer_ + unread_, capacity_ - unread_);
    if (got < 0) read_failed();
    if (got == 0) {
      if (unread_ == 0) return false;
      // The end of the input ends the last line. The terminator needs one
      // more byte than the data; a full buffer grows once more for it.
      if (unread_ == capacity_) continue;
      break;
    }
    char* fresh = buffer_ + unread_;
    unread_ += got;
    if (char* lf = static_cast<char*>(std::memchr(fresh, '\n', static_cast<std::size_t>(got))))
      return take_line(lf);
  }
  buffer_[unread_] = '\0';
  line_ = buffer_;
  line_length_ = unread_;
  bytes_read_ += static_cast<std::uint64_t>(unread_);
  cursor_ = buffer_ + unread_;
  unread_ = 0;
  tokens.assign(line_, separator_);
  return true;
}

int stream::field_count() const {
  const char* p = tokens.position();
  const std::size_t length = std::strlen(p);
  if (length == 0) return 1;
  // A separator that is the last character opens no field.
  const char* const last = p + length - 1;
  const char separator = tokens.separator();
  int fields = 1;
  while ((p = static_cast<const char*>(std::memchr(p, separator, static_cast<std::size_t>(last - p)))) != nullptr) {
    ++fields;
    ++p;
  }
  return fields;
}

}  // namespace orv::inpout
