#include "mpi/memory_input.hpp"

#include <algorithm>
#include <cstring>

namespace kelcmd::mpi {

int memory_input::read(void* buf, int n) {
  if (!open_) return -1;
  if (n <= 0) return 0;
  if (position_ >= bytes_.size()) return failure_ ? -1 : 0;
  const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), bytes_.size() - position_);
  std::memcpy(buf, bytes_.data() + position_, take);
  position_ += take;
  return static_cast<int>(take);
}

std::int64_t memory_input::lseek(std::int64_t offset, int whence) {
  std::int64_t base = 0;
  if (whence == orv::inpout::LSEEK_CUR) base = static_cast<std::int64_t>(position_);
  else if (whence == orv::inpout::LSEEK_END) base = size();
  else if (whence != orv::inpout::LSEEK_SET) return -1;
  const std::int64_t to = base + offset;
  if (!open_ || to < 0 || to > size()) return -1;
  position_ = static_cast<std::uint64_t>(to);
  return to;
}

int memory_input::pread(void* buf, int n, std::int64_t offset) const {
  if (!open_ || offset < 0) return -1;
  if (n <= 0 || static_cast<std::uint64_t>(offset) >= bytes_.size()) return 0;
  const std::size_t at = static_cast<std::size_t>(offset);
  const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(n), bytes_.size() - at);
  std::memcpy(buf, bytes_.data() + at, take);
  return static_cast<int>(take);
}

}  // namespace kelcmd::mpi
