#include "heap.hpp"

#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>

namespace orv::util {

namespace {
constexpr std::uintptr_t huge_page = std::uintptr_t{2} << 20;
// The largest mmap threshold the allocator accepts on 64-bit systems.
constexpr int largest_mmap_threshold = 32 << 20;
// MADV_COLLAPSE (Linux 6.1), not yet named by every C library's headers.
constexpr int collapse = 25;
}  // namespace

bool use_huge_page_heap(std::size_t pad) {
  if (pad < huge_page || pad > (std::size_t{1} << 29)) return false;
  pad = (pad + huge_page - 1) & ~(huge_page - 1);
  mallopt(M_MMAP_THRESHOLD, largest_mmap_threshold);
  // Threads would otherwise get heaps of their own, outside the advice.
  mallopt(M_ARENA_MAX, 1);
  mallopt(M_TRIM_THRESHOLD, static_cast<int>(2 * pad));
  mallopt(M_TOP_PAD, static_cast<int>(pad));
  // A block larger than any free room makes the allocator extend the heap by
  // the block plus the pad; freed, it stays as room at the top.
  const auto before = reinterpret_cast<std::uintptr_t>(sbrk(0));
  void* grow = std::malloc(huge_page);
  // Keeps the compiler from leaving out an allocation nobody reads.
  asm volatile("" : : "r"(grow) : "memory");
  std::free(grow);
  const auto after = reinterpret_cast<std::uintptr_t>(sbrk(0));
  if (before == static_cast<std::uintptr_t>(-1) || after <= before) {
    // No room for the pad (strict overcommit, say): back to small steps.
    mallopt(M_TOP_PAD, 128 << 10);
    return false;
  }
  const std::uintptr_t first = (before + huge_page - 1) & ~(huge_page - 1);
  const std::uintptr_t last = after & ~(huge_page - 1);
  if (last <= first) return false;
  if (madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE) != 0) return false;
  // The top of the heap still starts below the advised range, where small
  // pages would serve the first megabytes. A block kept for good fills that
  // gap, so the next allocations start at the first advised byte.
  const auto top = after - mallinfo2().keepcost;
  if (top + 64 < first && first - top < huge_page) {
    void* filler = std::malloc(first - top - sizeof(std::size_t));
    asm volatile("" : : "r"(filler) : "memory");
  }
  // Growing and filling wrote the allocator's bookkeeping into the first
  // advised 2 MiB before any use, and an extent with a small page in it
  // fills with small pages. Collapsing it makes it one huge page too; a
  // kernel without the operation just leaves it as it is.
  madvise(reinterpret_cast<void*>(first), huge_page, collapse);
  return true;
}

}  // namespace orv::util
