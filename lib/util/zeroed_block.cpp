#include "zeroed_block.hpp"

#include <sys/mman.h>

#include <cstdint>
#include <cstring>
#include <new>

namespace orv::util {

namespace {

constexpr std::size_t huge_page = std::size_t{2} << 20;
constexpr std::size_t mapping_threshold = std::size_t{256} << 10;
constexpr std::align_val_t alignment{64};

// A 2 MiB-aligned anonymous mapping of `length` bytes (a multiple of 2 MiB),
// or null. Mapping a little more and trimming both ends gives the alignment.
void* map_huge(std::size_t length) {
  void* raw = mmap(nullptr, length + huge_page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (raw == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(raw);
  const std::uintptr_t aligned = (start + huge_page - 1) & ~(huge_page - 1);
  if (aligned != start) munmap(raw, aligned - start);
  const std::size_t tail = huge_page - (aligned - start);
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + length), tail);
  // Only advice: without huge pages the mapping still works, page by page.
  madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
  return reinterpret_cast<void*>(aligned);
}

}  // namespace

zeroed_block::zeroed_block(std::size_t bytes) : size_(bytes) {
  if (bytes == 0) return;
  if (bytes >= mapping_threshold && bytes <= SIZE_MAX - 2 * huge_page) {
    const std::size_t length = (bytes + huge_page - 1) / huge_page * huge_page;
    if ((data_ = map_huge(length)) != nullptr) {
      mapped_bytes_ = length;
      return;  // fresh anonymous pages read as zero
    }
  }
  data_ = ::operator new(bytes, alignment);
  std::memset(data_, 0, bytes);
}

zeroed_block::~zeroed_block() {
  if (mapped_bytes_ != 0)
    munmap(data_, mapped_bytes_);
  else if (data_ != nullptr)
    ::operator delete(data_, alignment);
}

}  // namespace orv::util
