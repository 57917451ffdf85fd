// The neighbour search: for each query row, the k nearest rows of the
// protected and of the unprotected group, the query itself left out, and how
// many of them match the query's class outcome.
//
// One interface, several implementations: the vectorised scan of this
// folder, the per-pair reference search of the engine, and any search that
// hands over results gathered elsewhere. They all hand over the same
// results: for each query and each group, the neighbours selected (row and
// distance, in (distance, row) order; see topk.hpp) and the matching count.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <vector>

#include "analysis/knn/columns.hpp"
#include "analysis/knn/topk.hpp"
#include "util/nocopy.hpp"

namespace kel {

// How makeSearch finds the neighbours; every method gives the same results.
enum class search_method : std::uint8_t {
  automatic,  // the index where it pays (see index.hpp), the scan elsewhere
  scan,       // every candidate, vectorised
  index,      // the index for every run, however small (for tests)
};

struct search_settings {
  unsigned k = 2;               // at least 1
  float maxDistance = FLT_MAX;  // a neighbour at exactly this distance is taken; NaN: no limit
  unsigned threads = 1;         // the caller's thread included
  search_method method = search_method::automatic;
  // The queries of the whole run when a call searches only a share of them
  // (a rank's block): whether an index pays off depends on all of them.
  // 0: the call's own queries.
  std::size_t plannedQueries = 0;
};

enum class group : unsigned char { unprotected = 0, protected_ = 1 };

// One group's neighbourhood of one query.
struct neighbourhood {
  std::span<const neighbour> neighbours;  // (distance, row) order
  unsigned matching = 0;

  unsigned found() const { return static_cast<unsigned>(neighbours.size()); }
};

// The results of consecutive queries [first(), first() + size()) of a run.
// The neighbours of all of them live in one flat buffer, kept with its
// capacity when the block is reset, so a search that reuses its blocks does
// not allocate per query.
class result_block {
 public:
  // Empties the block for the queries whose rows are given, the first of
  // them at position `first` of the run's query list.
  void reset(std::size_t first, std::span<const unsigned> rows);
  // Records the neighbourhood of query i (0-based in the block) in group g.
  void set(std::size_t i, group g, std::span<const neighbour> selected, unsigned matching);

  std::size_t first() const { return firstQuery; }
  std::size_t size() const { return queryRows.size(); }
  unsigned row(std::size_t i) const { return queryRows[i]; }
  neighbourhood get(std::size_t i, group g) const;

 private:
  struct entry {
    std::size_t begin = 0;
    unsigned found = 0;
    unsigned matching = 0;
  };
  std::size_t firstQuery = 0;
  std::vector<unsigned> queryRows;
  std::vector<entry> lists;  // two per query, unprotected first
  std::vector<neighbour> flat;
};

using result_sink = std::function<void(const result_block&)>;

class neighbour_search : private orv::util::nocopy {
 public:
  virtual ~neighbour_search();

  // Searches every row of `queries` (protected rows, increasing) and hands
  // the results to `sink` on the caller's thread, in consecutive blocks in
  // query order, each result final, while the search goes on; no call when
  // there is no query. Results do not depend on the thread count or on how
  // the queries fall into blocks. An exception from the sink stops the search
  // at once and is rethrown; so is a failed search, once every block before
  // it was handed over. Throws orv::util::error when k is 0.
  virtual void run(std::span<const unsigned> queries, const search_settings& settings, const result_sink& sink) = 0;

  // The query-candidate distances computed by the runs so far, for
  // benchmarks; 0 for a search that does not count them.
  virtual std::uint64_t evaluations() const;

 protected:
  neighbour_search() = default;
};

// The fastest exact search for these columns and groups, given the settings
// it will run with (settings.method). REQUIRES: as for columns.hpp; measures
// not empty; both row lists strictly increasing. The columns are copied on up
// to settings.threads threads, by the scan at once, by the index when its
// first run needs them.
std::unique_ptr<neighbour_search> makeSearch(const search_columns& columns, std::span<const unsigned> protectedRows,
                                             std::span<const unsigned> unprotectedRows,
                                             const search_settings& settings);

}  // namespace kel
