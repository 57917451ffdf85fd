// The scan against the brute-force oracle (support/knn_oracle.hpp): every
// kernel level and thread count must agree with it exactly, neighbour lists
// included.
#include "analysis/knn/scan.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "analysis/knn/dispatch.hpp"
#include "support/knn_oracle.hpp"
#include "util/error.hpp"

namespace kel {

namespace {

using namespace knn_oracle;

// At every level, compares with the oracle each distance from every step-th
// row (bit for bit, and the per-pair distance too), then the searches for
// those rows with each k, bound and thread count; stops at the first difference.
void expect_same_as_oracle(const table& t, std::initializer_list<unsigned> ks, std::vector<float> bounds,
                           std::initializer_list<unsigned> thread_counts = {1}, unsigned step = 1) {
  const std::vector<unsigned> queries = every_row(t.rows, step);
  // The columns are copied on as many threads as the searches use at most.
  scan_search f(t.cols, t.protected_rows, t.unprotected_rows, std::max(thread_counts));
  const std::vector<kernel_level> all_levels = levels();
  for (group g : {group::unprotected, group::protected_}) {
    const auto& rows = g == group::protected_ ? t.protected_rows : t.unprotected_rows;
    std::vector<float> want(rows.size()), got(rows.size());
    for (unsigned q : queries) {
      for (std::size_t i = 0; i < rows.size(); ++i) {
        want[i] = oracle_distance(t.cols.measures, q, rows[i]);
        ASSERT_EQ(pairDistance(t.cols.measures, q, rows[i]), want[i]) << "query " << q << " row " << rows[i];
      }
      for (kernel_level l : all_levels) {
        level_guard lg(l);
        f.distances(q, g, got);
        for (std::size_t i = 0; i < rows.size(); ++i)
          ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(want[i]))
              << kernelLevelName(l) << " query " << q << " row " << rows[i];
      }
    }
  }
  expect_searches_as_oracle(f, t, queries, ks, bounds, thread_counts, all_levels);
}

// Every kernel, every table shape: each distance is the oracle's float, bit for bit.
TEST(scan_distance, kernels_bit_identical_to_oracle) {
  std::mt19937 rng(11);
  for (unsigned round = 0; round < 12; ++round) {
    shape s{.rows = 40 + round * 23, .continuous = round % 4, .nominal = (round + 1) % 3, .ordinal = round % 5,
            .duplicate_measures = round % 3, .missing = 0.05 * (round % 5), .continuous_values = round % 2 ? 5u : 0u};
    if (s.continuous + s.nominal + s.ordinal == 0) s.nominal = 1;
    SCOPED_TRACE(round);
    expect_same_as_oracle(make_table(s, rng), {}, {}, {1}, 3);
  }
}

// Continuous differences that overflow give +inf distances; they are ordered
// and admitted like any other when the bound is +inf.
TEST(scan_distance, overflow_to_infinity) {
  table t;
  t.rows = 6;
  t.floats = {{3e38f, -3e38f, 3e38f, -3e38f, 0.0f, 1.0f}};
  t.class_codes = {0, 1, 0, 1, 0, 0};
  t.cols.measures = {{measure_kind::continuous, t.floats[0].data(), nullptr, -1, 0}};
  t.cols.outcome = {true, t.class_codes.data(), nullptr};
  t.protected_rows = {0, 1, 3};
  t.unprotected_rows = {1, 2, 3, 4, 5};
  ASSERT_EQ(oracle_distance(t.cols.measures, 0, 1), kInf);
  expect_same_as_oracle(t, {1, 2, 3, 4, 9}, {FLT_MAX, kInf, 3e38f});
}

// Hand-checked searches at every level. Ties: from row 0, row 7 is at 0.1,
// rows 2 and 5 at 0.3, row 1 at 0.5, and only row 5's class differs. Self:
// row 0, in both groups, is left out of its own neighbourhood; row 3, in
// neither, sees every row.
TEST(scan, hand_checked) {
  std::vector<float> con = {0.0f, 0.5f, 0.3f, 9.0f, 9.0f, 0.3f, 9.0f, 0.1f};
  std::vector<std::int32_t> con_cls = {0, 0, 0, 0, 0, 1, 0, 0}, nom = {0, 0, 0, 1}, nom_cls = {0, 0, 1, 0};
  const search_columns con_c{{{measure_kind::continuous, con.data(), nullptr, -1, 0}}, {true, con_cls.data(), nullptr}};
  const search_columns nom_c{{{measure_kind::nominal, nullptr, nom.data(), -1, 0}}, {true, nom_cls.data(), nullptr}};
  const std::vector<unsigned> p0 = {0}, u_ties = {1, 2, 5, 7}, p_self = {0, 1}, u_self = {0, 2};
  scan_search ties(con_c, p0, u_ties);
  scan_search self(nom_c, p_self, u_self);
  using list = std::vector<std::pair<float, unsigned>>;
  const struct {
    scan_search& f;
    unsigned q, k;
    float mxd;
    found u, p;
  } cases[] = {
      {ties, 0, 2, FLT_MAX, {list{{0.1f, 7}, {0.3f, 2}}, 2}, {}},  // not row 5; protected: only the query itself
      {ties, 0, 3, FLT_MAX, {list{{0.1f, 7}, {0.3f, 2}, {0.3f, 5}}, 2}, {}},
      {ties, 0, 2, 0.1f, {list{{0.1f, 7}}, 1}, {}},  // exactly at the bound: taken
      {ties, 0, 2, std::nextafter(0.1f, 0.0f), {}, {}},
      {self, 0, 5, FLT_MAX, {list{{0.0f, 2}}, 0}, {list{{0.0f, 1}}, 1}},
      {self, 3, 5, FLT_MAX, {list{{1.0f, 0}, {1.0f, 2}}, 1}, {list{{1.0f, 0}, {1.0f, 1}}, 2}},
      // A NaN bound is no bound at all.
      {self, 3, 5, std::numeric_limits<float>::quiet_NaN(), {list{{1.0f, 0}, {1.0f, 2}}, 1},
       {list{{1.0f, 0}, {1.0f, 1}}, 2}},
  };
  for (kernel_level l : levels()) {
    level_guard g(l);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      const taken got = run_all(cases[i].f, {cases[i].q}, cases[i].k, cases[i].mxd, 1);
      ASSERT_EQ(got.unprotected.size(), 1u);
      EXPECT_EQ(got.unprotected[0], cases[i].u) << kernelLevelName(l) << " case " << i;
      EXPECT_EQ(got.protected_[0], cases[i].p) << kernelLevelName(l) << " case " << i;
    }
  }
}

TEST(scan, random_mixed_tables_all_levels_and_threads) {
  std::mt19937 rng(2024);
  for (unsigned round = 0; round < 6; ++round) {
    const table t = make_table({.rows = 150 + 40 * round, .continuous = 1 + round % 3, .nominal = 1 + round % 4,
                                .ordinal = round % 4, .missing = 0.1 + 0.1 * (round % 3),
                                .continuous_values = round % 2 ? 0u : 6u, .nominal_class = round % 2 == 0},
                               rng);
    // Bounds that equal actual distances, so the "at the bound" rule bites.
    const float exact = oracle_distance(t.cols.measures, 0, t.rows - 1);
    const float exact2 = oracle_distance(t.cols.measures, 1, t.rows / 2);
    expect_same_as_oracle(t, {1, 2, 7, 50}, {FLT_MAX, 0.0f, 0.25f, exact, exact2}, {1, 3, 8});
  }
}

// Nominal data only: every distance is a multiple of 1/count, so ties are everywhere.
TEST(scan, nominal_only_all_ties) {
  std::mt19937 rng(7);
  for (unsigned values : {1u, 2u, 3u}) {
    const table t = make_table(
        {.rows = 260, .continuous = 0, .nominal = 3, .ordinal = 0, .nominal_values = values, .duplicate_rows = 0.3},
        rng);
    expect_same_as_oracle(t, {1, 2, 3, 5, 8, 13, 50}, {FLT_MAX, 0.0f, 1.0f / 4.0f, 2.0f / 4.0f}, {1, 4});
  }
}

// k beyond the group: every admissible candidate is taken; k is never used to
// size anything.
TEST(scan, huge_k) {
  std::mt19937 rng(5);
  const table t = make_table({.rows = 300}, rng);
  expect_same_as_oracle(t, {4294967295u, 4294967294u, 1000u}, {FLT_MAX, 0.5f}, {1, 2});
}

// Group sizes around the vector widths and the padding, and empty groups.
TEST(scan, group_sizes) {
  std::mt19937 rng(99);
  for (unsigned n : {0u, 1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 129u}) {
    table t = make_table({.rows = 2 * n + 5, .continuous_values = 4}, rng);
    t.unprotected_rows = every_row(n);  // the first n rows; protected: n rows from the middle
    t.protected_rows.clear();
    for (unsigned r = n + 2; r < 2 * n + 2; ++r) t.protected_rows.push_back(r);
    expect_same_as_oracle(t, {1, 3, 40}, {FLT_MAX}, {1, 3});
  }
}

// Tiles hold a few hundred candidates; larger groups with many measures cross
// several tile boundaries and query chunks.
TEST(scan, many_measures_cross_tiles) {
  std::mt19937 rng(31);
  const table t = make_table({.rows = 1500, .continuous = 10, .nominal = 12, .ordinal = 10, .nominal_values = 2,
                              .ordinal_max = 2, .continuous_values = 3},
                             rng);
  expect_same_as_oracle(t, {1, 4}, {FLT_MAX}, {1, 2}, 7);
}

// Ordinal scales of every table size the kernels special-case (up to 8, up to
// 16, more), codes that are not 0-based, the one-value scale, and scales of
// more than 2^16 values of which the groups hold only a few: the per-query
// table serves them, their codes found without the direct index small codes use.
TEST(scan, ordinal_scales) {
  std::mt19937 rng(17);
  for (std::uint32_t m : {0u, 1u, 6u, 7u, 8u, 14u, 15u, 16u, 40u}) {
    table t;
    t.rows = 180;
    t.codes.assign(2, std::vector<std::int32_t>(t.rows));
    std::uniform_int_distribution<std::uint32_t> code(0, m + 1);  // m + 1 = missing
    const std::uint32_t base = m % 2 ? 100000 : 1000;
    for (unsigned r = 0; r < t.rows; ++r) {
      t.codes[0][r] = static_cast<std::int32_t>(code(rng));
      t.codes[1][r] = static_cast<std::int32_t>(code(rng) + base);
    }
    t.cols.measures = {{measure_kind::ordinal, nullptr, t.codes[0].data(), static_cast<std::int32_t>(m + 1), m},
                  {measure_kind::ordinal, nullptr, t.codes[1].data(), static_cast<std::int32_t>(m + base + 1),
                   m + base}};
    for (unsigned r = 0; r < t.rows; ++r) t.class_codes.push_back(static_cast<std::int32_t>(rng() % 2));
    t.cols.outcome = {true, t.class_codes.data(), nullptr};
    for (unsigned r = 0; r < t.rows; ++r) (r % 3 ? t.unprotected_rows : t.protected_rows).push_back(r);
    expect_same_as_oracle(t, {1, 5}, {FLT_MAX}, {1, 3});
  }
}

// Results handed over while the search goes on (every sweep above checks
// their order and contents), on a table big enough for several blocks and
// for a full window of blocks ahead of the hand-over; a failing receiver
// stops the search at once; no queries: no call.
TEST(scan, ordered_hand_over) {
  std::mt19937 rng(23);
  const table t = make_table({.rows = 700, .continuous = 2, .nominal = 2}, rng);
  expect_same_as_oracle(t, {3}, {FLT_MAX}, {1, 2, 3, 8});
  scan_search f(t.cols, t.protected_rows, t.unprotected_rows);
  const std::vector<unsigned> queries = every_row(t.rows);
  expect_ordered_hand_over(f, queries, {1, 2, 3, 8}, search_method::automatic);
}

}  // namespace
}  // namespace kel
