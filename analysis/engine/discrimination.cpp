// The discrimination test: for every protected tuple, its neighbourhoods in
// both groups, the difference of the shares of neighbours with the same class
// outcome, the verdict, and the output row. Rows are written and flushed in
// protected-row order whatever the search does in parallel.
#include <algorithm>
#include <cmath>
#include <memory>
#include <ostream>
#include <vector>

#include "analysis/table/dataset.hpp"
#include "analysis/knn/fastknn.hpp"
#include "analysis/engine/distribution.hpp"
#include "io/textout.hpp"
#include "util/cronos.hpp"

namespace kel {

namespace {

std::vector<unsigned> members(const orv::adt::bitmap& rows) {
  std::vector<unsigned> out;
  orv::adt::bitmap::Iterator it(rows);
  unsigned r;
  while (it.next(r)) out.push_back(r);
  return out;
}

}  // namespace

std::unique_ptr<fastknn> dataset::makeFastSearch(std::span<const unsigned> protectedList,
                                                 std::span<const unsigned> unprotectedList,
                                                 unsigned threads) const {
  // The fast search covers the settings of real analyses. The others (an
  // ignored column measured, an ordinal or ignored class) fail in the
  // per-pair search, at exactly the point where that search meets them.
  class_column cls;
  if (const auto* nominal = dynamic_cast<const attnominal*>(classAtt); nominal && classAtt->getType() == 1) {
    cls.nominal = true;
    cls.codes = nominal->codesView().data();
  } else if (const auto* continuous = dynamic_cast<const attcontinuous*>(classAtt)) {
    cls.nominal = false;
    cls.values = continuous->valuesView().data();
  } else {
    return nullptr;
  }
  std::vector<measure_column> columns;
  for (const attribute* att : measureAtts) {
    measure_column c;
    if (const auto* continuous = dynamic_cast<const attcontinuous*>(att)) {
      c.kind = measure_kind::continuous;
      c.values = continuous->valuesView().data();
    } else if (const auto* ordinal = dynamic_cast<const attordinal*>(att)) {
      c.kind = measure_kind::ordinal;
      c.codes = ordinal->codesView().data();
      c.missing_code = ordinal->getMissingCode();
      c.max_code = ordinal->getMaxCode();
    } else if (att->getType() == 1) {
      const auto* nominal = static_cast<const attnominal*>(att);
      c.kind = measure_kind::nominal;
      c.codes = nominal->codesView().data();
      c.missing_code = nominal->getMissingCode();
    } else {
      return nullptr;
    }
    columns.push_back(c);
  }
  return std::make_unique<fastknn>(columns, cls, protectedList, unprotectedList, threads);
}

void dataset::writeRow(unsigned row, std::ostream& out, bool replaceClass) {
  // The fields are gathered first and inserted at once: a stream insertion
  // per field cost more than the rest of writing the row.
  rowText.clear();
  bool first = true;
  for (const auto& att : *atts) {
    if (!first) rowText += ',';
    first = false;
    if (replaceClass && att.get() == classAtt)
      rowText += preValue;
    else
      rowText += att->getString(row);
  }
  out.write(rowText.data(), static_cast<std::streamsize>(rowText.size()));
}

void dataset::testDiscrimination(const test_settings& settings, orv::inpout::textout& out, distribution& dist,
                                 std::ostream& console) {
  const bool pre = settings.pre;
  const bool all = settings.all && !pre;

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

  // One protected tuple, in protected-row order, with its neighbourhoods when
  // the fast search has found them (null: search here, the per-pair way).
  auto visit = [&](unsigned r, const knn_result* given_unprotected, const knn_result* given_protected) {
    ++visited;
    if (visited % 100 == 0) {
      watch.stop();
      accumulated += watch.elapsed();
      console << "n = " << visited << " time per 100 = " << accumulated / visited * 100 << "\r";
      watch.start();
    }
    if (!all && classCondition(r) == 0) {
      if (pre) writeUnchanged(r);
      return;
    }
    neighbours u;
    neighbours p;
    if (given_unprotected) {
      u = {given_unprotected->found, given_unprotected->matching};
      p = {given_protected->found, given_protected->matching};
    } else {
      protectedCandidates.reset();
      unprotectedCandidates.reset();
      u = knn(settings.k, settings.maxDistance, r, unprotectedCandidates);
      p = knn(settings.k, settings.maxDistance, r, protectedCandidates);
    }
    if (u.found == 0 || p.found == 0) {
      if (pre) writeUnchanged(r);
      return;
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
  };

  const std::vector<unsigned> walk = members(protectedRows);
  std::unique_ptr<fastknn> fast;
  if (!settings.reference && !walk.empty()) {
    const std::vector<unsigned> unprotectedList = members(unprotectedRows);
    fast = makeFastSearch(walk, unprotectedList, settings.threads);
  }
  if (!fast) {
    for (unsigned r : walk) visit(r, nullptr, nullptr);
  } else {
    // The tuples that need a search; the others are visited between them.
    std::vector<unsigned> queries;
    for (unsigned r : walk)
      if (all || classCondition(r) != 0) queries.push_back(r);
    std::vector<knn_result> foundUnprotected(queries.size());
    std::vector<knn_result> foundProtected(queries.size());
    std::size_t cursor = 0;  // next tuple of walk to visit
    std::size_t query = 0;   // next query to visit
    // Rows are written on this thread, in order, as soon as the results
    // before them are complete, while the search goes on.
    auto ready = [&](std::size_t complete) {
      for (; cursor < walk.size(); ++cursor) {
        const unsigned r = walk[cursor];
        if (query < queries.size() && queries[query] == r) {
          if (query == complete) break;
          visit(r, &foundUnprotected[query], &foundProtected[query]);
          ++query;
        } else {
          visit(r, nullptr, nullptr);
        }
      }
    };
    fast->search_ordered(queries, settings.k, settings.maxDistance, foundUnprotected.data(),
                         foundProtected.data(), settings.threads, ready);
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
