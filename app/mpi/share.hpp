// Which queries of a search each rank takes: contiguous blocks in query
// order. The workers' blocks come first, in rank order, and the leader's
// (rank 0) last: the leader hands the workers' results over to the outputs
// while its own block is still being searched, and its own results, which
// it keeps, come last.
//
// The blocks are balanced by expected work. Every query of the exhaustive
// search costs the same, one distance term per measured attribute per
// member of each group; the leader also hands every query's result over to
// the outputs (the verdict, the output row and its write), which costs about
// handOverTerms distance terms a query. So the leader takes fewer queries,
// as many fewer as makes its search and the whole hand-over take as long as
// a worker's search, and the workers share the rest equally.
#pragma once

#include <cstddef>

namespace kelcmd::mpi {

struct query_block {
  std::size_t begin = 0;
  std::size_t end = 0;
  std::size_t size() const { return end - begin; }
};

// What handing one query's result over costs the leader, in distance terms
// of the vectorised scan: about 2.5 microseconds a row against 0.04
// nanoseconds a term, measured on the census and hiring tables (see
// docs/scaling.md). A wrong value costs balance, never a result.
constexpr double handOverTerms = 60000.0;

// The leader's share of `queries` when each costs `termsPerQuery` to search
// (0: unknown, the shares are then equal): ranks - 1 workers each take as
// long as the leader's search plus the hand-over of every query.
std::size_t leaderShare(std::size_t queries, unsigned ranks, double termsPerQuery);

// The block of `rank` when the leader takes `leader` queries. REQUIRES:
// rank < ranks; leader <= queries.
query_block blockOf(std::size_t queries, unsigned ranks, unsigned rank, std::size_t leader);

}  // namespace kelcmd::mpi
