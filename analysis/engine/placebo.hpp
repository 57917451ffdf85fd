// The placebo baseline: the whole test run again with the a-cond verdicts
// shuffled among the rows that have one, which keeps the group sizes and the
// rows whose a-cond is undecided (they stay in neither group) but removes any
// link between the group and the rest of the row. Whatever the real run
// flags beyond what such runs flag is what chance does not explain.
//
// The statistic is the share of tested tuples that are flagged: tested are
// the protected tuples whose class condition holds (or cannot be decided)
// and whose two neighbourhoods are non-empty, the summary line's "class
// value" count; flagged is its "discriminated" count. Shuffling changes how
// many tuples are tested, so counts alone would not compare.
//
// Shuffle i is a Fisher-Yates shuffle drawn from the generator of (seed, i)
// (util/rand64.hpp): the same for any thread count and any number of runs.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "analysis/engine/discrimination.hpp"

namespace kel {

struct flag_count {
  unsigned tested = 0;
  unsigned flagged = 0;
};

// flagged / tested; nothing when no tuple was tested.
std::optional<double> flaggedShare(const flag_count& c);

// The test of the shuffled groups. Each run searches with the factory's
// search on settings.search.threads threads and writes nothing.
// REQUIRES: splitGroups done, and the dataset unchanged while this lives.
class placebo_test {
 public:
  placebo_test(const dataset& data, const test_settings& settings, std::uint64_t seed);

  flag_count run(std::uint64_t i) const;
  // The protected rows of shuffle i, increasing.
  std::vector<unsigned> protectedRows(std::uint64_t i) const;

 private:
  // The rows with a decided a-cond, increasing, and whether each is protected.
  void shuffled(std::uint64_t i, std::vector<unsigned>& protectedList, std::vector<unsigned>& unprotectedList) const;

  const dataset& data;
  test_settings settings;
  std::uint64_t seed;
  std::vector<unsigned> decided;
  std::vector<std::uint8_t> isProtected;  // by position in decided
  std::vector<std::uint8_t> classHolds;   // by row: the class condition holds or is undecided
};

// The real run against the placebo runs. Runs without a tested tuple have
// no share and are left out of every figure (`compared` counts the others).
struct placebo_figures {
  flag_count real;
  std::vector<flag_count> runs;
  std::optional<double> realShare;
  unsigned compared = 0;
  std::optional<double> mean;               // of the shares, in run order
  std::optional<double> standardDeviation;  // with compared - 1 degrees of freedom
  std::optional<double> p5, p50, p95;       // percentiles, see percentile()
  std::optional<double> excessShare;        // real - mean
  std::optional<double> excessTuples;       // excessShare x real tested
  std::optional<double> pValue;             // (1 + #{share >= real}) / (compared + 1)
};

placebo_figures placeboFigures(const flag_count& real, std::vector<flag_count> runs);

// Runs placebo tests 0 .. runs - 1 and sets their figures against the real run's.
placebo_figures placeboBaseline(const dataset& data, const test_settings& settings, std::uint64_t seed, unsigned runs,
                                const flag_count& real);

// The p-th quantile (0 <= p <= 1) of sorted values, linear between the
// closest ranks: h = (n - 1) p, x[floor h] + (h - floor h)(x[floor h + 1] -
// x[floor h]). REQUIRES: values not empty, sorted.
double percentile(std::span<const double> sorted, double p);

// The console line: shares and p to four decimals, the excess rounded to
// whole tuples, "undefined" for a figure without a value.
std::string placeboLine(const placebo_figures& f);

}  // namespace kel
