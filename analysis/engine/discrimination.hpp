// The discrimination test: for every protected tuple, in row order, its
// neighbourhoods in both groups (a neighbour_search), the verdict (judge),
// and the outputs (test_output), with the summary counts.
//
// runTest is the test over any pair of groups and any search, with or
// without outputs and progress; testDiscrimination is the run of the
// program: the dataset's groups, the output data file, the histogram and the
// console lines.
#pragma once

#include <functional>
#include <iosfwd>
#include <memory>
#include <span>
#include <vector>

#include "analysis/engine/judge.hpp"
#include "analysis/knn/search.hpp"
#include "util/cronos.hpp"

namespace orv::inpout {
class textout;
}

namespace kel {

class dataset;
class distribution;
class test_output;

struct test_settings;

// Makes the search of a test over the given groups (both increasing, kept
// alive by the caller for the search's lifetime).
using search_provider = std::function<std::unique_ptr<neighbour_search>(
    const dataset& data, std::span<const unsigned> protectedRows, std::span<const unsigned> unprotectedRows,
    const test_settings& settings)>;

// Settings of the discrimination test, from the command line.
struct test_settings {
  search_settings search;
  double threshold = 0.1;
  bool all = false;
  bool pre = false;
  bool useConfidence = false;
  double z = 0.0;
  bool reference = false;  // force the per-pair search
  // When set, makes every search the test runs in place of makeSearchFor's
  // own choice: a program that spreads the searches over other processes
  // hands them over through it.
  search_provider provider = {};
};

struct test_counts {
  unsigned visited = 0;        // protected tuples
  unsigned classCount = 0;     // tested tuples whose class condition holds
  unsigned discriminated = 0;  // flagged tuples
  unsigned emptyNeighbourhood = 0;  // searched tuples left untested, a neighbourhood being empty
};

// The console's progress line every 100 visited tuples, with the mean time
// per 100 since the test started; the time spent printing is left out.
class progress_line {
 public:
  explicit progress_line(std::ostream& console);
  void visited(unsigned count);

 private:
  std::ostream& console;
  orv::util::cronos watch;
  double accumulated = 0.0;
};

// Prevention mode tests only the tuples whose class condition holds, like
// the default mode.
inline bool testsEveryTuple(const test_settings& s) { return s.all && !s.pre; }

// The protected tuples that need a search: every one when all, otherwise
// those whose class condition holds or cannot be decided.
std::vector<unsigned> testQueries(const dataset& data, std::span<const unsigned> protectedRows, bool all);

judge_rule judgeRule(const dataset& data, const test_settings& s);

// The settings' provider when there is one; else the scan when the
// dataset's kinds allow it and the per-pair search is not forced, otherwise
// the per-pair search. The row lists must outlive it.
std::unique_ptr<neighbour_search> makeSearchFor(const dataset& data, std::span<const unsigned> protectedRows,
                                                std::span<const unsigned> unprotectedRows, const test_settings& s);

// The test of the tuples of protectedRows (increasing); queries are those of
// them testQueries gives, searched by `search` over the same groups. Each
// tuple goes to `out` in row order; dist counts every diff. Any of out,
// dist and progress may be null. When the search fails, the tuples up to
// the one it failed on are visited first, as a one-by-one search meets them.
test_counts runTest(const dataset& data, std::span<const unsigned> protectedRows, std::span<const unsigned> queries,
                    neighbour_search& search, const test_settings& settings, test_output* out, distribution* dist,
                    progress_line* progress);

// Some settings fail only once the search starts: a measured attribute of
// kind ignore, or a class attribute that is neither nominal nor continuous,
// raises its error at the first tuple searched, by which time the output
// data file would be open and emptied. This raises that error beforehand, by
// running the test up to its first search with the per-pair search, and
// writes the progress lines the test would have printed before it to the
// console. It searches nothing for the kinds every search takes.
// REQUIRES: splitGroups done.
void checkSearchKinds(const dataset& data, const test_settings& settings, std::ostream& console);

// The program's test of the dataset's groups: the output data file, the
// histogram, the progress and summary lines. Each tuple goes to `also`
// (when given) after the output data file.
test_counts testDiscrimination(dataset& data, const test_settings& settings, orv::inpout::textout& out,
                               distribution& dist, std::ostream& console, test_output* also = nullptr);

}  // namespace kel
