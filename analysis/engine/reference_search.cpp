#include "analysis/engine/reference_search.hpp"

#include "util/error.hpp"

namespace kel {

bool classMatches(const attribute& cls, unsigned query, unsigned neighbour) {
  if (cls.getType() == kindNominal) return outcomeMatches(cls.getNominal(query), cls.getNominal(neighbour));
  return outcomeMatches(cls.getContinuous(query), cls.getContinuous(neighbour));
}

void reference_search::knn(unsigned query, std::span<const unsigned> candidates, const search_settings& settings,
                           group g, result_block& out, std::size_t i) {
  selection.start(settings.k, settings.maxDistance);
  for (const unsigned c : candidates) {
    if (c == query) continue;
    selection.offer({data.distance(query, c), c});
  }
  const std::span<const neighbour> chosen = selection.take();
  const attribute& cls = *data.classAtt;
  // The query's value is read even when nothing was selected: a class of
  // the wrong kind fails at the first search.
  if (cls.getType() != kindNominal) cls.getContinuous(query);
  unsigned matching = 0;
  for (const neighbour& n : chosen) matching += classMatches(cls, query, n.row);
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
