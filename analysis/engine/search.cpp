// The straightforward distance and neighbour search: one virtual call per
// measured attribute per pair. It is the reference the fast search is
// tested against, and the path for the rare settings the fast one does not
// take (an ignored attribute measured, a class that is neither nominal nor
// continuous), where errors must surface exactly where this search meets them.
#include <algorithm>
#include <utility>

#include "analysis/table/dataset.hpp"

namespace kel {

float dataset::distance(unsigned a, unsigned b) const {
  float sum = 0.0f;
  for (const attribute* att : measureAtts) sum = sum + att->distance(a, b);
  return sum / static_cast<float>(measureAtts.size());
}

neighbours dataset::knn(unsigned k, float maxDistance, unsigned query,
                        orv::it::Iiterator<unsigned>& candidates) const {
  // Max-heap of (distance, row) pairs: the top is the farthest, and among
  // equal distances the highest row, so ties go to the smaller row.
  std::vector<std::pair<float, unsigned>> heap;
  float bound = maxDistance;
  unsigned c;
  while (candidates.next(c)) {
    if (c == query) continue;
    const float d = distance(query, c);
    if (bound < d) continue;
    heap.emplace_back(d, c);
    std::push_heap(heap.begin(), heap.end());
    if (heap.size() > k) {
      bound = heap.front().first;
      std::pop_heap(heap.begin(), heap.end());
      heap.pop_back();
    }
  }
  neighbours result;
  result.found = static_cast<unsigned>(heap.size());
  if (classAtt->getType() == 1) {
    const std::int32_t q = classAtt->getNominal(query);
    for (const auto& [d, row] : heap) result.matching += classAtt->getNominal(row) == q;
  } else {
    const float q = classAtt->getContinuous(query);
    for (const auto& [d, row] : heap) result.matching += classAtt->getContinuous(row) >= q;
  }
  return result;
}

}  // namespace kel
