// The fast search against a brute-force oracle written here from the rules:
// per-pair distances summed attribute by attribute, and the bounded max-heap
// scan (push, evict the top once past k, the bound = the last evicted
// distance). Every kernel level and thread count must agree with it exactly.
#include "analysis/knn/fastknn.hpp"

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

#include "util/error.hpp"

namespace kel {

// Readable failures: found/matching instead of the struct's bytes.
void PrintTo(const knn_result& r, std::ostream* os) { *os << r.found << "/" << r.matching; }

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

float oracle_attribute(const measure_column& c, unsigned a, unsigned b) {
  switch (c.kind) {
    case measure_kind::continuous: {
      const float x = c.values[a], y = c.values[b];
      return x == FLT_MIN || y == FLT_MIN ? 3.0f : std::fabs(x - y);
    }
    case measure_kind::nominal: {
      const std::int32_t x = c.codes[a], y = c.codes[b];
      return x == c.missing_code || y == c.missing_code || x != y ? 1.0f : 0.0f;
    }
    case measure_kind::ordinal: {
      const auto x = static_cast<std::uint32_t>(c.codes[a]), y = static_cast<std::uint32_t>(c.codes[b]);
      const auto mc = static_cast<std::uint32_t>(c.missing_code);
      const auto m = static_cast<float>(c.max_code);
      if (x == mc && y == mc) return 1.0f;
      if (c.max_code == 0) return (x == mc || y == mc) ? 1.0f : 0.0f;
      if (x == mc || y == mc) {
        const float r = static_cast<float>(x == mc ? y : x) / m;
        return std::max(r, 1.0f - r);
      }
      return static_cast<float>(x > y ? x - y : y - x) / m;
    }
  }
  return 0.0f;
}

float oracle_distance(const std::vector<measure_column>& cols, unsigned a, unsigned b) {
  float sum = 0.0f;
  for (const auto& c : cols) {
    volatile float d = oracle_attribute(c, a, b);  // keep each addition separate
    sum = sum + d;
  }
  return sum / static_cast<float>(cols.size());
}

struct table {
  unsigned rows = 0;
  std::vector<std::vector<float>> floats;
  std::vector<std::vector<std::int32_t>> codes;
  std::vector<measure_column> measures;
  std::vector<std::int32_t> class_codes;
  std::vector<float> class_values;
  class_column cls;
  std::vector<unsigned> protected_rows, unprotected_rows;
};

knn_result oracle_knn(const table& t, const std::vector<unsigned>& group, unsigned q, unsigned k, float mxd) {
  std::vector<std::pair<float, unsigned>> heap;  // top: the farthest, ties the highest row
  float bound = mxd;
  for (unsigned c : group) {
    if (c == q) continue;
    const float d = oracle_distance(t.measures, q, c);
    if (bound < d) continue;
    heap.emplace_back(d, c);
    std::push_heap(heap.begin(), heap.end());
    if (heap.size() > k) {
      bound = heap.front().first;
      std::pop_heap(heap.begin(), heap.end());
      heap.pop_back();
    }
  }
  knn_result r{static_cast<unsigned>(heap.size()), 0};
  for (const auto& [d, row] : heap)
    r.matching += t.cls.nominal ? t.cls.codes[row] == t.cls.codes[q] : t.cls.values[row] >= t.cls.values[q];
  return r;
}

struct shape {
  unsigned rows = 200;
  unsigned continuous = 2, nominal = 2, ordinal = 2;
  unsigned duplicate_measures = 1;  // extra copies of earlier measures
  double missing = 0.15;
  unsigned nominal_values = 4;
  unsigned ordinal_max = 4;        // max_code of ordinals: 0..ordinal_max, some scales larger
  unsigned continuous_values = 0;  // 0: any float; else values drawn from this many
  double duplicate_rows = 0.1;
  bool nominal_class = true;
};

table make_table(const shape& s, std::mt19937& rng) {
  table t;
  t.rows = s.rows;
  auto chance = [&](double p) { return std::uniform_real_distribution<double>(0, 1)(rng) < p; };
  auto pick = [&](unsigned n) { return std::uniform_int_distribution<unsigned>(0, n - 1)(rng); };
  std::normal_distribution<float> normal(0.0f, 1.5f);
  t.floats.reserve(s.continuous + 1);
  t.codes.reserve(s.nominal + s.ordinal + 1);
  for (unsigned i = 0; i < s.continuous; ++i) {
    std::vector<float> levels;
    for (unsigned v = 0; v < s.continuous_values; ++v) levels.push_back(normal(rng));
    auto& col = t.floats.emplace_back(s.rows);
    for (auto& x : col)
      x = chance(s.missing) ? FLT_MIN : (levels.empty() ? normal(rng) : levels[pick(levels.size())]);
    t.measures.push_back({measure_kind::continuous, col.data(), nullptr, -1, 0});
  }
  for (unsigned i = 0; i < s.nominal; ++i) {
    // Either "?" took a code of its own among the others, or it never occurred (-1).
    const bool has_missing = chance(0.7);
    const std::int32_t missing = has_missing ? static_cast<std::int32_t>(pick(s.nominal_values + 1)) : -1;
    auto& col = t.codes.emplace_back(s.rows);
    for (auto& x : col)
      x = (has_missing && chance(s.missing)) ? missing : static_cast<std::int32_t>(pick(s.nominal_values + 1));
    t.measures.push_back({measure_kind::nominal, nullptr, col.data(), missing, 0});
  }
  for (unsigned i = 0; i < s.ordinal; ++i) {
    // Mostly small scales; now and then one with a single value or more values
    // than a lookup table holds.
    std::uint32_t m = pick(s.ordinal_max + 1);
    if (i % 3 == 2) m = 8 + pick(30);
    auto& col = t.codes.emplace_back(s.rows);
    for (auto& x : col)
      x = chance(s.missing) ? static_cast<std::int32_t>(m + 1) : static_cast<std::int32_t>(pick(m + 1));
    t.measures.push_back({measure_kind::ordinal, nullptr, col.data(), static_cast<std::int32_t>(m + 1), m});
  }
  std::shuffle(t.measures.begin(), t.measures.end(), rng);
  const std::size_t base = t.measures.size();
  for (unsigned i = 0; i < s.duplicate_measures && base > 0; ++i) t.measures.push_back(t.measures[pick(base)]);
  for (unsigned r = 1; r < s.rows; ++r) {  // duplicate rows: every column copied from an earlier row
    if (!chance(s.duplicate_rows)) continue;
    const unsigned from = pick(r);
    for (auto& c : t.floats) c[r] = c[from];
    for (auto& c : t.codes) c[r] = c[from];
  }
  for (unsigned r = 0; r < s.rows; ++r) {
    t.class_codes.push_back(static_cast<std::int32_t>(pick(3)));  // code 2 plays "?"
    t.class_values.push_back(chance(0.1) ? FLT_MIN : static_cast<float>(pick(5)) * 0.5f - 1.0f);
  }
  t.cls = {s.nominal_class, t.class_codes.data(), t.class_values.data()};
  for (unsigned r = 0; r < s.rows; ++r)  // protected 3 in 10, unprotected 6 in 10, the rest in neither
    if (const unsigned g = pick(10); g < 9) (g < 3 ? t.protected_rows : t.unprotected_rows).push_back(r);
  return t;
}

std::vector<kernel_level> levels() {
  std::vector<kernel_level> v;
  for (auto l : {kernel_level::scalar, kernel_level::avx2, kernel_level::avx512}) {
    try {
      set_kernel_level(l);
      v.push_back(l);
    } catch (const orv::util::error&) {
    }
  }
  reset_kernel_level();
  return v;
}

struct level_guard {
  explicit level_guard(kernel_level l) { set_kernel_level(l); }
  ~level_guard() { reset_kernel_level(); }
};

std::vector<unsigned> every_row(unsigned rows, unsigned step = 1) {
  std::vector<unsigned> v;
  for (unsigned r = 0; r < rows; r += step) v.push_back(r);
  return v;
}

// At every level, compares with the oracle each distance from every step-th
// row (bit for bit, and the per-pair reference too), then the searches for
// those rows with each k, bound and thread count, results taken as they are
// handed over; stops at the first difference.
void expect_same_as_oracle(const table& t, std::initializer_list<unsigned> ks, std::vector<float> bounds,
                           std::initializer_list<unsigned> thread_counts = {1}, unsigned step = 1) {
  const std::vector<unsigned> queries = every_row(t.rows, step);
  // The columns are copied on as many threads as the searches use at most.
  const fastknn f(t.measures, t.cls, t.protected_rows, t.unprotected_rows, std::max(thread_counts));
  const std::vector<kernel_level> all_levels = levels();
  for (bool prot : {false, true}) {
    const auto& rows = prot ? t.protected_rows : t.unprotected_rows;
    std::vector<float> want(rows.size()), got(rows.size());
    for (unsigned q : queries) {
      for (std::size_t i = 0; i < rows.size(); ++i) {
        want[i] = oracle_distance(t.measures, q, rows[i]);
        ASSERT_EQ(reference_distance(t.measures, q, rows[i]), want[i]) << "query " << q << " row " << rows[i];
      }
      for (kernel_level l : all_levels) {
        level_guard g(l);
        f.distances(q, prot, got);
        for (std::size_t i = 0; i < rows.size(); ++i)
          ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(want[i]))
              << kernel_level_name(l) << " query " << q << " row " << rows[i];
      }
    }
  }
  for (unsigned k : ks) {
    for (float mxd : bounds) {
      std::vector<knn_result> want_u, want_p;
      for (unsigned q : queries) {
        want_u.push_back(oracle_knn(t, t.unprotected_rows, q, k, mxd));
        want_p.push_back(oracle_knn(t, t.protected_rows, q, k, mxd));
      }
      for (kernel_level l : all_levels) {
        level_guard g(l);
        for (unsigned threads : thread_counts) {
          SCOPED_TRACE(std::string(kernel_level_name(l)) + " k=" + std::to_string(k) + " mxd=" + std::to_string(mxd) +
                       " threads=" + std::to_string(threads));
          // Results handed over in order, each final when handed over (the
          // buffers start out holding no result).
          std::vector<knn_result> got_u(queries.size(), {~0u, ~0u}), got_p(queries.size(), {~0u, ~0u});
          std::size_t seen = 0;
          f.search_ordered(queries, k, mxd, got_u.data(), got_p.data(), threads, [&](std::size_t n) {
            ASSERT_GT(n, seen);
            ASSERT_LE(n, queries.size());
            for (; seen < n; ++seen) {
              ASSERT_EQ(got_u[seen], want_u[seen]) << "unprotected, query " << queries[seen];
              ASSERT_EQ(got_p[seen], want_p[seen]) << "protected, query " << queries[seen];
            }
          });
          ASSERT_EQ(seen, queries.size());
        }
      }
    }
  }
}

// Every kernel, every table shape: each distance is the oracle's float, bit for bit.
TEST(fastknn_distance, kernels_bit_identical_to_oracle) {
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
TEST(fastknn_distance, overflow_to_infinity) {
  table t;
  t.rows = 6;
  t.floats = {{3e38f, -3e38f, 3e38f, -3e38f, 0.0f, 1.0f}};
  t.class_codes = {0, 1, 0, 1, 0, 0};
  t.measures = {{measure_kind::continuous, t.floats[0].data(), nullptr, -1, 0}};
  t.cls = {true, t.class_codes.data(), nullptr};
  t.protected_rows = {0, 1, 3};
  t.unprotected_rows = {1, 2, 3, 4, 5};
  ASSERT_EQ(oracle_distance(t.measures, 0, 1), kInf);
  expect_same_as_oracle(t, {1, 2, 3, 4, 9}, {FLT_MAX, kInf, 3e38f});
}

// Hand-checked searches at every level. Ties: from row 0, row 7 is at 0.1,
// rows 2 and 5 at 0.3, row 1 at 0.5, and only row 5's class differs, so the
// matching count tells which tied row was taken. Self: row 0, in both groups,
// is left out of its own neighbourhood; row 3, in neither, sees every row.
TEST(fastknn_search, hand_checked_and_caller_mistakes) {
  std::vector<float> con = {0.0f, 0.5f, 0.3f, 9.0f, 9.0f, 0.3f, 9.0f, 0.1f};
  std::vector<std::int32_t> con_cls = {0, 0, 0, 0, 0, 1, 0, 0}, nom = {0, 0, 0, 1}, nom_cls = {0, 0, 1, 0};
  const std::vector<measure_column> con_m = {{measure_kind::continuous, con.data(), nullptr, -1, 0}};
  const std::vector<measure_column> nom_m = {{measure_kind::nominal, nullptr, nom.data(), -1, 0}};
  const std::vector<unsigned> p0 = {0}, u_ties = {1, 2, 5, 7}, p_self = {0, 1}, u_self = {0, 2};
  const fastknn ties(con_m, {true, con_cls.data(), nullptr}, p0, u_ties);
  const fastknn self(nom_m, {true, nom_cls.data(), nullptr}, p_self, u_self);
  const struct {
    const fastknn& f;
    unsigned q, k;
    float mxd;
    knn_result u, p;
  } cases[] = {
      {ties, 0, 2, FLT_MAX, {2, 2}, {0, 0}},  // rows 7 and 2, not 5; protected: only the query itself
      {ties, 0, 3, FLT_MAX, {3, 2}, {0, 0}},
      {ties, 0, 2, 0.1f, {1, 1}, {0, 0}},  // exactly at the bound: taken
      {ties, 0, 2, std::nextafter(0.1f, 0.0f), {0, 0}, {0, 0}},
      {self, 0, 5, FLT_MAX, {1, 0}, {1, 1}},
      {self, 3, 5, FLT_MAX, {2, 1}, {2, 2}},
      {self, 3, 5, std::numeric_limits<float>::quiet_NaN(), {2, 1}, {2, 2}},  // NaN bound: no bound at all
  };
  for (kernel_level l : levels()) {
    level_guard g(l);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
      knn_result u, p;
      cases[i].f.search(cases[i].q, cases[i].k, cases[i].mxd, u, p);
      EXPECT_EQ(u, cases[i].u) << kernel_level_name(l) << " case " << i;
      EXPECT_EQ(p, cases[i].p) << kernel_level_name(l) << " case " << i;
    }
  }
  knn_result u, p;
  EXPECT_THROW(self.search(0, 0, FLT_MAX, u, p), orv::util::error);  // k = 0
  EXPECT_THROW(fastknn({}, {true, nom.data(), nullptr}, p0, u_ties), orv::util::error);
}

TEST(fastknn_search, random_mixed_tables_all_levels_and_threads) {
  std::mt19937 rng(2024);
  for (unsigned round = 0; round < 6; ++round) {
    const table t = make_table({.rows = 150 + 40 * round, .continuous = 1 + round % 3, .nominal = 1 + round % 4,
                                .ordinal = round % 4, .missing = 0.1 + 0.1 * (round % 3),
                                .continuous_values = round % 2 ? 0u : 6u, .nominal_class = round % 2 == 0},
                               rng);
    // Bounds that equal actual distances, so the "at the bound" rule bites.
    const float exact = oracle_distance(t.measures, 0, t.rows - 1);
    const float exact2 = oracle_distance(t.measures, 1, t.rows / 2);
    expect_same_as_oracle(t, {1, 2, 7, 50}, {FLT_MAX, 0.0f, 0.25f, exact, exact2}, {1, 3, 8});
  }
}

// Nominal data only: every distance is a multiple of 1/count, so ties are everywhere.
TEST(fastknn_search, nominal_only_all_ties) {
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
TEST(fastknn_search, huge_k) {
  std::mt19937 rng(5);
  const table t = make_table({.rows = 300}, rng);
  expect_same_as_oracle(t, {4294967295u, 4294967294u, 1000u}, {FLT_MAX, 0.5f}, {1, 2});
}

// Group sizes around the vector widths and the padding, and empty groups.
TEST(fastknn_search, group_sizes) {
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
TEST(fastknn_search, many_measures_cross_tiles) {
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
TEST(fastknn_search, ordinal_scales) {
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
    t.measures = {{measure_kind::ordinal, nullptr, t.codes[0].data(), static_cast<std::int32_t>(m + 1), m},
                  {measure_kind::ordinal, nullptr, t.codes[1].data(), static_cast<std::int32_t>(m + base + 1),
                   m + base}};
    for (unsigned r = 0; r < t.rows; ++r) t.class_codes.push_back(static_cast<std::int32_t>(rng() % 2));
    t.cls = {true, t.class_codes.data(), nullptr};
    for (unsigned r = 0; r < t.rows; ++r) (r % 3 ? t.unprotected_rows : t.protected_rows).push_back(r);
    expect_same_as_oracle(t, {1, 5}, {FLT_MAX}, {1, 3});
  }
}

// Results handed over while the search goes on (every sweep above checks
// their order), on a table big enough for several hand-overs; a failing
// receiver stops the search; no queries: one call, with nothing.
TEST(fastknn_search, ordered_hand_over) {
  std::mt19937 rng(23);
  const table t = make_table({.rows = 700, .continuous = 2, .nominal = 2}, rng);
  expect_same_as_oracle(t, {3}, {FLT_MAX}, {1, 2, 3, 8});
  const fastknn f(t.measures, t.cls, t.protected_rows, t.unprotected_rows);
  const std::vector<unsigned> queries = every_row(t.rows);
  std::vector<knn_result> u(queries.size()), p(queries.size());
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    std::vector<std::size_t> calls;
    f.search_ordered(queries, 3, FLT_MAX, u.data(), p.data(), threads, [&](std::size_t n) { calls.push_back(n); });
    EXPECT_GT(calls.size(), 1u) << "threads " << threads;
    unsigned after = 0;
    auto fail_at_100 = [&](std::size_t n) {
      if (after > 0) ++after;
      if (n >= 100 && after == 0) {
        after = 1;
        throw orv::util::error("receiver failed");
      }
    };
    EXPECT_THROW(f.search_ordered(queries, 3, FLT_MAX, u.data(), p.data(), threads, fail_at_100), orv::util::error);
    EXPECT_EQ(after, 1u) << "no hand-over after a failure, threads " << threads;
  }
  std::vector<std::size_t> calls;
  f.search_ordered({}, 3, FLT_MAX, nullptr, nullptr, 2, [&](std::size_t n) { calls.push_back(n); });
  EXPECT_EQ(calls, std::vector<std::size_t>{0});
}

}  // namespace
}  // namespace kel
