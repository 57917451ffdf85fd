// Which queries of a search each rank takes: contiguous blocks in query
// order. The workers' blocks come first, in rank order, and the leader's
// (rank 0) last: the leader hands the workers' results over to the outputs
// while its own block is still being searched, and its own results, which
// it keeps, come last.
//
// The blocks are balanced by expected work. A query costs what the search
// measured on its sample (the index) or what its distance terms cost (the
// scan); the leader also hands every query's result over to the outputs
// (the verdict, the output row and its write), the workers' while it
// searches. So the leader takes fewer queries, as many fewer as makes its
// search and that hand-over end with the workers' searches, and the workers
// share the rest equally.
#pragma once

#include <cstddef>

namespace kelcmd::mpi {

struct query_block {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const { return end - begin; }
};

// What handing one query's result over costs the leader, and what one
// distance term of the vectorised scan costs, in seconds of one thread:
// measured on the census and hiring tables (see docs/scaling.md). Wrong
// values cost balance, never a result.
constexpr double handOverSeconds = 0.65e-6;
constexpr double termSeconds = 0.042e-9;

// The leader's share of `queries` when each costs `querySeconds` to search
// (0: unknown, the shares are then equal).
std::size_t leaderShare(std::size_t queries, unsigned ranks, double querySeconds);

// The block of `rank` when the leader takes `leader` queries. REQUIRES:
// rank < ranks; leader <= queries.
query_block blockOf(std::size_t queries, unsigned ranks, unsigned rank, std::size_t leader);

}  // namespace kelcmd::mpi
