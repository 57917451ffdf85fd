// zeroed_block: a zero-filled, 64-byte-aligned block of memory for large
// arrays that are written once and scanned many times.
//
// A block of 256 KiB or more is mapped on its own, rounded up to whole 2 MiB
// extents and offered to the system as transparent huge pages: touching it
// then costs one page fault per 2 MiB instead of one per 4 KiB page, which
// matters on virtual machines where a fault costs microseconds. Smaller
// blocks, and large ones when mapping fails, come from operator new.
// Throws std::bad_alloc when no memory can be had.
#pragma once

#include <cstddef>

#include "util/nocopy.hpp"

namespace orv::util {

class zeroed_block : private nocopy {
 public:
  zeroed_block() = default;
  explicit zeroed_block(std::size_t bytes);
  ~zeroed_block();

  void* data() const { return data_; }
  std::size_t size() const { return size_; }
  // Whether the block is a mapping of its own (the huge-page path).
  bool mapped() const { return mapped_bytes_ != 0; }

 private:
  void* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t mapped_bytes_ = 0;  // length of the mapping, 0 for operator new
};

}  // namespace orv::util
