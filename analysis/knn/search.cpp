#include "analysis/knn/search.hpp"

#include <cassert>

#include "analysis/knn/index.hpp"
#include "analysis/knn/scan.hpp"

namespace kel {

void result_block::reset(std::size_t first, std::span<const unsigned> rows) {
  firstQuery = first;
  queryRows.assign(rows.begin(), rows.end());
  lists.assign(2 * rows.size(), entry{});
  flat.clear();
}

void result_block::set(std::size_t i, group g, std::span<const neighbour> selected, unsigned matching) {
  assert(i < queryRows.size() && matching <= selected.size());
  lists[2 * i + static_cast<std::size_t>(g)] = entry{flat.size(), static_cast<unsigned>(selected.size()), matching};
  flat.insert(flat.end(), selected.begin(), selected.end());
}

neighbourhood result_block::get(std::size_t i, group g) const {
  const entry& e = lists[2 * i + static_cast<std::size_t>(g)];
  return {std::span<const neighbour>(flat).subspan(e.begin, e.found), e.matching};
}

neighbour_search::~neighbour_search() = default;

std::uint64_t neighbour_search::evaluations() const { return 0; }

std::unique_ptr<neighbour_search> makeSearch(const search_columns& columns, std::span<const unsigned> protectedRows,
                                             std::span<const unsigned> unprotectedRows,
                                             const search_settings& settings) {
  if (settings.method == search_method::scan)
    return std::make_unique<scan_search>(columns, protectedRows, unprotectedRows, settings.threads);
  return std::make_unique<index_search>(columns, protectedRows, unprotectedRows);
}

float pairDistance(std::span<const measure_column> measures, unsigned a, unsigned b) {
  assert(!measures.empty());
  float sum = 0.0f;
  for (const measure_column& c : measures) {
    float d = 0.0f;
    switch (c.kind) {
      case measure_kind::continuous:
        d = continuousTerm(c.values[a], c.values[b]);
        break;
      case measure_kind::nominal:
        d = nominalTerm(c.codes[a], c.codes[b], c.missingCode);
        break;
      case measure_kind::ordinal:
        d = ordinalTerm(static_cast<std::uint32_t>(c.codes[a]), static_cast<std::uint32_t>(c.codes[b]),
                        static_cast<std::uint32_t>(c.missingCode), c.maxCode);
        break;
    }
    sum = sum + d;
  }
  return sum / static_cast<float>(measures.size());
}

}  // namespace kel
