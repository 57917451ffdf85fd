#include "iomem.hpp"

#include <cstring>

#include "util/error.hpp"

namespace orv::inpout {

namespace {
constexpr std::uint64_t max_size = 0xFFFFFFFFu;
}

iomem::~iomem() { close(); }

void iomem::close() {
  if (owns_) delete[] block_;
  block_ = nullptr;
  capacity_ = size_ = position_ = 0;
  owns_ = false;
}

bool iomem::open(int capacity) {
  close();
  if (capacity < 0) return false;
  block_ = new char[static_cast<std::size_t>(capacity)];
  capacity_ = static_cast<std::uint32_t>(capacity);
  owns_ = true;
  return true;
}

bool iomem::open(void* block, int capacity, int size) {
  close();
  if (!block || capacity < 0) return false;
  block_ = static_cast<char*>(block);
  capacity_ = static_cast<std::uint32_t>(capacity);
  size_ = size < 0 ? 0 : size > capacity ? capacity_ : static_cast<std::uint32_t>(size);
  owns_ = false;
  return true;
}

// Grows an owned block so that needed bytes fit: by half the capacity plus
// the shortfall, or exactly when that would pass 32 bits.
void iomem::grow(std::uint64_t needed) {
  if (needed > max_size) throw orv::util::error("Out of memory");
  std::uint64_t bigger = std::uint64_t{capacity_} + capacity_ / 2 + (needed - capacity_);
  if (bigger > max_size) bigger = needed;
  char* fresh = new char[bigger];
  if (size_ > 0) std::memcpy(fresh, block_, size_);
  delete[] block_;
  block_ = fresh;
  capacity_ = static_cast<std::uint32_t>(bigger);
}

int iomem::write(const void* buf, int n) {
  if (n <= 0 || !block_) return 0;
  if (static_cast<std::uint32_t>(n) > capacity_ - position_) {
    if (owns_)
      grow(std::uint64_t{position_} + static_cast<std::uint32_t>(n));
    else
      n = static_cast<int>(capacity_ - position_);
  }
  if (n > 0) std::memcpy(block_ + position_, buf, static_cast<std::size_t>(n));
  position_ += static_cast<std::uint32_t>(n);
  if (position_ > size_) size_ = position_;
  return n;
}

int iomem::read(void* buf, int n) {
  if (n <= 0 || !block_) return 0;
  const std::uint32_t left = size_ - position_;
  const std::uint32_t count = static_cast<std::uint32_t>(n) < left ? static_cast<std::uint32_t>(n) : left;
  if (count > 0) std::memcpy(buf, block_ + position_, count);
  position_ += count;
  return static_cast<int>(count);
}

std::int64_t iomem::lseek(std::int64_t offset, int whence) {
  std::int64_t target;
  switch (whence) {
    case LSEEK_SET: target = offset; break;
    case LSEEK_CUR: target = std::int64_t{position_} + offset; break;
    case LSEEK_END: target = std::int64_t{size_} + offset; break;
    default: return -1;
  }
  if (target < 0 || static_cast<std::uint64_t>(target) > max_size || !block_) return -1;
  std::uint32_t t = static_cast<std::uint32_t>(target);
  if (t > size_) {
    if (owns_) {
      if (t > capacity_) grow(t);
      // The gap can be read back: it must hold zeros, not old heap bytes.
      std::memset(block_ + size_, 0, t - size_);
      size_ = t;
    } else {
      t = size_;
    }
  }
  position_ = t;
  return t;
}

}  // namespace orv::inpout
