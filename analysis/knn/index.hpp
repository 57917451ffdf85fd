// The indexed search: the scan's results, found by computing the distances
// to a small part of each group.
//
// Each group's rows sit in a tree (tree.hpp) whose nodes say what their rows
// hold: per continuous attribute the range of present values and whether one
// is missing, per coded attribute the codes present. From that follows a
// lower bound of the distance from a query to every row of a node: each term
// is the least the attribute's term can be for those rows (the query's
// distance to the nearest edge of the range, computed as the kernels compute
// |a - b|, 0 inside it; the least term over the codes present; 3 where a
// value is missing and nothing nearer is), summed in measure order with
// float additions and divided by the count like a distance. Rounding is
// monotone, so no row of the node has a smaller distance.
//
// Nodes are visited nearest bound first; the distances of a leaf's rows come
// from the scan's kernels, so every distance is the scan's float, and the
// selection is topk's, so the neighbours are the scan's, ties and all. A
// node is passed over only when none of its rows could enter the selection:
// its bound is above the current k-th distance (or above the maximum
// distance while fewer than k are held), or equal to it with every row of the
// node after the k-th neighbour's row.
//
// The index does not pay everywhere (masses of tied distances, many measured
// attributes, k near the group sizes). With search_method::automatic, run()
// gives the run to the scan at once when it has too few queries to pay for
// building the trees; otherwise it builds them, times the index on an even
// sample of the queries against the scan on a block of the same queries
// (processor time of the calling thread), and hands the run to the scan
// unless the index is clearly cheaper. The choice changes only the time
// taken.
//
// Ownership: the search keeps copies of the row lists; the caller's columns
// must outlive it (columns.hpp). The trees, and the scan when one is needed,
// are built by the first run that needs them and only read afterwards; a
// scan built only to time it is dropped again. One run at a time.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "analysis/knn/search.hpp"

namespace kel {

namespace detail {
struct column_plan;
struct code_list;
class group_tree;
}  // namespace detail

class scan_search;

// What a run of an index_search did.
struct index_report {
  enum class choice : std::uint8_t {
    none,    // no run yet, or a run without queries
    forced,  // the index, as the settings asked
    index,   // the index, after the sample
    small,   // the scan: too few queries to pay for the trees
    sample,  // the scan: the sample found the index not clearly cheaper
    scan,    // the scan, as the settings asked
  };
  choice chosen = choice::none;
  std::size_t sampled = 0;        // queries in the sample
  double indexSeconds = 0.0;      // the index's processor time per query of the sample,
  double scanSeconds = 0.0;       // and the scan's, on a block of the sample
  std::uint64_t sampleRows = 0;   // candidate distances the index computed on the sample,
  std::uint64_t sampleNodes = 0;  // and node bounds,
  std::uint64_t scanRows = 0;     // and the scan
  double buildSeconds = 0.0;      // building the trees (wall), when this run built them,
  double buildCpuSeconds = 0.0;   // and the process's processor time meanwhile
};

const char* choiceName(index_report::choice c);

class index_search final : public neighbour_search {
 public:
  // REQUIRES: as for makeSearch. Throws orv::util::error on an empty measure
  // list or a group too large for 32-bit positions.
  index_search(const search_columns& columns, std::span<const unsigned> protectedRows,
               std::span<const unsigned> unprotectedRows);
  ~index_search() override;

  void run(std::span<const unsigned> queries, const search_settings& settings, const result_sink& sink) override;
  std::uint64_t evaluations() const override;

  // The last run's choice and sample.
  index_report report() const;

  // What run() decides first: the scan or the index for these queries and
  // settings, the trees built and the sample timed when it takes them. For a
  // caller that makes the choice once for searches in several processes and
  // passes it on as settings.method; run() itself needs no call.
  index_report choose(std::span<const unsigned> queries, const search_settings& settings);

  // Searches in several processes can build the trees between them rather
  // than each building both: when wantsTrees says a run of `queries`
  // queries will build them, each tree is built in one process (buildTree)
  // and handed to the others as bytes (packTree, adoptTree) before the run,
  // which then finds it built. adoptTree throws std::invalid_argument on
  // bytes that are not a tree packed by this search's counterpart.
  bool wantsTrees(std::size_t queries, const search_settings& settings) const;
  void buildTree(group g, unsigned threads);
  std::vector<char> packTree(group g) const;
  void adoptTree(group g, std::span<const char> bytes);

 private:
  class worker;
  struct work;

  const detail::group_tree& tree(group g) const { return g == group::protected_ ? *protectedTree : *unprotectedTree; }
  std::unique_ptr<detail::group_tree>& slot(group g) { return g == group::protected_ ? protectedTree : unprotectedTree; }
  const std::vector<unsigned>& rowsOf(group g) const { return g == group::protected_ ? protectedRows : unprotectedRows; }
  // Builds the trees not built yet; notes in `r` the time it took.
  void buildTrees(unsigned threads, index_report& r);
  // The column plans and code lists the trees and the search share. Under
  // the guard.
  void planColumns(unsigned threads);
  scan_search& scanner(unsigned threads);
  void runIndex(std::span<const unsigned> queries, const search_settings& settings, const result_sink& sink);

  search_columns columns;
  std::vector<unsigned> protectedRows, unprotectedRows;
  std::vector<detail::column_plan> plan;
  std::vector<detail::code_list> lists;
  std::unique_ptr<detail::group_tree> unprotectedTree, protectedTree;
  std::unique_ptr<scan_search> scan;
  mutable std::mutex guard;  // the lazily built parts and the report
  index_report last;
  std::atomic<std::uint64_t> counted{0};
};

}  // namespace kel
