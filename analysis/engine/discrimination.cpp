#include "analysis/engine/discrimination.hpp"

#include <algorithm>
#include <ostream>
#include <sstream>

#include "analysis/engine/distribution.hpp"
#include "analysis/engine/reference_search.hpp"
#include "analysis/engine/writer.hpp"
#include "analysis/table/dataset.hpp"
#include "io/textout.hpp"

namespace kel {

progress_line::progress_line(std::ostream& console) : console(console) { watch.start(); }

void progress_line::visited(unsigned count) {
  if (count % 100 != 0) return;
  watch.stop();
  accumulated += watch.elapsed();
  console << "n = " << count << " time per 100 = " << accumulated / count * 100 << "\r";
  watch.start();
}

std::vector<unsigned> testQueries(const dataset& data, std::span<const unsigned> protectedRows, bool all) {
  std::vector<unsigned> queries;
  for (const unsigned r : protectedRows)
    if (all || data.classCondition(r) != 0) queries.push_back(r);
  return queries;
}

judge_rule judgeRule(const dataset& data, const test_settings& s) {
  const bool negate = data.classAtt->getType() == kindContinuous && data.ccond.op == opLess;
  return {s.threshold, s.useConfidence, s.z, negate};
}

std::unique_ptr<neighbour_search> makeSearchFor(const dataset& data, std::span<const unsigned> protectedRows,
                                                std::span<const unsigned> unprotectedRows, const test_settings& s) {
  if (s.provider) return s.provider(data, protectedRows, unprotectedRows, s);
  if (!s.reference)
    if (const auto columns = data.searchColumns()) return makeSearch(*columns, protectedRows, unprotectedRows, s.search);
  return std::make_unique<reference_search>(data, protectedRows, unprotectedRows);
}

test_counts runTest(const dataset& data, std::span<const unsigned> protectedRows, std::span<const unsigned> queries,
                    neighbour_search& search, const test_settings& settings, test_output* out, distribution* dist,
                    progress_line* progress) {
  const judge_rule rule = judgeRule(data, settings);
  test_counts counts;
  std::size_t cursor = 0;  // the next tuple of protectedRows to visit
  const auto visit = [&] {
    ++counts.visited;
    if (progress) progress->visited(counts.visited);
    return protectedRows[cursor++];
  };
  // The tuples before position `end` of protectedRows, which need no search.
  const auto untestedUntil = [&](std::size_t end) {
    while (cursor < end) {
      const unsigned r = visit();
      if (out) out->untested(r);
    }
  };
  // The position of a query: queries are a subsequence of protectedRows.
  const auto positionOf = [&](unsigned row) {
    std::size_t at = cursor;
    while (protectedRows[at] != row) ++at;
    return at;
  };

  std::size_t handed = 0;
  bool inSink = false;
  const auto take = [&](const result_block& block) {
    inSink = true;
    for (std::size_t i = 0; i < block.size(); ++i) {
      const unsigned r = block.row(i);
      untestedUntil(positionOf(r));
      visit();
      const neighbourhood u = block.get(i, group::unprotected);
      const neighbourhood p = block.get(i, group::protected_);
      const bool tested = u.found() != 0 && p.found() != 0;
      const bool holds = tested && data.classCondition(r) != 0;
      const verdict v = judge({p.found(), p.matching}, {u.found(), u.matching}, holds, rule);
      if (!v.tested) {
        ++counts.emptyNeighbourhood;
        if (out) out->emptyNeighbourhood(r, u, p);
        continue;
      }
      if (holds) ++counts.classCount;
      if (dist) dist->add(v.diff);
      if (v.flagged) ++counts.discriminated;
      if (out) out->tested(r, v, u, p);
    }
    handed += block.size();
    inSink = false;
  };
  try {
    search.run(queries, settings.search, take);
  } catch (...) {
    if (!inSink && handed < queries.size()) {
      untestedUntil(positionOf(queries[handed]));
      visit();
    }
    throw;
  }
  untestedUntil(protectedRows.size());
  if (out) out->finish();
  return counts;
}

void checkSearchKinds(const dataset& data, const test_settings& settings, std::ostream& console) {
  const int classKind = data.classAtt->getType();
  const bool measuredIgnore = std::any_of(data.measureAtts.begin(), data.measureAtts.end(),
                                          [](const attribute* att) { return att->getType() == kindIgnore; });
  if ((classKind == kindNominal || classKind == kindContinuous) && !measuredIgnore) return;
  const std::vector<unsigned> protectedList = members(data.protectedRows);
  const std::vector<unsigned> queries = testQueries(data, protectedList, testsEveryTuple(settings));
  if (queries.empty()) return;
  const std::vector<unsigned> unprotectedList = members(data.unprotectedRows);
  reference_search search(data, protectedList, unprotectedList);
  std::ostringstream lines;
  progress_line progress(lines);
  try {
    runTest(data, protectedList, std::span(queries).first(1), search, settings, nullptr, nullptr, &progress);
  } catch (...) {
    console << lines.str();
    throw;
  }
}

test_counts testDiscrimination(dataset& data, const test_settings& settings, orv::inpout::textout& out,
                               distribution& dist, std::ostream& console, test_output* also) {
  progress_line progress(console);
  const std::vector<unsigned> protectedList = members(data.protectedRows);
  const std::vector<unsigned> queries = testQueries(data, protectedList, testsEveryTuple(settings));
  std::vector<unsigned> unprotectedList;
  std::unique_ptr<neighbour_search> search;
  if (!queries.empty()) {
    unprotectedList = members(data.unprotectedRows);
    search = makeSearchFor(data, protectedList, unprotectedList, settings);
  } else {
    search = std::make_unique<reference_search>(data, protectedList, unprotectedList);  // never runs a query
  }
  data_writer writer(data, out, settings.pre, protectedList);
  output_list outputs{&writer, also};
  const test_counts c = runTest(data, protectedList, queries, *search, settings, &outputs, &dist, &progress);
  console << "output: " << c.visited << " acond cases, " << c.classCount << " class value, " << c.discriminated
          << " discriminated." << std::endl;
  return c;
}

}  // namespace kel
