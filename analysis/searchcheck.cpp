#include "analysis/searchcheck.hpp"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "util/cronos.hpp"

namespace kel {

void checkSearchKinds(const dataset& data, const test_settings& settings, std::ostream& console) {
  const int classKind = data.classAtt->getType();
  const bool measuredIgnore = std::any_of(data.measureAtts.begin(), data.measureAtts.end(),
                                          [](const attribute* att) { return att->getType() == 4; });
  if ((classKind == 1 || classKind == 3) && !measuredIgnore) return;

  // The walk of testDiscrimination up to its first search: the same tuples
  // visited, the same condition evaluated, the same two searches.
  const bool all = settings.all && !settings.pre;
  std::ostringstream progress;
  unsigned visited = 0;
  double accumulated = 0.0;
  orv::util::cronos watch;
  watch.start();
  orv::adt::bitmap::Iterator walk(data.protectedRows);
  orv::adt::bitmap::Iterator protectedCandidates(data.protectedRows);
  orv::adt::bitmap::Iterator unprotectedCandidates(data.unprotectedRows);
  try {
    unsigned r;
    while (walk.next(r)) {
      ++visited;
      if (visited % 100 == 0) {
        watch.stop();
        accumulated += watch.elapsed();
        progress << "n = " << visited << " time per 100 = " << accumulated / visited * 100 << "\r";
        watch.start();
      }
      if (!all && data.classAtt->evalCond(r, data.ccond.op, data.ccond.value) == 0) continue;
      data.knn(settings.k, settings.maxDistance, r, unprotectedCandidates);
      data.knn(settings.k, settings.maxDistance, r, protectedCandidates);
      return;
    }
  } catch (...) {
    console << progress.str();
    throw;
  }
}

}  // namespace kel
