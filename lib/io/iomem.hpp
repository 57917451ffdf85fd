// iomem: a connection over a block of memory, readable and writable at once.
// Owned blocks (open(capacity)) are allocated here, grow with writes and
// seeks by half their capacity plus the shortfall, and are freed by close().
// Borrowed blocks (open(block, capacity, size)) keep their capacity: writes
// are cut at its end and seeks stop at the data's end; the caller keeps the
// block alive while the connection uses it.
//
// Sizes and positions are 32-bit: growing beyond 4 GiB throws "Out of
// memory". A seek that extends an owned block fills the gap with zero bytes;
// a seek target outside [0, 2^32) is refused with -1.
#pragma once

#include <cstdint>

#include "io/ioconn.hpp"

namespace orv::inpout {

class iomem : public ioconn {
 public:
  iomem() = default;
  ~iomem() override;

  void close() override;
  bool eof() override { return position_ == size_; }
  bool is_open() const override { return block_ != nullptr; }
  int mode() const override { return READ | WRITE; }
  int write(const void* buf, int n) override;
  int read(void* buf, int n) override;
  std::int64_t lseek(std::int64_t offset, int whence) override;
  std::int64_t tell() override { return position_; }
  std::int64_t size() override { return size_; }

  // An owned, empty block of capacity bytes; false for a negative capacity.
  bool open(int capacity);
  // Borrows block; a size beyond the capacity is cut to it. False for a null
  // block or a negative capacity.
  bool open(void* block, int capacity, int size);

  const char* data() const { return block_; }
  std::uint32_t capacity() const { return capacity_; }

 private:
  void grow(std::uint64_t needed);

  char* block_ = nullptr;
  std::uint32_t capacity_ = 0;
  std::uint32_t size_ = 0;
  std::uint32_t position_ = 0;
  bool owns_ = false;
};

}  // namespace orv::inpout
