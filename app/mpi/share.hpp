// Which queries of a search each rank takes: contiguous blocks in query
// order, of sizes as equal as whole queries allow, since every query of the
// exhaustive search costs the same (one distance per member of each group).
// The workers' blocks come first, in rank order, and the leader's (rank 0)
// last: the leader hands the workers' results over to the outputs while its
// own block is still being searched, and its own results, which it keeps,
// come last. Any remainder goes to the workers; the leader also writes.
#pragma once

#include <cstddef>

namespace kelcmd::mpi {

struct query_block {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const { return end - begin; }
};

// REQUIRES: rank < ranks.
query_block blockOf(std::size_t queries, unsigned ranks, unsigned rank);

}  // namespace kelcmd::mpi
