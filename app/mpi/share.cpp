#include "mpi/share.hpp"

#include <algorithm>
#include <cassert>
#include <cmath>

namespace kelcmd::mpi {

std::size_t leaderShare(std::size_t queries, unsigned ranks, double querySeconds) {
  assert(ranks >= 1);
  if (ranks == 1) return queries;
  const std::size_t equal = queries / ranks;  // never more than a worker's
  if (querySeconds <= 0) return equal;
  // The leader's search and its hand-over of the workers' results end with
  // the workers' searches: L q + (n - L) h = (n - L) q / (R - 1); its own
  // results are handed over after theirs, whatever the shares.
  const double n = static_cast<double>(queries);
  const double q = querySeconds;
  const double h = handOverSeconds;
  const double w = q / static_cast<double>(ranks - 1);
  const double share = n * (w - h) / (q - h + w);
  return share <= 0 ? 0 : std::min(equal, static_cast<std::size_t>(std::floor(share)));
}

query_block blockOf(std::size_t queries, unsigned ranks, unsigned rank, std::size_t leader) {
  assert(rank < ranks && leader <= queries);
  if (rank == 0) return {queries - leader, queries};
  const std::size_t rest = queries - leader;
  const std::size_t workers = ranks - 1;
  const std::size_t base = rest / workers;
  const std::size_t extra = rest % workers;
  const std::size_t at = rank - 1;
  const std::size_t begin = at * base + std::min(at, extra);
  return {begin, begin + base + (at < extra ? 1 : 0)};
}

}  // namespace kelcmd::mpi
