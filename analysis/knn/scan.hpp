// The vectorised scan: the exhaustive search, fast. It copies the measured
// columns once into group-contiguous, padded arrays (layout.hpp) and scans
// them with the best distance kernel of the processor (dispatch.hpp), several
// queries per pass over a cache-sized tile of candidates, blocks of queries
// on several threads.
//
// It gives exactly the per-pair search's results: every distance is the same
// float (the terms of rules.hpp summed in measure order, each addition
// rounded, one division by the count), and the selection is topk's.
//
// Ownership: the search owns its copies of the group columns; it reads the
// caller's columns only for query rows. run() and distances() may be called
// from several threads at once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

#include "analysis/knn/layout.hpp"
#include "analysis/knn/search.hpp"

namespace kel {

class scan_search final : public neighbour_search {
 public:
  // REQUIRES: as for makeSearch. Throws orv::util::error on an empty measure
  // list or a group too large for 32-bit candidate indexes.
  scan_search(const search_columns& columns, std::span<const unsigned> protectedRows,
              std::span<const unsigned> unprotectedRows, unsigned threads = 1);
  ~scan_search() override;

  void run(std::span<const unsigned> queries, const search_settings& settings, const result_sink& sink) override;
  std::uint64_t evaluations() const override { return counted.load(std::memory_order_relaxed); }

  // The distance from queryRow to every row of group g, in the group's row
  // order, as the kernels compute it (queryRow itself included).
  // REQUIRES: out.size() == that group's size.
  void distances(unsigned queryRow, group g, std::span<float> out) const;

 private:
  class worker;  // one thread's scratch

  const detail::group_layout& layout(group g) const { return g == group::protected_ ? *protectedLayout : *unprotectedLayout; }

  search_columns columns;
  std::vector<detail::column_plan> plan;
  std::unique_ptr<detail::group_layout> unprotectedLayout;
  std::unique_ptr<detail::group_layout> protectedLayout;
  std::atomic<std::uint64_t> counted{0};
};

}  // namespace kel
