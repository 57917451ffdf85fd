#include "mpi/share.hpp"

#include <cassert>

namespace kelcmd::mpi {

query_block blockOf(std::size_t queries, unsigned ranks, unsigned rank) {
  assert(rank < ranks);
  const std::size_t base = queries / ranks;
  const std::size_t extra = queries % ranks;  // < ranks, so the leader never gets one
  // Position in query order: the workers 1 .. ranks - 1, then the leader.
  const std::size_t at = rank == 0 ? ranks - 1 : rank - 1;
  const std::size_t begin = at * base + (at < extra ? at : extra);
  return {begin, begin + base + (at < extra ? 1 : 0)};
}

}  // namespace kelcmd::mpi
