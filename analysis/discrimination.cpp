// The discrimination test: for every protected tuple, its neighbourhoods in
// both groups, the difference of the shares of neighbours with the same class
// outcome, the verdict, and the output row. Rows are written and flushed in
// protected-row order whatever the search does in parallel.
#include <cmath>
#include <ostream>

#include "analysis/dataset.hpp"
#include "analysis/distribution.hpp"
#include "analysis/textout.hpp"
#include "util/cronos.hpp"

namespace kel {

void dataset::writeRow(unsigned row, std::ostream& out, bool replaceClass) {
  bool first = true;
  for (const auto& att : *atts) {
    if (!first) out << ',';
    first = false;
    if (replaceClass && att.get() == classAtt)
      out << preValue;
    else
      out << att->getString(row);
  }
}

void dataset::testDiscrimination(const test_settings& settings, textout& out, distribution& dist,
                                 std::ostream& console) {
  const bool pre = settings.pre;
  const bool all = settings.all && !pre;

  orv::adt::bitmap::Iterator protectedWalk(protectedRows);
  orv::adt::bitmap::Iterator protectedCandidates(protectedRows);
  orv::adt::bitmap::Iterator unprotectedCandidates(unprotectedRows);
  unsigned visited = 0;
  unsigned classCount = 0;
  unsigned discriminated = 0;
  double accumulated = 0.0;
  orv::util::cronos watch;
  watch.start();

  const bool classContinuousLess = classAtt->getType() == 3 && ccond.op == 0;
  auto writeUnchanged = [&](unsigned row) {
    writeRow(row, out.stream(), false);
    out.end_line();
  };

  unsigned r;
  while (protectedWalk.next(r)) {
    protectedCandidates.reset();
    unprotectedCandidates.reset();
    ++visited;
    if (visited % 100 == 0) {
      watch.stop();
      accumulated += watch.elapsed();
      console << "n = " << visited << " time per 100 = " << accumulated / visited * 100 << "\r";
      watch.start();
    }
    if (!all && classCondition(r) == 0) {
      if (pre) writeUnchanged(r);
      continue;
    }
    const neighbours u = knn(settings.k, settings.maxDistance, r, unprotectedCandidates);
    const neighbours p = knn(settings.k, settings.maxDistance, r, protectedCandidates);
    if (u.found == 0 || p.found == 0) {
      if (pre) writeUnchanged(r);
      continue;
    }
    const double pp = static_cast<double>(p.matching) / p.found;
    const double pu = static_cast<double>(u.matching) / u.found;
    double diff = pp - pu;
    if (settings.useConfidence) {
      const double h = settings.z * std::sqrt(pp * (1 - pp) / p.found + pu * (1 - pu) / u.found);
      if (diff >= 0) {
        diff = diff - h;
        if (!(diff > 0)) diff = 0;
      } else {
        diff = diff + h;
        if (!(diff < 0)) diff = 0;
      }
    }
    if (classContinuousLess) diff = -diff;
    const bool satisfied = classCondition(r) != 0;
    if (satisfied) ++classCount;
    dist.add(diff);

    const bool flagged = satisfied && diff >= settings.threshold;
    if (flagged) ++discriminated;
    if (pre) {
      writeRow(r, out.stream(), flagged);
    } else {
      writeRow(r, out.stream(), false);
      out.stream() << ',' << diff << (flagged ? ",yes" : ",no");
    }
    out.end_line();
  }

  if (pre) {
    const unsigned n = classAtt->size();
    for (unsigned j = 0; j < n; ++j)
      if (!protectedRows.test(j)) writeUnchanged(j);
  }
  out.finish();
  console << "output: " << visited << " acond cases, " << classCount << " class value, " << discriminated
          << " discriminated." << std::endl;
}

}  // namespace kel
