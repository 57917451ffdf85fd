// The trees of an indexed search, built once between the ranks: each rank
// would otherwise build both groups' trees alone, on its own threads, before
// its block of queries could start. Rank 1 builds the larger group's tree,
// rank 0 the other, at the same time; each then broadcasts its tree and the
// other ranks adopt it.
//
// Every rank calls shareTrees in the same run, after the run's header said
// so and which group is the larger, with its own search, or null when it
// has none (its build failed): it takes part all the same. A tree that cannot be built, sent or adopted is
// simply not shared: a rank without it builds it at the run, as it would
// alone, and a failure there is told as a search's failure is.
#pragma once

#include <cstddef>

#include "mpi/job.hpp"

#include "analysis/knn/search.hpp"

namespace kel {
class index_search;
}

namespace kelcmd::mpi {

void shareTrees(job& team, kel::index_search* index, kel::group larger, unsigned threads);

}  // namespace kelcmd::mpi
