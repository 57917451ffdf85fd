#include "iobuf.hpp"

#include <climits>
#include <cstring>

#include "util/error.hpp"

namespace orv::inpout {

iobuf::~iobuf() { close(); }

bool iobuf::open(ioconn* conn, bool owns, int buffer_size) {
  if (!conn) return false;
  close();
  if ((conn->mode() & READ) && (conn->mode() & WRITE))
    throw orv::util::error("iobuf::open: IOBuffers are either READ or WRITE, not both.");
  conn_ = conn;
  owns_ = owns;
  const unsigned requested = static_cast<unsigned>(buffer_size);
  int size = requested <= 1024 ? 1024 : requested > static_cast<unsigned>(INT_MAX) ? INT_MAX : buffer_size;
  // The connection is ours from here on, even if the buffer cannot be had.
  buffer_ = new char[static_cast<std::size_t>(size)];
  size_ = size;
  fill_ = 0;
  position_ = 0;
  return true;
}

bool iobuf::flush() {
  if (!conn_ || !(conn_->mode() & WRITE) || fill_ == 0) return true;
  int done = 0;
  while (done < fill_) {
    const int w = conn_->write(buffer_ + done, fill_ - done);
    if (w <= 0) break;
    done += w;
  }
  const bool all = done == fill_;
  fill_ = 0;
  return all;
}

void iobuf::close() {
  if (!conn_) return;
  flush();
  conn_->close();
  if (owns_) delete conn_;
  conn_ = nullptr;
  delete[] buffer_;
  buffer_ = nullptr;
  size_ = fill_ = position_ = 0;
  owns_ = false;
}

bool iobuf::eof() { return position_ == fill_ && conn_ && conn_->eof(); }

bool iobuf::rewind() {
  if (!conn_) return false;
  flush();
  fill_ = position_ = 0;
  return conn_->rewind();
}

int iobuf::write(const void* buf, int n) {
  if (n <= 0 || !conn_) return 0;
  if (size_ - fill_ < n) {
    flush();
    if (n > size_) return conn_->write(buf, n);
  }
  std::memcpy(buffer_ + fill_, buf, static_cast<std::size_t>(n));
  fill_ += n;
  return n;
}

int iobuf::read(void* buf, int n) {
  if (n <= 0 || !conn_) return 0;
  char* out = static_cast<char*>(buf);
  const int available = fill_ - position_;
  if (available >= n) {
    std::memcpy(out, buffer_ + position_, static_cast<std::size_t>(n));
    position_ += n;
    return n;
  }
  if (available > 0) std::memcpy(out, buffer_ + position_, static_cast<std::size_t>(available));
  const int rest = n - available;
  int got;
  if (rest > size_) {
    fill_ = position_ = 0;
    got = conn_->read(out + available, rest);
  } else {
    const int loaded = conn_->read(buffer_, size_);
    fill_ = loaded > 0 ? loaded : 0;
    got = rest < fill_ ? rest : fill_;
    if (got > 0) std::memcpy(out + available, buffer_, static_cast<std::size_t>(got));
    position_ = got;
    if (loaded < 0) got = -1;
  }
  // A failure after some bytes were handed out is reported by the next call.
  if (got < 0) return available > 0 ? available : -1;
  return available + got;
}

std::int64_t iobuf::lseek(std::int64_t offset, int whence) {
  if (!conn_) return -1;
  if (whence == LSEEK_CUR && (conn_->mode() & READ)) offset += position_ - fill_;
  flush();
  fill_ = position_ = 0;
  return conn_->lseek(offset, whence);
}

std::int64_t iobuf::tell() {
  const std::int64_t here = conn_->tell();
  if (conn_->mode() & READ) return here + position_ - fill_;
  return here + fill_;
}

}  // namespace orv::inpout
