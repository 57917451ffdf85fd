#include "analysis/engine/reference_search.hpp"

#include "util/error.hpp"

namespace kel {

void reference_search::knn(unsigned query, std::span<const unsigned> candidates, const search_settings& settings,
                           group g, result_block& out, std::size_t i) {
  selection.start(settings.k, settings.maxDistance);
  for (const unsigned c : candidates) {
    if (c == query) continue;
    selection.offer({data.distance(query, c), c});
  }
  const std::span<const neighbour> chosen = selection.take();
  const attribute& cls = *data.classAtt;
  unsigned matching = 0;
  // The query's value is read even when nothing was selected.
  if (cls.getType() == kindNominal) {
    const std::int32_t q = cls.getNominal(query);
    for (const neighbour& n : chosen) matching += outcomeMatches(q, cls.getNominal(n.row));
  } else {
    const float q = cls.getContinuous(query);
    for (const neighbour& n : chosen) matching += outcomeMatches(q, cls.getContinuous(n.row));
  }
  out.set(i, g, chosen, matching);
}

void reference_search::run(std::span<const unsigned> queries, const search_settings& settings,
                           const result_sink& sink) {
  if (settings.k == 0) throw orv::util::error("neighbour search: k must be at least 1");
  result_block block;
  for (std::size_t i = 0; i < queries.size(); ++i) {
    block.reset(i, queries.subspan(i, 1));
    knn(queries[i], unprotectedRows, settings, group::unprotected, block, 0);
    knn(queries[i], protectedRows, settings, group::protected_, block, 0);
    sink(block);
  }
}

}  // namespace kel
