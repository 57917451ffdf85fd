// The discrimination test: for every protected tuple, its neighbourhoods in
// both groups, the difference of the shares of neighbours with the same class
// outcome, the verdict, and the output row. Rows are written and flushed in
// protected-row order whatever the search does in parallel.
#include <algorithm>
#include <cmath>
#include <functional>
#include <future>
#include <memory>
#include <ostream>
#include <vector>

#include "analysis/dataset.hpp"
#include "analysis/fastknn.hpp"
#include "analysis/distribution.hpp"
#include "analysis/textout.hpp"
#include "util/cronos.hpp"

namespace kel {

namespace {

// Protected tuples searched per pass of the fast search; their rows are
// written before the next pass starts.
constexpr std::size_t chunk = 1024;

std::vector<unsigned> members(const orv::adt::bitmap& rows) {
  std::vector<unsigned> out;
  orv::adt::bitmap::Iterator it(rows);
  unsigned r;
  while (it.next(r)) out.push_back(r);
  return out;
}

}  // namespace

std::unique_ptr<fastknn> dataset::makeFastSearch(std::span<const unsigned> protectedList,
                                                 std::span<const unsigned> unprotectedList) const {
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
  return std::make_unique<fastknn>(columns, cls, protectedList, unprotectedList);
}

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

  const std::vector<unsigned> walk = members(protectedRows);
  std::unique_ptr<fastknn> fast;
  std::vector<unsigned> unprotectedList;
  if (!settings.reference && !walk.empty()) {
    unprotectedList = members(unprotectedRows);
    fast = makeFastSearch(walk, unprotectedList);
  }
  // With worker threads, the search of the next pass runs while this thread
  // writes the rows of the current one.
  struct pass {
    std::vector<unsigned> queries;
    std::vector<knn_result> unprotected;
    std::vector<knn_result> protected_;
  };
  auto prepare = [&](std::size_t begin, pass& next) {
    next.queries.clear();
    for (std::size_t i = begin; i < std::min(walk.size(), begin + chunk); ++i)
      if (all || classCondition(walk[i]) != 0) next.queries.push_back(walk[i]);
    next.unprotected.resize(next.queries.size());
    next.protected_.resize(next.queries.size());
  };
  auto search = [&](pass& next) {
    fast->search_many(next.queries, settings.k, settings.maxDistance, next.unprotected.data(),
                      next.protected_.data(), settings.threads);
  };
  pass current;
  pass upcoming;
  std::future<void> pending;  // destroyed first: waits for the search before the passes go
  const bool overlap = settings.threads > 1;
  if (fast) {
    prepare(0, current);
    search(current);
  }

  for (std::size_t begin = 0; begin < walk.size(); begin += chunk) {
    const std::size_t end = std::min(walk.size(), begin + chunk);
    if (fast && end < walk.size()) {
      prepare(end, upcoming);
      if (overlap)
        pending = std::async(std::launch::async, search, std::ref(upcoming));
      else
        search(upcoming);
    }
    std::size_t next = 0;
    for (std::size_t i = begin; i < end; ++i) {
      const unsigned r = walk[i];
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
      neighbours u;
      neighbours p;
      if (fast) {
        u = {current.unprotected[next].found, current.unprotected[next].matching};
        p = {current.protected_[next].found, current.protected_[next].matching};
        ++next;
      } else {
        u = knn(settings.k, settings.maxDistance, r, unprotectedCandidates);
        p = knn(settings.k, settings.maxDistance, r, protectedCandidates);
      }
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
    if (pending.valid()) pending.get();
    std::swap(current, upcoming);
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
