// The searches of a job, spread over its ranks.
//
// On the leader, spread_searches makes every search the engine asks for (it
// is the run's search provider). Each is a spread_search: the workers build
// the same search over the same groups. run() sends the queries; when the
// run will use the index, the ranks build its two trees between them
// (shared_trees.hpp); the leader chooses between index and scan for every
// rank on a sample of the queries, and shares the queries out in contiguous
// blocks balanced by the cost it measured (share.hpp). The leader searches
// its own block, the last, with its own threads, and meanwhile hands the
// workers' results to the engine in query order as their chunks arrive; its
// own results follow. So the engine and its outputs receive
// what a search in one process hands over, neighbour lists included,
// whatever the number of ranks.
//
// A worker sends its results in chunks as its search completes them, and
// never waits for the leader while it searches. When the hand-over fails on
// the leader (an output that cannot be written) or a worker's search fails,
// the leader stops the workers still searching, takes what they had sent
// and raises the failure, after every result before it was handed over.
//
// On each worker, serve() answers the leader's requests until it says finish.
#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "analysis/engine/discrimination.hpp"
#include "mpi/job.hpp"

namespace kel {
class dataset;
}

namespace kelcmd {
struct settings;
}

namespace kelcmd::mpi {

class spread_searches {
 public:
  explicit spread_searches(job& j) : team(j) {}
  kel::search_provider provider();

 private:
  friend class spread_search;
  job& team;
  std::uint64_t searches = 0;
  std::uint64_t runs = 0;
};

class spread_search final : public kel::neighbour_search {
 public:
  // Builds the leader's part (as makeSearchFor without the provider) and
  // has every worker build its own.
  spread_search(spread_searches& owner, const kel::dataset& data, std::span<const unsigned> protectedRows,
                std::span<const unsigned> unprotectedRows, const kel::test_settings& settings);
  ~spread_search() override;

  void run(std::span<const unsigned> queries, const kel::search_settings& settings,
           const kel::result_sink& sink) override;

 private:
  spread_searches& owner;
  std::uint64_t id;
  unsigned rows;
  bool spread;  // the groups can be sent to the workers as they are
  bool protectedLarger = false;
  double scanSeconds = 0.0;  // what a query of the scan costs; 0 when unknown
  std::unique_ptr<kel::neighbour_search> local;
};

// A worker's part of the job after the inputs: the searches the leader asks
// for, over `data`, until it says finish. Answers the job's status.
int serve(job& team, const kel::dataset& data, const settings& s);

}  // namespace kelcmd::mpi
