// iobuf: a connection that buffers another connection used in one direction,
// so that many small reads or writes become few large ones. The direction is
// the mode() of the buffered connection, which must not be both READ and
// WRITE. Requests larger than the buffer go straight to the connection.
//
// With owns, close() (and the destructor) closes and deletes the buffered
// connection; otherwise it is left open. Pending writes are flushed by close,
// rewind, lseek and flush().
//
// A relative seek in read use counts from the logical position, the one tell()
// reports, not from where the connection happens to stand.
#pragma once

#include <cstdint>

#include "io/ioconn.hpp"

namespace orv::inpout {

class iobuf : public ioconn {
 public:
  iobuf() = default;
  ~iobuf() override;

  void close() override;
  bool eof() override;
  bool is_open() const override { return conn_ && conn_->is_open(); }
  int mode() const override { return conn_ ? conn_->mode() : 0; }
  bool rewind() override;
  int write(const void* buf, int n) override;
  // -1 when the connection fails before any byte could be handed out.
  int read(void* buf, int n) override;
  bool is_file() const override { return conn_ && conn_->is_file(); }
  std::int64_t lseek(std::int64_t offset, int whence) override;
  std::int64_t tell() override;
  std::int64_t size() override { return conn_->size(); }
  std::string error_text() const override { return conn_ ? conn_->error_text() : std::string(); }

  // False for a null conn. Throws
  // "iobuf::open: IOBuffers are either READ or WRITE, not both.".
  // The buffer has at least 1,024 bytes and at most the largest int.
  bool open(ioconn* conn, bool owns, int buffer_size);
  // Writes the waiting bytes; false when the connection did not take them all.
  bool flush();

  int buffer_size() const { return size_; }

  // Direct access for the integer coders' fast paths. In read use the loaded
  // bytes not handed out yet are [data() + position(), data() + filled()).
  // In write use filled() bytes wait and buffer_size() - filled() are free.
  char* data() { return buffer_; }
  int filled() const { return fill_; }
  int position() const { return position_; }
  void set_position(int p) { position_ = p; }
  void set_filled(int f) { fill_ = f; }

 private:
  ioconn* conn_ = nullptr;
  bool owns_ = false;
  char* buffer_ = nullptr;
  int size_ = 0;
  int fill_ = 0;
  int position_ = 0;
};

}  // namespace orv::inpout
