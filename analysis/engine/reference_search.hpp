// The per-pair search: the straightforward statement of the neighbour
// search, one distance at a time through the attributes' own distance (one
// virtual call per measured attribute per pair), and the class values read
// through the attributes too. It is the reference the fast searches are
// tested against, and the search for the rare settings they do not take (an
// ignored attribute measured, a class that is neither nominal nor
// continuous), whose errors it raises exactly where it meets them.
//
// It searches one query at a time on the caller's thread and hands over
// every query as a block of its own, so a failure comes right after the last
// result handed over. The dataset and the row lists must outlive it.
#pragma once

#include <span>

#include "analysis/knn/search.hpp"
#include "analysis/table/dataset.hpp"

namespace kel {

// Whether a neighbour's class outcome counts as matching the query's, by the
// rule every search counts with (outcomeMatches): equal codes for a nominal
// class, a value not below the query's otherwise. Throws the attribute's
// error for a class that is neither nominal nor continuous.
bool classMatches(const attribute& cls, unsigned query, unsigned neighbour);

class reference_search final : public neighbour_search {
 public:
  reference_search(const dataset& data, std::span<const unsigned> protectedRows,
                   std::span<const unsigned> unprotectedRows)
      : data(data), protectedRows(protectedRows), unprotectedRows(unprotectedRows) {}

  void run(std::span<const unsigned> queries, const search_settings& settings, const result_sink& sink) override;

  // The k nearest of the candidates (increasing rows) to the query within
  // maxDistance, the query itself left out, into query i of the block.
  void knn(unsigned query, std::span<const unsigned> candidates, const search_settings& settings, group g,
           result_block& out, std::size_t i);

 private:
  const dataset& data;
  std::span<const unsigned> protectedRows;
  std::span<const unsigned> unprotectedRows;
  topk selection;
};

}  // namespace kel
