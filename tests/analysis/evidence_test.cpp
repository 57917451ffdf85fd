// What a run offers to judge its result by: the neighbours behind each
// verdict, the group figures, and the placebo baseline. The neighbours are
// checked against a plain sort of every candidate, the figures against
// counts worked out by hand.
#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <random>

#include "analysis/engine/groups.hpp"
#include "analysis/engine/placebo.hpp"
#include "analysis/engine/writer.hpp"
#include "support/tables.hpp"

using namespace testing_support;

namespace {

struct table {
  std::string meta, data, select;
};

// A group column (a few rows undecided), a nominal or continuous class, and
// two to four measured columns with few values and missing ones, so that
// distances tie often; some rows repeated outright.
table random_table(std::mt19937& rng, bool continuousClass) {
  std::uniform_int_distribution<int> pick(0, 99);
  const int rows = 10 + pick(rng) * 2, extra = 2 + pick(rng) % 3;
  table t{continuousClass ? "g,nominal\nc,continuous\n" : "g,nominal\nc,nominal\n", "", ""};
  static const char* const kindLines[] = {",nominal\n", ",ordinal,lo,mid,hi\n", ",continuous\n"};
  std::vector<int> kinds;
  for (int i = 0; i < extra; ++i) {
    kinds.push_back(pick(rng) % 3);
    t.meta += 'a' + std::to_string(i) + kindLines[kinds.back()];
  }
  t.meta += "id,ignore\n";
  const int missingRate = pick(rng) % 25;
  auto maybe = [&](const std::string& v) { return pick(rng) < missingRate ? std::string("?") : v; };
  static const char* const scale[] = {"lo", "mid", "hi"};
  for (int r = 0; r < rows; ++r) {
    std::string line = pick(rng) < 45 ? "p," : (pick(rng) < 93 ? "u," : "?,");
    // The first row names the class value the condition asks for.
    line += continuousClass ? maybe(std::to_string(pick(rng) % 4)) : r == 0 ? "bad" : maybe(pick(rng) < 50 ? "good" : "bad");
    for (int kind : kinds) {
      line += ",";
      if (kind == 0) line += maybe(std::string(1, static_cast<char>('x' + pick(rng) % 3)));
      if (kind == 1) line += maybe(scale[pick(rng) % 3]);
      if (kind == 2) line += maybe(std::to_string(pick(rng) % 5));
    }
    line += ',' + std::to_string(r) + '\n';
    t.data += line;
    if (pick(rng) < 10) t.data += line;
  }
  std::string measured;
  for (int i = 0; i < extra; ++i)
    if (pick(rng) < 75 || (measured.empty() && i == extra - 1)) measured += (measured.empty() ? "a" : ",a") + std::to_string(i);
  const char* op = continuousClass ? (pick(rng) < 50 ? "<" : ">=") : "=";
  t.select = std::string("g=p\nc") + op + (continuousClass ? "2" : "bad") + "\n" + measured + "\nreplaced\n";
  return t;
}

struct evidence_run {
  std::string output, neighbours;
  kel::test_counts counts;
};

evidence_run run_with_neighbours(kel::dataset& d, const kel::test_settings& s) {
  std::ostringstream console;
  d.splitGroups(console);
  kel::distribution dist;
  evidence_run r;
  r.neighbours = written(
      [&](const std::string& nbrName) {
        orv::inpout::textout nbr(nbrName);
        kel::neighbour_writer writer(d, nbr);
        r.output = written([&](const std::string& name) {
          orv::inpout::textout out(name);
          r.counts = kel::testDiscrimination(d, s, out, dist, console, &writer);
        });
      },
      "neighbours");
  return r;
}

// The neighbours of row q among the rows of `group` (q left out) as a plain
// sort of every candidate within the bound gives them; each with whether its
// class value matches q's.
struct expected_neighbour {
  float distance;
  unsigned row;
  bool match;
};

std::vector<expected_neighbour> nearest(const kel::dataset& d, unsigned q, const std::vector<unsigned>& group,
                                        unsigned k, float maxDistance) {
  std::vector<expected_neighbour> all;
  const kel::attribute& cls = *d.classAtt;
  for (const unsigned c : group) {
    if (c == q) continue;
    const float dist = d.distance(q, c);
    if (!(dist <= maxDistance)) continue;
    const bool match = cls.getType() == kel::kindNominal ? cls.getNominal(c) == cls.getNominal(q)
                                                          : cls.getContinuous(c) >= cls.getContinuous(q);
    all.push_back({dist, c, match});
  }
  std::sort(all.begin(), all.end(), [](const expected_neighbour& a, const expected_neighbour& b) {
    return a.distance != b.distance ? a.distance < b.distance : a.row < b.row;
  });
  if (all.size() > k) all.resize(k);
  return all;
}

std::string neighbourLines(unsigned q, const char* group, const std::vector<expected_neighbour>& list) {
  std::string text;
  for (std::size_t i = 0; i < list.size(); ++i) {
    char line[128];
    std::snprintf(line, sizeof line, "%u,%s,%zu,%u,%.9g,%d\n", q + 1, group, i + 1, list[i].row + 1,
                  static_cast<double>(list[i].distance), list[i].match ? 1 : 0);
    text += line;
  }
  return text;
}

unsigned matching(const std::vector<expected_neighbour>& list) {
  return static_cast<unsigned>(std::count_if(list.begin(), list.end(), [](auto& n) { return n.match; }));
}

}  // namespace

// For every tuple searched, in the output file's row order: its protected
// then unprotected neighbours as a sort of all candidates ranks them (ties by
// row), distances that read back as the same float, matches that add up to
// the diff written for the tuple; the same file from the per-pair search and
// from the fast one at 1, 2 and 8 threads, in every mode.
TEST(neighbours, every_searched_tuple_against_a_sort_of_all_candidates) {
  std::mt19937 rng(2024);
  std::uniform_int_distribution<int> pick(0, 99);
  for (int round = 0; round < 80; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const table t = random_table(rng, round % 4 == 0);
    kel::test_settings s{.search = {.k = round % 9 == 0 ? 40u : 1 + static_cast<unsigned>(pick(rng) % 6),
                                    .maxDistance = pick(rng) < 35 ? static_cast<float>(pick(rng) % 4) * 0.25f : FLT_MAX},
                         .all = pick(rng) < 30, .pre = pick(rng) < 20, .reference = true};
    auto d = load(t.meta, t.data, t.select);
    const evidence_run reference = run_with_neighbours(*d, s);

    const std::vector<unsigned> protectedRows = kel::members(d->protectedRows);
    const std::vector<unsigned> unprotectedRows = kel::members(d->unprotectedRows);
    const bool negate = d->classAtt->getType() == kel::kindContinuous && d->ccond.op == kel::opLess;
    std::string expected = "row,group,rank,neighbour,distance,match\n", diffs;
    unsigned empty = 0;
    for (const unsigned q : protectedRows) {
      if (!(s.all && !s.pre) && d->classCondition(q) == 0) continue;
      const auto p = nearest(*d, q, protectedRows, s.search.k, s.search.maxDistance);
      const auto u = nearest(*d, q, unprotectedRows, s.search.k, s.search.maxDistance);
      expected += neighbourLines(q, "protected", p) + neighbourLines(q, "unprotected", u);
      if (p.empty() || u.empty()) {
        ++empty;
        continue;
      }
      double diff = static_cast<double>(matching(p)) / static_cast<double>(p.size()) -
                    static_cast<double>(matching(u)) / static_cast<double>(u.size());
      if (negate) diff = -diff;
      std::ostringstream text;
      text << ',' << diff << ',';
      diffs += text.str();
    }
    EXPECT_EQ(reference.neighbours, expected);
    EXPECT_EQ(reference.counts.emptyNeighbourhood, empty);
    if (!s.pre) {
      // Each output row ends with ",diff,yes" or ",diff,no".
      std::string tails;
      for (const std::string& row : lines_of(reference.output)) {
        const std::size_t verdict = row.rfind(','), diff = row.rfind(',', verdict - 1);
        tails += row.substr(diff, verdict - diff + 1);
      }
      EXPECT_EQ(tails, diffs);
    }
    s.reference = false;
    for (unsigned threads : {1u, 2u, 8u}) {
      s.search.threads = threads;
      const evidence_run fast = run_with_neighbours(*d, s);
      ASSERT_EQ(fast.neighbours, reference.neighbours) << "threads " << threads << "\n" << t.meta << t.select;
      ASSERT_EQ(fast.output, reference.output) << "threads " << threads;
    }
  }
}

// A worked case: a distance that needs nine digits to read back, and an
// empty protected neighbourhood, whose tuple keeps its unprotected lines
// though the output file leaves it out.
TEST(neighbours, a_hand_worked_table) {
  // x is ordinal on 0..3: codes 0 and 1 are 1/3 apart, which the file must
  // print as 0.333333343 to read back as the same float.
  auto d = load("g,nominal\nx,ordinal,0,1,2,3\nclass,nominal\n", "p,0,bad\np,1,bad\nu,0,good\nu,3,bad\np,3,bad\n",
                "g=p\nclass=bad\nx\n");
  const evidence_run r = run_with_neighbours(*d, {.search = {.k = 2, .maxDistance = 0.5f}});
  EXPECT_EQ(r.neighbours,
            "row,group,rank,neighbour,distance,match\n"
            "1,protected,1,2,0.333333343,1\n"
            "1,unprotected,1,3,0,0\n"
            "2,protected,1,1,0.333333343,1\n"
            "2,unprotected,1,3,0.333333343,0\n"
            "5,unprotected,1,4,0,1\n");
  EXPECT_EQ(r.output, "p,0,bad,1,yes\np,1,bad,1,yes\n");
  EXPECT_EQ(r.counts.emptyNeighbourhood, 1u);
  EXPECT_EQ(1.0f / 3.0f, std::strtof("0.333333343", nullptr));
}

// Shares of the rows whose class condition is decided: here the protected
// rows meet it 2 of 3 times (one class value missing), the unprotected rows
// never, so the ratio has no value while the difference does; one row's
// a-cond is undecided.
TEST(group_figures, a_hand_counted_table) {
  auto d = load("g,nominal\nclass,nominal\n", "p,bad\np,bad\np,good\np,?\nu,good\nu,good\n?,bad\nu,good\nu,good\n",
                "g=p\nclass=bad\ng\n");
  std::ostringstream console;
  d->splitGroups(console);
  const kel::group_figures f = kel::groupFigures(*d);
  EXPECT_EQ(f.protected_.meeting, 2u);
  EXPECT_EQ(f.protected_.failing, 1u);
  EXPECT_EQ(f.protected_.undecided, 1u);
  EXPECT_EQ(f.unprotected.meeting, 0u);
  EXPECT_EQ(f.unprotected.failing, 4u);
  EXPECT_EQ(f.unprotected.undecided, 0u);
  EXPECT_EQ(f.undecidedRows, 1u);

  const kel::group_rates r = kel::groupRates(f);
  EXPECT_EQ(r.protectedShare, 2.0 / 3.0);
  EXPECT_EQ(r.unprotectedShare, 0.0);
  EXPECT_EQ(r.difference, 2.0 / 3.0);
  EXPECT_FALSE(r.ratio);
  EXPECT_EQ(r.protectedFavourable, 1.0 / 3.0);
  EXPECT_EQ(r.unprotectedFavourable, 1.0);
  EXPECT_EQ(r.favourableRatio, 1.0 / 3.0);
  EXPECT_EQ(r.fourFifthsHolds, false);

  // At exactly four fifths the rule holds: favourable 4 of 10 against 5 of 10.
  kel::group_figures edge;
  edge.protected_ = {6, 4, 0};
  edge.unprotected = {5, 5, 0};
  const kel::group_rates e = kel::groupRates(edge);
  EXPECT_EQ(e.favourableRatio, 0.4 / 0.5);
  EXPECT_EQ(*e.favourableRatio, 0.8);
  EXPECT_EQ(e.fourFifthsHolds, true);
  EXPECT_EQ(e.ratio, 0.6 / 0.5);

  // A group with no decided class value has no shares at all.
  kel::group_figures none;
  none.protected_ = {0, 0, 3};
  none.unprotected = {1, 1, 0};
  const kel::group_rates n = kel::groupRates(none);
  EXPECT_FALSE(n.protectedShare);
  EXPECT_FALSE(n.difference);
  EXPECT_FALSE(n.ratio);
  EXPECT_FALSE(n.favourableRatio);
  EXPECT_FALSE(n.fourFifthsHolds);
}

// The figures of a placebo series, worked out by hand: shares 0.1, 0.2,
// 0.25, 0.5 (a run with nothing tested left out), real 0.3.
TEST(placebo, figures_and_console_line) {
  const kel::placebo_figures f =
      kel::placeboFigures({10, 3}, {{10, 1}, {10, 2}, {0, 0}, {8, 2}, {4, 2}});
  EXPECT_EQ(f.compared, 4u);
  EXPECT_EQ(f.realShare, 0.3);
  // (0.1 + 0.2 + 0.25 + 0.5) / 4, added in run order.
  EXPECT_EQ(f.mean, (((0.1 + 0.2) + 0.25) + 0.5) / 4);
  const double m = *f.mean;
  EXPECT_EQ(f.standardDeviation,
            std::sqrt(((((0.1 - m) * (0.1 - m) + (0.2 - m) * (0.2 - m)) + (0.25 - m) * (0.25 - m)) +
                       (0.5 - m) * (0.5 - m)) / 3));
  // h = 3p over 0.1, 0.2, 0.25, 0.5: p5 at h = 0.15, p50 at 1.5, p95 at 2.85.
  EXPECT_EQ(f.p5, 0.1 + (3 * 0.05) * (0.2 - 0.1));
  EXPECT_EQ(f.p50, 0.2 + 0.5 * (0.25 - 0.2));
  EXPECT_EQ(f.p95, 0.25 + (3 * 0.95 - 2) * (0.5 - 0.25));
  EXPECT_EQ(f.excessShare, 0.3 - m);
  EXPECT_EQ(f.excessTuples, (0.3 - m) * 10);
  EXPECT_EQ(f.pValue, 2.0 / 5.0);  // only 0.5 is at least 0.3
  EXPECT_EQ(kel::placeboLine(f),
            "placebo: 5 runs, flagged share 0.2625 (mean of shuffles), 95th percentile 0.4625, real 0.3000, "
            "excess 0 tuples, p = 0.4000");

  // A share equal to the real one counts against it; the excess is rounded
  // half away from zero.
  const kel::placebo_figures g = kel::placeboFigures({1000, 500}, {{1000, 500}, {1000, 499}, {1000, 498}});
  EXPECT_EQ(g.pValue, 0.5);
  EXPECT_EQ(g.excessTuples, (0.5 - (0.5 + 0.499 + 0.498) / 3) * 1000);
  EXPECT_EQ(kel::placeboLine(g), "placebo: 3 runs, flagged share 0.4990 (mean of shuffles), 95th percentile "
                                 "0.4999, real 0.5000, excess 1 tuples, p = 0.5000");
  const kel::placebo_figures below = kel::placeboFigures({200, 10}, {{200, 11}});
  EXPECT_EQ(kel::placeboLine(below), "placebo: 1 run, flagged share 0.0550 (mean of shuffles), 95th percentile "
                                     "0.0550, real 0.0500, excess -1 tuples, p = 1.0000");
  EXPECT_FALSE(below.standardDeviation);

  // Nothing tested anywhere: no figure has a value.
  const kel::placebo_figures none = kel::placeboFigures({0, 0}, {{0, 0}, {0, 0}});
  EXPECT_EQ(none.compared, 0u);
  EXPECT_EQ(kel::placeboLine(none), "placebo: 2 runs, flagged share undefined (mean of shuffles), 95th percentile "
                                    "undefined, real undefined, excess undefined tuples, p = undefined");
}

TEST(placebo, percentile_between_closest_ranks) {
  const std::vector<double> one{0.7};
  EXPECT_EQ(kel::percentile(one, 0.05), 0.7);
  EXPECT_EQ(kel::percentile(one, 0.95), 0.7);
  // 1..20: h = 19p; p5 at 0.95 -> 1.95, p95 at 18.05 -> 19.05, p50 at 9.5 -> 10.5.
  std::vector<double> twenty;
  for (int i = 1; i <= 20; ++i) twenty.push_back(i);
  EXPECT_DOUBLE_EQ(kel::percentile(twenty, 0.05), 1.95);
  EXPECT_DOUBLE_EQ(kel::percentile(twenty, 0.95), 19.05);
  EXPECT_EQ(kel::percentile(twenty, 0.5), 10.5);
  EXPECT_EQ(kel::percentile(twenty, 0.0), 1.0);
  EXPECT_EQ(kel::percentile(twenty, 1.0), 20.0);
}

namespace {

// rows rows; the group is drawn independently of everything else, the class
// follows x and y (and, with bias, the group too).
std::unique_ptr<kel::dataset> generated(unsigned rows, bool bias, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::uniform_int_distribution<int> pick(0, 99);
  std::string data;
  for (unsigned r = 0; r < rows; ++r) {
    const int x = pick(rng) % 10, y = pick(rng) % 3;
    const bool woman = pick(rng) < 40;
    int refusal = 20 + 5 * x + (y == 0 ? 15 : 0);
    if (bias && woman) refusal += 30;
    data += std::string(pick(rng) < 2 ? "?" : woman ? "f" : "m") + "," + std::to_string(x) + "," +
            static_cast<char>('a' + y) + "," + (pick(rng) < refusal ? "no" : "yes") + "\n";
  }
  return load("sex,nominal\nx,continuous\ny,nominal\nhired,nominal\n", data, "sex=f\nhired=no\nx,y\n");
}

}  // namespace

// Shuffle i depends on the seed and i alone: same protected rows whatever
// else is run, group sizes and undecided rows kept; the same counts at every
// thread count and with the per-pair search.
TEST(placebo, shuffles_are_fixed_by_seed_and_run) {
  auto d = generated(300, true, 5);
  std::ostringstream console;
  d->splitGroups(console);
  const std::vector<unsigned> real = kel::members(d->protectedRows);
  const kel::test_settings s{.search = {.k = 5, .threads = 1}};
  const kel::placebo_test a(*d, s, 1), b(*d, s, 1), other(*d, s, 2);
  std::vector<unsigned> undecided;
  for (unsigned r = 0; r < d->rows(); ++r)
    if (!d->protectedRows.test(r) && !d->unprotectedRows.test(r)) undecided.push_back(r);
  ASSERT_FALSE(undecided.empty());
  for (std::uint64_t i = 0; i < 4; ++i) {
    const std::vector<unsigned> p = a.protectedRows(i);
    EXPECT_EQ(p.size(), real.size());
    EXPECT_NE(p, real);
    EXPECT_EQ(p, b.protectedRows(i));
    EXPECT_NE(p, other.protectedRows(i));
    EXPECT_NE(p, a.protectedRows(i + 1));
    for (const unsigned r : undecided) EXPECT_FALSE(std::binary_search(p.begin(), p.end(), r));
  }
  // Run 3 alone equals run 3 after runs 0..2.
  const kel::flag_count third = a.run(3);
  for (unsigned threads : {2u, 8u}) {
    kel::test_settings t = s;
    t.search.threads = threads;
    const kel::placebo_test c(*d, t, 1);
    for (std::uint64_t i = 0; i < 3; ++i) c.run(i);
    const kel::flag_count f = c.run(3);
    EXPECT_EQ(f.tested, third.tested);
    EXPECT_EQ(f.flagged, third.flagged);
  }
  kel::test_settings perPair = s;
  perPair.reference = true;
  const kel::flag_count slow = kel::placebo_test(*d, perPair, 1).run(3);
  EXPECT_EQ(slow.tested, third.tested);
  EXPECT_EQ(slow.flagged, third.flagged);
  EXPECT_GT(third.tested, 0u);
}

// With the group drawn independently of everything, the real run is one
// shuffle among others and its p-value is not small; with a planted bias
// every shuffle flags less and p is 1 / (N + 1).
TEST(placebo, p_value_tells_chance_from_bias) {
  for (const bool bias : {false, true}) {
    SCOPED_TRACE(bias ? "planted bias" : "independent group");
    auto d = generated(600, bias, 11);
    const kel::test_settings s{.search = {.k = 8, .threads = 2}};
    std::ostringstream console;
    d->splitGroups(console);
    kel::test_counts real;
    {
      kel::distribution none;
      written([&](const std::string& name) {
        orv::inpout::textout out(name);
        real = kel::testDiscrimination(*d, s, out, none, console);
      });
    }
    const kel::placebo_test placebo(*d, s, 1);
    std::vector<kel::flag_count> runs;
    for (unsigned i = 0; i < 39; ++i) runs.push_back(placebo.run(i));
    const kel::placebo_figures f = kel::placeboFigures({real.classCount, real.discriminated}, runs);
    ASSERT_TRUE(f.pValue);
    if (bias) {
      EXPECT_EQ(*f.pValue, 1.0 / 40.0);
      EXPECT_GT(*f.excessTuples, 0.0);
    } else {
      EXPECT_GT(*f.pValue, 0.2);
    }
  }
}
