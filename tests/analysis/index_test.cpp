// The indexed search against the brute-force oracle (support/knn_oracle.hpp)
// and against the scan: the same neighbours, distances and counts, ties and
// all, at every kernel level and thread count; tables built to catch a bound
// that is a hair too high; and the choice between index and scan.
#include "analysis/knn/index.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "analysis/knn/scan.hpp"
#include "support/knn_oracle.hpp"
#include "util/error.hpp"

namespace kel {

namespace {

using namespace knn_oracle;

// The index (forced, so that even small tables use it) against the oracle
// for every step-th row as query, each k and bound, at every kernel level and
// thread count; stops at the first difference.
void expect_index_as_oracle(const table& t, std::vector<unsigned> ks, std::vector<float> bounds,
                            std::vector<unsigned> thread_counts = {1, 3}, unsigned step = 1,
                            std::vector<kernel_level> at = levels()) {
  const std::vector<unsigned> queries = every_row(t.rows, step);
  index_search f(t.cols, t.protected_rows, t.unprotected_rows);
  expect_searches_as_oracle(f, t, queries, ks, bounds, thread_counts, at, search_method::index);
}

// A table of the given columns (continuous first, then nominal codes with
// missing code -1), class codes r % 2, groups by `protectedRow`.
table columns_table(std::vector<std::vector<float>> floats, std::vector<std::vector<std::int32_t>> codes,
                    bool (*protectedRow)(unsigned)) {
  table t;
  t.rows = static_cast<unsigned>(floats.empty() ? codes[0].size() : floats[0].size());
  t.floats = std::move(floats);
  t.codes = std::move(codes);
  for (const auto& c : t.floats) t.cols.measures.push_back({measure_kind::continuous, c.data(), nullptr, -1, 0});
  for (const auto& c : t.codes) t.cols.measures.push_back({measure_kind::nominal, nullptr, c.data(), -1, 0});
  for (unsigned r = 0; r < t.rows; ++r) t.class_codes.push_back(static_cast<std::int32_t>(r % 2));
  t.cols.outcome = {true, t.class_codes.data(), nullptr};
  for (unsigned r = 0; r < t.rows; ++r) (protectedRow(r) ? t.protected_rows : t.unprotected_rows).push_back(r);
  return t;
}

bool oneInThree(unsigned r) { return r % 3 == 0; }

// Random tables deep enough for many levels of the trees: mixed kinds,
// missing values, repeated rows, values from short lists (ties everywhere)
// or continuous, bounds at exact distances.
TEST(index, random_tables_match_the_oracle) {
  std::mt19937 rng(606);
  for (unsigned round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const table t = make_table({.rows = 1500 + 700 * round, .continuous = 1 + round % 3, .nominal = round % 3,
                                .ordinal = (round + 1) % 3, .duplicate_measures = round % 2,
                                .missing = 0.04 * (round % 4), .nominal_values = 3 + round,
                                .continuous_values = round % 2 ? 0u : 9u, .duplicate_rows = 0.1,
                                .nominal_class = round % 2 == 0},
                               rng);
    const float exact = oracle_distance(t.cols.measures, 3, t.rows - 2);
    const float exact2 = oracle_distance(t.cols.measures, 5, t.rows / 2);
    expect_index_as_oracle(t, {1, 2, 8, 70}, {FLT_MAX, 0.0f, exact, exact2}, {1, 2, 8}, 37);
  }
}

// Few distinct values, many attributes, every kind: masses of equal
// distances, decided by row.
TEST(index, ties_decided_by_row) {
  std::mt19937 rng(7);
  for (unsigned values : {1u, 2u, 3u}) {
    const table t = make_table({.rows = 1200, .continuous = 1, .nominal = 3, .ordinal = 1, .missing = 0.05,
                                .nominal_values = values, .ordinal_max = values, .continuous_values = values,
                                .duplicate_rows = 0.3},
                               rng);
    expect_index_as_oracle(t, {1, 3, 8, 64, 65}, {FLT_MAX, 0.25f, 0.5f}, {1, 4}, 11);
  }
}

// Every row alike: every distance is 0, so the k smallest rows win, and no
// node can be passed over by its bound, only by its rows.
TEST(index, every_row_identical) {
  const unsigned n = 1000;
  table t = columns_table({std::vector<float>(n, 0.75f)}, {std::vector<std::int32_t>(n, 4)}, oneInThree);
  expect_index_as_oracle(t, {1, 5, 64, 65, 700, 4294967295u}, {FLT_MAX, 0.0f}, {1, 3}, 97);
  // Literally: from row 0, the protected neighbours are rows 3, 6, 9.
  index_search f(t.cols, t.protected_rows, t.unprotected_rows);
  const taken got = run_all(f, {0}, 3, FLT_MAX, 1, search_method::index);
  using list = std::vector<std::pair<float, unsigned>>;
  EXPECT_EQ(got.protected_[0].neighbours, (list{{0.0f, 3}, {0.0f, 6}, {0.0f, 9}}));
  EXPECT_EQ(got.unprotected[0].neighbours, (list{{0.0f, 1}, {0.0f, 2}, {0.0f, 4}}));
}

// Rows one unit in the last place apart, in a scrambled order: each
// distance a bound could round the wrong way is one ulp from its neighbour.
TEST(index, one_ulp_apart) {
  const unsigned n = 1500;
  std::vector<unsigned> order(n);
  std::iota(order.begin(), order.end(), 0u);
  std::shuffle(order.begin(), order.end(), std::mt19937(3));
  for (const float base : {1.0f, 0.1f, -3.5f, 1e-30f}) {
    SCOPED_TRACE(base);
    std::vector<float> v(n), w(n, 0.5f);
    for (unsigned r = 0; r < n; ++r) {
      float x = base;
      for (unsigned i = 0; i < order[r] % 200; ++i) x = std::nextafter(x, INFINITY);
      v[r] = x;
    }
    const table t = columns_table({v, w}, {}, oneInThree);
    const float exact = oracle_distance(t.cols.measures, 0, 1);
    expect_index_as_oracle(t, {1, 4, 9, 100}, {FLT_MAX, exact, std::nextafter(exact, 0.0f)}, {1, 2}, 13);
  }
}

// Every measured value missing: every term is fixed (3 for continuous, 1 for
// coded), so every distance ties.
TEST(index, every_value_missing) {
  const unsigned n = 800;
  table t = columns_table({std::vector<float>(n, FLT_MIN), std::vector<float>(n, FLT_MIN)},
                          {std::vector<std::int32_t>(n, -1)}, oneInThree);
  // An ordinal column with all values missing too.
  t.codes.push_back(std::vector<std::int32_t>(n, 3));
  t.cols.measures.push_back({measure_kind::ordinal, nullptr, t.codes.back().data(), 3, 2});
  const float d = oracle_distance(t.cols.measures, 0, 1);
  ASSERT_EQ(d, (3.0f + 3.0f + 1.0f + 1.0f) / 4.0f);
  expect_index_as_oracle(t, {1, 6, 65}, {FLT_MAX, d, std::nextafter(d, 0.0f)}, {1, 2}, 31);
}

// The k-th distance is exactly the bound of a whole part of the tree. From
// query row 0 (code 0, value 0): rows of code 1 and value 0 are at (1 + 0) / 2
// and hold the small row numbers; rows of code 0 and value 1 are at
// (0 + 1) / 2 as well, and come later. The tie goes to the small rows, which
// only the rows, not the bound, can tell apart.
TEST(index, kth_distance_equal_to_a_part_bound) {
  const unsigned n = 900;
  std::vector<float> value(n);
  std::vector<std::int32_t> code(n);
  for (unsigned r = 0; r < n; ++r) {
    code[r] = r < 300 ? 1 : 0;
    value[r] = r < 300 ? 0.0f : 1.0f;
  }
  code[0] = 0;  // the query: code 0, value 0
  const table t = columns_table({value}, {code}, [](unsigned) { return true; });
  index_search f(t.cols, t.protected_rows, t.unprotected_rows);
  using list = std::vector<std::pair<float, unsigned>>;
  const taken got = run_all(f, {0}, 3, FLT_MAX, 1, search_method::index);
  EXPECT_EQ(got.protected_[0].neighbours, (list{{0.5f, 1}, {0.5f, 2}, {0.5f, 3}}));
  expect_index_as_oracle(t, {1, 3, 299, 300, 301}, {FLT_MAX, 0.5f, std::nextafter(0.5f, 0.0f)}, {1, 2}, 29);
}

// More codes than a node's code set has bits: codes past the 63rd share a
// bit, and the bound must not claim they differ from the query's.
TEST(index, many_codes) {
  std::mt19937 rng(41);
  const unsigned n = 3000;
  std::vector<std::int32_t> nominal(n), ordinal(n);
  std::vector<float> value(n);
  for (unsigned r = 0; r < n; ++r) {
    nominal[r] = static_cast<std::int32_t>(rng() % 150);  // 149 plays "?"
    ordinal[r] = static_cast<std::int32_t>(rng() % 121);  // 0..119, 120 = "?"
    value[r] = static_cast<float>(rng() % 5);
  }
  table t = columns_table({value}, {nominal}, oneInThree);
  t.cols.measures[1].missingCode = 149;
  t.codes.push_back(ordinal);
  t.cols.measures.push_back({measure_kind::ordinal, nullptr, t.codes.back().data(), 120, 119});
  expect_index_as_oracle(t, {1, 4, 30}, {FLT_MAX}, {1, 2}, 23);
}

// Differences that overflow: +inf distances, ordered and admitted like the
// others when the bound admits them.
TEST(index, overflow_to_infinity) {
  std::vector<float> v = {3e38f, -3e38f, 3e38f, -3e38f, 0.0f, 1.0f};
  for (unsigned r = 0; r < 200; ++r) v.push_back(r % 2 ? 3e38f : -3e38f);
  const table t = columns_table({v}, {}, oneInThree);
  expect_index_as_oracle(t, {1, 2, 9}, {FLT_MAX, kInf, 3e38f}, {1}, 5);
}

// Group sizes around a leaf and a kernel step, and empty groups.
TEST(index, group_sizes) {
  std::mt19937 rng(99);
  for (unsigned n : {0u, 1u, 2u, 31u, 32u, 33u, 63u, 64u, 65u, 129u, 257u}) {
    table t = make_table({.rows = 2 * n + 5, .continuous_values = 4}, rng);
    t.unprotected_rows = every_row(n);
    t.protected_rows.clear();
    for (unsigned r = n + 2; r < 2 * n + 2; ++r) t.protected_rows.push_back(r);
    expect_index_as_oracle(t, {1, 3, 40}, {FLT_MAX}, {1, 3}, 1, {kernel_level::scalar, bestKernelLevel()});
  }
}

// Results handed over in order while the search goes on; a failing receiver
// stops it at once; no queries, no call. The evaluations count what was computed.
TEST(index, ordered_hand_over_and_counts) {
  std::mt19937 rng(23);
  const table t = make_table({.rows = 2000, .continuous = 3, .nominal = 1, .ordinal = 0, .missing = 0.0}, rng);
  const std::vector<unsigned> queries = every_row(t.rows);
  index_search f(t.cols, t.protected_rows, t.unprotected_rows);
  expect_ordered_hand_over(f, queries, {1, 2, 8}, search_method::index);
  EXPECT_THROW(f.run(queries, {.k = 0}, [](const result_block&) {}), orv::util::error);

  // One full run: the index computes a small part of what the scan does.
  index_search g(t.cols, t.protected_rows, t.unprotected_rows);
  g.run(queries, {.k = 3, .method = search_method::index}, [](const result_block&) {});
  const std::uint64_t everything = queries.size() * (t.protected_rows.size() + t.unprotected_rows.size());
  EXPECT_GT(g.evaluations(), 0u);
  EXPECT_LT(g.evaluations(), everything / 4);
  scan_search s(t.cols, t.protected_rows, t.unprotected_rows);
  s.run(queries, {.k = 3}, [](const result_block&) {});
  EXPECT_EQ(s.evaluations(), everything);
}

// The automatic choice: a run with few queries goes to the scan untouched;
// one continuous attribute of distinct values to the index, which looks at
// a leaf or two where the scan looks at every row; sixteen nominal
// attributes of four values, where the nearest rows differ in half of them
// and no part of a tree can be passed over, to the scan after the sample.
// (The results are the same whatever the choice: the equivalence test runs
// the automatic search.)
TEST(index, chooses_by_the_sample) {
  std::mt19937 rng(5);
  const auto choice = [](const table& t, unsigned k, unsigned step) {
    index_search f(t.cols, t.protected_rows, t.unprotected_rows);
    std::size_t handed = 0;
    f.run(every_row(t.rows, step), {.k = k, .threads = 2}, [&](const result_block& b) { handed += b.size(); });
    EXPECT_EQ(handed, (t.rows + step - 1) / step);
    return f.report();
  };

  EXPECT_EQ(choice(make_table({.rows = 300}, rng), 3, 1).chosen, index_report::choice::small);

  std::vector<float> spread(200000);
  std::normal_distribution<float> normal(0.0f, 1.0f);
  for (float& x : spread) x = normal(rng);
  const index_report near = choice(columns_table({spread}, {}, oneInThree), 4, 5);
  EXPECT_EQ(near.chosen, index_report::choice::index) << near.indexSeconds << " " << near.scanSeconds;
  EXPECT_EQ(near.sampled, 64u);

  // A share of a run (a rank's block): the whole run's queries decide whether
  // the trees pay off, not the few of the share.
  const table wide = columns_table({spread}, {}, oneInThree);
  const std::vector<unsigned> all = every_row(wide.rows, 5);
  const auto block = std::span(all).first(100);
  for (const std::size_t planned : {std::size_t{0}, all.size()}) {
    index_search f(wide.cols, wide.protected_rows, wide.unprotected_rows);
    f.run(block, {.k = 4, .threads = 2, .plannedQueries = planned}, [](const result_block&) {});
    EXPECT_EQ(f.report().chosen == index_report::choice::small, planned == 0) << planned;
  }

  std::vector<std::vector<std::int32_t>> codes(16, std::vector<std::int32_t>(36000));
  for (auto& c : codes)
    for (auto& x : c) x = static_cast<std::int32_t>(rng() % 4);
  const index_report ties = choice(columns_table({}, codes, oneInThree), 8, 1);
  EXPECT_EQ(ties.chosen, index_report::choice::sample) << ties.indexSeconds << " " << ties.scanSeconds;
}

// Trees built by one search and handed to another as bytes (as the ranks of
// a job share them): the receiving search, one tree adopted and the other
// built or both adopted, finds what the oracle finds. Bytes that are not a
// tree of that group and those columns are refused, and leave the search
// to build its own.
TEST(index, trees_travel_as_bytes) {
  std::mt19937 rng(77);
  const table t = make_table({.rows = 2600, .continuous = 2, .nominal = 1, .ordinal = 1, .missing = 0.05,
                              .nominal_values = 5, .duplicate_rows = 0.1},
                             rng);
  index_search builder(t.cols, t.protected_rows, t.unprotected_rows);
  EXPECT_THROW(builder.packTree(group::protected_), std::logic_error);
  builder.buildTree(group::protected_, 2);
  builder.buildTree(group::unprotected, 1);
  const std::vector<char> p = builder.packTree(group::protected_);
  const std::vector<char> u = builder.packTree(group::unprotected);

  const std::vector<unsigned> queries = every_row(t.rows, 11);
  const float exact = oracle_distance(t.cols.measures, 3, t.rows - 2);
  {
    SCOPED_TRACE("both adopted");
    index_search both(t.cols, t.protected_rows, t.unprotected_rows);
    both.adoptTree(group::protected_, p);
    both.adoptTree(group::unprotected, u);
    expect_searches_as_oracle(both, t, queries, {1, 5}, {FLT_MAX, exact}, {1, 2}, {kernel_level::scalar},
                              search_method::index);
  }
  {
    SCOPED_TRACE("one adopted, one built at the run");
    index_search one(t.cols, t.protected_rows, t.unprotected_rows);
    one.adoptTree(group::unprotected, u);
    expect_searches_as_oracle(one, t, queries, {3}, {FLT_MAX}, {2}, {kernel_level::scalar}, search_method::index);
  }

  index_search refuses(t.cols, t.protected_rows, t.unprotected_rows);
  EXPECT_THROW(refuses.adoptTree(group::unprotected, p), std::invalid_argument);  // the other group's
  EXPECT_THROW(refuses.adoptTree(group::protected_, std::span(p).first(p.size() - 1)), std::invalid_argument);
  std::vector<char> longer = p;
  longer.push_back(0);
  EXPECT_THROW(refuses.adoptTree(group::protected_, longer), std::invalid_argument);
  EXPECT_THROW(refuses.adoptTree(group::protected_, {}), std::invalid_argument);
  // A child past the last node: the first node follows the seven counts.
  std::vector<char> astray = p;
  const std::uint32_t far = 0x7fffffff;
  std::memcpy(astray.data() + 7 * sizeof(std::uint64_t), &far, sizeof far);
  EXPECT_THROW(refuses.adoptTree(group::protected_, astray), std::invalid_argument);
  // Other columns: one measure fewer.
  search_columns fewer = t.cols;
  fewer.measures.pop_back();
  index_search other(fewer, t.protected_rows, t.unprotected_rows);
  EXPECT_THROW(other.adoptTree(group::protected_, p), std::invalid_argument);
  expect_searches_as_oracle(refuses, t, queries, {2}, {FLT_MAX}, {1}, {kernel_level::scalar}, search_method::index);
}

// Whether a run builds the trees is known before it, from the settings and
// the run's query count alone, and agrees with what the run then does.
TEST(index, knows_beforehand_whether_a_run_builds_trees) {
  std::mt19937 rng(8);
  const table t = make_table({.rows = 3000}, rng);
  index_search f(t.cols, t.protected_rows, t.unprotected_rows);
  EXPECT_TRUE(f.wantsTrees(1, {.method = search_method::index}));
  EXPECT_FALSE(f.wantsTrees(100000000, {.method = search_method::scan}));
  EXPECT_FALSE(f.wantsTrees(100, {}));
  EXPECT_TRUE(f.wantsTrees(100, {.plannedQueries = 100000000}));
  EXPECT_TRUE(f.wantsTrees(100000000, {}));
  const std::vector<unsigned> queries = every_row(t.rows, 3);
  for (const std::size_t planned : {std::size_t{0}, std::size_t{100000000}}) {
    const search_settings s{.k = 2, .plannedQueries = planned};
    const index_report r = f.choose(queries, s);
    EXPECT_EQ(r.chosen != index_report::choice::small, f.wantsTrees(queries.size(), s)) << planned;
  }
}

}  // namespace
}  // namespace kel
