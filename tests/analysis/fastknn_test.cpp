// The fast search against a brute-force oracle written here from the rules:
// per-pair distances summed attribute by attribute, and the bounded max-heap
// scan (push, evict the top once past k, the bound = the last evicted
// distance). Every kernel level and thread count must agree with it exactly.
#include "analysis/fastknn.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "util/error.hpp"

namespace kel {

// Readable failures: found/matching instead of the struct's bytes.
void PrintTo(const knn_result& r, std::ostream* os) { *os << r.found << "/" << r.matching; }

namespace {

constexpr float kInf = std::numeric_limits<float>::infinity();

// ---------------------------------------------------------------------------
// Oracle

float oracle_attribute(const measure_column& c, unsigned a, unsigned b) {
  switch (c.kind) {
    case measure_kind::continuous: {
      const float x = c.values[a], y = c.values[b];
      if (x == FLT_MIN || y == FLT_MIN) return 3.0f;
      return std::fabs(x - y);
    }
    case measure_kind::nominal: {
      const std::int32_t x = c.codes[a], y = c.codes[b];
      if (x == c.missing_code || y == c.missing_code) return 1.0f;
      return x == y ? 0.0f : 1.0f;
    }
    case measure_kind::ordinal: {
      const auto x = static_cast<std::uint32_t>(c.codes[a]);
      const auto y = static_cast<std::uint32_t>(c.codes[b]);
      const auto mc = static_cast<std::uint32_t>(c.missing_code);
      const std::uint32_t m = c.max_code;
      if (x == mc && y == mc) return 1.0f;
      if (m == 0) return (x == mc || y == mc) ? 1.0f : 0.0f;
      if (x == mc || y == mc) {
        const float r = static_cast<float>(x == mc ? y : x) / static_cast<float>(m);
        return std::max(r, 1.0f - r);
      }
      return static_cast<float>(x > y ? x - y : y - x) / static_cast<float>(m);
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

struct pair_dr {
  float d;
  unsigned row;
  bool operator<(const pair_dr& o) const { return d < o.d || (d == o.d && row < o.row); }
};

knn_result oracle_knn(const std::vector<measure_column>& cols, const class_column& cls,
                      const std::vector<unsigned>& group, unsigned q, unsigned k, float max_distance) {
  std::vector<pair_dr> heap;
  float bound = max_distance;
  for (unsigned c : group) {
    if (c == q) continue;
    const float d = oracle_distance(cols, q, c);
    if (bound < d) continue;
    heap.push_back({d, c});
    std::push_heap(heap.begin(), heap.end());
    if (heap.size() > k) {
      bound = heap.front().d;
      std::pop_heap(heap.begin(), heap.end());
      heap.pop_back();
    }
  }
  knn_result r;
  r.found = static_cast<unsigned>(heap.size());
  for (const auto& p : heap) {
    if (cls.nominal)
      r.matching += cls.codes[p.row] == cls.codes[q];
    else
      r.matching += cls.values[p.row] >= cls.values[q];
  }
  return r;
}

// ---------------------------------------------------------------------------
// Random tables

struct shape {
  unsigned rows = 200;
  unsigned continuous = 2, nominal = 2, ordinal = 2;
  unsigned duplicate_measures = 1;  // extra copies of earlier measures
  double missing = 0.15;
  unsigned nominal_values = 4;
  unsigned ordinal_max = 4;  // max_code of ordinals: 0..ordinal_max, some scales larger
  unsigned continuous_values = 0;  // 0: any float; else values drawn from this many
  double duplicate_rows = 0.1;
  bool nominal_class = true;
};

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
    measure_column m;
    m.kind = measure_kind::continuous;
    m.values = col.data();
    t.measures.push_back(m);
  }
  for (unsigned i = 0; i < s.nominal; ++i) {
    // Either "?" took a code of its own among the others, or it never occurred (-1).
    const bool has_missing = chance(0.7);
    const std::int32_t missing = has_missing ? static_cast<std::int32_t>(pick(s.nominal_values + 1)) : -1;
    auto& col = t.codes.emplace_back(s.rows);
    for (auto& x : col)
      x = (has_missing && chance(s.missing)) ? missing
                                               : static_cast<std::int32_t>(pick(s.nominal_values + 1));
    measure_column m;
    m.kind = measure_kind::nominal;
    m.codes = col.data();
    m.missing_code = missing;
    t.measures.push_back(m);
  }
  for (unsigned i = 0; i < s.ordinal; ++i) {
    // Mostly small scales; now and then one with a single value or more values
    // than a lookup table holds.
    std::uint32_t m = pick(s.ordinal_max + 1);
    if (i % 3 == 2) m = 8 + pick(30);
    auto& col = t.codes.emplace_back(s.rows);
    for (auto& x : col)
      x = chance(s.missing) ? static_cast<std::int32_t>(m + 1) : static_cast<std::int32_t>(pick(m + 1));
    measure_column c;
    c.kind = measure_kind::ordinal;
    c.codes = col.data();
    c.missing_code = static_cast<std::int32_t>(m + 1);
    c.max_code = m;
    t.measures.push_back(c);
  }
  std::shuffle(t.measures.begin(), t.measures.end(), rng);
  const std::size_t base = t.measures.size();
  for (unsigned i = 0; i < s.duplicate_measures && base > 0; ++i) t.measures.push_back(t.measures[pick(base)]);

  // Duplicate rows: copy every column of an earlier row.
  for (unsigned r = 1; r < s.rows; ++r) {
    if (!chance(s.duplicate_rows)) continue;
    const unsigned from = pick(r);
    for (auto& c : t.floats) c[r] = c[from];
    for (auto& c : t.codes) c[r] = c[from];
  }

  t.cls.nominal = s.nominal_class;
  t.class_codes.resize(s.rows);
  t.class_values.resize(s.rows);
  for (unsigned r = 0; r < s.rows; ++r) {
    t.class_codes[r] = static_cast<std::int32_t>(pick(3));  // code 2 plays "?"
    t.class_values[r] = chance(0.1) ? FLT_MIN : static_cast<float>(pick(5)) * 0.5f - 1.0f;
  }
  t.cls.codes = t.class_codes.data();
  t.cls.values = t.class_values.data();

  // Three groups: protected, unprotected, and rows in neither.
  for (unsigned r = 0; r < s.rows; ++r) {
    const unsigned g = pick(10);
    if (g < 3)
      t.protected_rows.push_back(r);
    else if (g < 9)
      t.unprotected_rows.push_back(r);
  }
  return t;
}

// ---------------------------------------------------------------------------
// Running every level

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

std::string where(kernel_level l, unsigned k, float mxd, unsigned threads, unsigned q) {
  return std::string(kernel_level_name(l)) + " k=" + std::to_string(k) + " mxd=" +
         std::to_string(mxd) + " threads=" + std::to_string(threads) + " query=" + std::to_string(q);
}

// Searches for every query at every level with each thread count and compares
// with the oracle; stops at the first difference.
void expect_same_as_oracle(const table& t, const std::vector<unsigned>& queries, unsigned k, float mxd,
                           std::initializer_list<unsigned> thread_counts = {1}) {
  std::vector<knn_result> want_u(queries.size()), want_p(queries.size());
  for (std::size_t i = 0; i < queries.size(); ++i) {
    want_u[i] = oracle_knn(t.measures, t.cls, t.unprotected_rows, queries[i], k, mxd);
    want_p[i] = oracle_knn(t.measures, t.cls, t.protected_rows, queries[i], k, mxd);
  }
  // The columns are copied on as many threads as the searches use at most.
  const fastknn f(t.measures, t.cls, t.protected_rows, t.unprotected_rows, std::max(thread_counts));
  for (kernel_level l : levels()) {
    level_guard g(l);
    for (unsigned threads : thread_counts) {
      std::vector<knn_result> got_u(queries.size()), got_p(queries.size());
      f.search_many(queries, k, mxd, got_u.data(), got_p.data(), threads);
      for (std::size_t i = 0; i < queries.size(); ++i) {
        ASSERT_EQ(got_u[i], want_u[i]) << "unprotected " << where(l, k, mxd, threads, queries[i]);
        ASSERT_EQ(got_p[i], want_p[i]) << "protected " << where(l, k, mxd, threads, queries[i]);
      }
    }
  }
}

std::vector<unsigned> all_rows(const table& t) {
  std::vector<unsigned> v(t.rows);
  for (unsigned r = 0; r < t.rows; ++r) v[r] = r;
  return v;
}

// ---------------------------------------------------------------------------
// Distances

// Every kernel, every table shape: each distance is the oracle's float, bit for bit.
TEST(fastknn_distance, kernels_bit_identical_to_oracle) {
  std::mt19937 rng(11);
  for (int round = 0; round < 12; ++round) {
    shape s;
    s.rows = 40 + round * 23;
    s.continuous = round % 4;
    s.nominal = (round + 1) % 3;
    s.ordinal = round % 5;
    if (s.continuous + s.nominal + s.ordinal == 0) s.nominal = 1;
    s.continuous_values = round % 2 ? 5 : 0;
    s.missing = 0.05 * (round % 5);
    s.duplicate_measures = round % 3;
    const table t = make_table(s, rng);
    const fastknn f(t.measures, t.cls, t.protected_rows, t.unprotected_rows);
    for (kernel_level l : levels()) {
      level_guard g(l);
      for (bool prot : {false, true}) {
        const auto& rows = prot ? t.protected_rows : t.unprotected_rows;
        std::vector<float> got(rows.size());
        for (unsigned q = 0; q < t.rows; q += 3) {
          f.distances(q, prot, got);
          for (std::size_t i = 0; i < rows.size(); ++i) {
            const float want = oracle_distance(t.measures, q, rows[i]);
            ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(want))
                << kernel_level_name(l) << " round " << round << " q " << q << " row " << rows[i];
            ASSERT_EQ(reference_distance(t.measures, q, rows[i]), want);
          }
        }
      }
    }
  }
}

// Continuous differences that overflow give +inf distances; they are ordered
// and admitted like any other when the bound is +inf.
TEST(fastknn_distance, overflow_to_infinity) {
  std::vector<float> con = {3e38f, -3e38f, 3e38f, -3e38f, 0.0f, 1.0f};
  std::vector<std::int32_t> cls = {0, 1, 0, 1, 0, 0};
  measure_column c{measure_kind::continuous, con.data(), nullptr, -1, 0};
  std::vector<measure_column> m = {c};
  table t;
  t.rows = 6;
  t.measures = m;
  t.cls = class_column{true, cls.data(), nullptr};
  t.unprotected_rows = {1, 2, 3, 4, 5};
  t.protected_rows = {0, 1, 3};
  EXPECT_EQ(reference_distance(m, 0, 1), kInf);
  const fastknn f(m, t.cls, t.protected_rows, t.unprotected_rows);
  for (kernel_level l : levels()) {
    level_guard g(l);
    std::vector<float> got(5);
    f.distances(0, false, got);
    EXPECT_EQ(got[0], kInf) << kernel_level_name(l);
  }
  for (unsigned k : {1u, 2u, 3u, 4u, 9u})
    for (float mxd : {FLT_MAX, kInf, 3e38f}) expect_same_as_oracle(t, all_rows(t), k, mxd);
}

// A scale with more values than 2^16 of which the groups hold only a few:
// the per-query table still serves it, its codes found without the direct
// index that small codes use, missing ones among them.
TEST(fastknn_distance, few_large_ordinal_codes) {
  std::mt19937 rng(5);
  shape s;
  s.continuous = 1;
  s.nominal = 1;
  s.ordinal = 1;
  s.duplicate_measures = 0;
  table t = make_table(s, rng);
  measure_column* ordinal = nullptr;
  for (auto& m : t.measures)
    if (m.kind == measure_kind::ordinal) ordinal = &m;
  ASSERT_NE(ordinal, nullptr);
  std::vector<std::int32_t> codes(t.rows);
  for (unsigned r = 0; r < t.rows; ++r) codes[r] = r % 7 == 0 ? 100000 : 70000 + static_cast<std::int32_t>(rng() % 5);
  ordinal->codes = codes.data();
  ordinal->missing_code = 100000;
  ordinal->max_code = 99999;
  for (unsigned k : {1u, 3u, 10u}) expect_same_as_oracle(t, all_rows(t), k, FLT_MAX, {1, 3});
}

// ---------------------------------------------------------------------------
// Selection

TEST(fastknn_search, smaller_row_wins_a_tie) {
  // Distances from row 0: row 7 0.1, rows 2 and 5 0.3, row 1 0.5. Row 5 is the
  // only one whose class differs, so matching tells which tied row was taken.
  std::vector<float> con(8, 9.0f);
  con[0] = 0.0f, con[7] = 0.1f, con[2] = 0.3f, con[5] = 0.3f, con[1] = 0.5f;
  std::vector<std::int32_t> cls(8, 0);
  cls[5] = 1;
  std::vector<measure_column> m = {{measure_kind::continuous, con.data(), nullptr, -1, 0}};
  const class_column c{true, cls.data(), nullptr};
  const std::vector<unsigned> unprot = {1, 2, 5, 7}, prot = {0};
  const fastknn f(m, c, prot, unprot);
  for (kernel_level l : levels()) {
    level_guard g(l);
    knn_result u, p;
    f.search(0, 2, FLT_MAX, u, p);
    EXPECT_EQ(u, (knn_result{2, 2})) << kernel_level_name(l);
    EXPECT_EQ(p, (knn_result{0, 0})) << kernel_level_name(l);  // only the query itself
    f.search(0, 3, FLT_MAX, u, p);
    EXPECT_EQ(u, (knn_result{3, 2})) << kernel_level_name(l);
    f.search(0, 2, 0.1f, u, p);  // exactly at the bound: taken
    EXPECT_EQ(u, (knn_result{1, 1})) << kernel_level_name(l);
    f.search(0, 2, std::nextafter(0.1f, 0.0f), u, p);
    EXPECT_EQ(u, (knn_result{0, 0})) << kernel_level_name(l);
  }
}

TEST(fastknn_search, random_mixed_tables_all_levels_and_threads) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 6; ++round) {
    shape s;
    s.rows = 150 + 40 * round;
    s.continuous = 1 + round % 3;
    s.nominal = 1 + round % 4;
    s.ordinal = round % 4;
    s.missing = 0.1 + 0.1 * (round % 3);
    s.continuous_values = round % 2 ? 0 : 6;
    s.nominal_class = round % 2 == 0;
    const table t = make_table(s, rng);
    // Some bounds that equal actual distances, so the "at the bound" rule bites.
    const std::vector<unsigned> q = all_rows(t);
    const float exact = oracle_distance(t.measures, 0, t.rows - 1);
    const float exact2 = oracle_distance(t.measures, 1, t.rows / 2);
    for (unsigned k : {1u, 2u, 7u, 50u}) {
      for (float mxd : {FLT_MAX, 0.0f, 0.25f, exact, exact2})
        expect_same_as_oracle(t, q, k, mxd, {1, 3, 8});
    }
  }
}

// Nominal data only: every distance is a multiple of 1/count, so ties are everywhere.
TEST(fastknn_search, nominal_only_all_ties) {
  std::mt19937 rng(7);
  for (unsigned values : {1u, 2u, 3u}) {
    shape s;
    s.rows = 260;
    s.continuous = 0;
    s.ordinal = 0;
    s.nominal = 3;
    s.nominal_values = values;
    s.duplicate_rows = 0.3;
    const table t = make_table(s, rng);
    for (unsigned k : {1u, 2u, 3u, 5u, 8u, 13u, 50u})
      for (float mxd : {FLT_MAX, 0.0f, 1.0f / 4.0f, 2.0f / 4.0f})
        expect_same_as_oracle(t, all_rows(t), k, mxd, {1, 4});
  }
}

// k beyond the group: every admissible candidate is taken; k is never used to
// size anything.
TEST(fastknn_search, huge_k) {
  std::mt19937 rng(5);
  shape s;
  s.rows = 300;
  const table t = make_table(s, rng);
  for (unsigned k : {4294967295u, 4294967294u, 1000u})
    for (float mxd : {FLT_MAX, 0.5f}) expect_same_as_oracle(t, all_rows(t), k, mxd, {1, 2});
}

// Group sizes around the vector widths and the padding, and empty groups.
TEST(fastknn_search, group_sizes) {
  std::mt19937 rng(99);
  for (unsigned n : {0u, 1u, 2u, 7u, 8u, 9u, 15u, 16u, 17u, 31u, 32u, 33u, 63u, 64u, 65u, 129u}) {
    shape s;
    s.rows = 2 * n + 5;
    s.continuous_values = 4;
    table t = make_table(s, rng);
    // Unprotected: the first n rows; protected: n rows from the middle.
    t.unprotected_rows.clear();
    t.protected_rows.clear();
    for (unsigned r = 0; r < n; ++r) t.unprotected_rows.push_back(r);
    for (unsigned r = n + 2; r < 2 * n + 2; ++r) t.protected_rows.push_back(r);
    for (unsigned k : {1u, 3u, 40u}) expect_same_as_oracle(t, all_rows(t), k, FLT_MAX, {1, 3});
  }
}

// Tiles hold a few hundred candidates; larger groups with many measures cross
// several tile boundaries and query chunks.
TEST(fastknn_search, many_measures_cross_tiles) {
  std::mt19937 rng(31);
  shape s;
  s.rows = 1500;
  s.continuous = 10;
  s.nominal = 12;
  s.ordinal = 10;
  s.continuous_values = 3;
  s.nominal_values = 2;
  s.ordinal_max = 2;
  const table t = make_table(s, rng);
  std::vector<unsigned> q;
  for (unsigned r = 0; r < t.rows; r += 7) q.push_back(r);
  for (unsigned k : {1u, 4u}) expect_same_as_oracle(t, q, k, FLT_MAX, {1, 2});
}

// Ordinal scales of every table size the kernels special-case (up to 8, up to
// 16, more), codes that are not 0-based, and the one-value scale.
TEST(fastknn_search, ordinal_scales) {
  std::mt19937 rng(17);
  for (std::uint32_t m : {0u, 1u, 6u, 7u, 8u, 14u, 15u, 16u, 40u}) {
    table t;
    t.rows = 180;
    t.codes.reserve(2);
    auto& col = t.codes.emplace_back(t.rows);
    auto& col2 = t.codes.emplace_back(t.rows);
    std::uniform_int_distribution<std::uint32_t> code(0, m + 1);  // m + 1 = missing
    // Sparse, large codes; some beyond any direct index.
    const std::uint32_t base = m % 2 ? 100000 : 1000;
    for (unsigned r = 0; r < t.rows; ++r) {
      col[r] = static_cast<std::int32_t>(code(rng));
      col2[r] = static_cast<std::int32_t>(code(rng) + base);
    }
    t.measures.push_back({measure_kind::ordinal, nullptr, col.data(), static_cast<std::int32_t>(m + 1), m});
    t.measures.push_back({measure_kind::ordinal, nullptr, col2.data(), static_cast<std::int32_t>(m + base + 1),
                          m + base});
    t.class_codes.resize(t.rows);
    for (auto& c : t.class_codes) c = static_cast<std::int32_t>(rng() % 2);
    t.cls = class_column{true, t.class_codes.data(), nullptr};
    for (unsigned r = 0; r < t.rows; ++r) (r % 3 ? t.unprotected_rows : t.protected_rows).push_back(r);
    for (unsigned k : {1u, 5u}) expect_same_as_oracle(t, all_rows(t), k, FLT_MAX, {1});
  }
}

// The query's own row is left out of both groups; queries outside both groups
// see every row.
TEST(fastknn_search, query_left_out_of_its_own_neighbourhood) {
  std::vector<std::int32_t> nom = {0, 0, 0, 1};
  std::vector<std::int32_t> cls = {0, 0, 1, 0};
  std::vector<measure_column> m = {{measure_kind::nominal, nullptr, nom.data(), -1, 0}};
  const class_column c{true, cls.data(), nullptr};
  const std::vector<unsigned> prot = {0, 1}, unprot = {0, 2};  // row 0 in both
  const fastknn f(m, c, prot, unprot);
  knn_result u, p;
  f.search(0, 5, FLT_MAX, u, p);
  EXPECT_EQ(p, (knn_result{1, 1}));
  EXPECT_EQ(u, (knn_result{1, 0}));
  f.search(3, 5, FLT_MAX, u, p);
  EXPECT_EQ(p, (knn_result{2, 2}));
  EXPECT_EQ(u, (knn_result{2, 1}));
}

// Results handed over in order while the search goes on: every call covers
// more queries, those results are final when handed over, the last call
// covers all, and a failing receiver stops the search.
TEST(fastknn_search, ordered_hand_over) {
  std::mt19937 rng(23);
  shape s;
  s.rows = 700;
  s.continuous = 2;
  s.nominal = 2;
  const table t = make_table(s, rng);
  const fastknn f(t.measures, t.cls, t.protected_rows, t.unprotected_rows);
  const std::vector<unsigned> queries = all_rows(t);
  std::vector<knn_result> want_u(queries.size()), want_p(queries.size());
  f.search_many(queries, 3, FLT_MAX, want_u.data(), want_p.data(), 1);
  for (unsigned threads : {1u, 2u, 3u, 8u}) {
    std::vector<knn_result> got_u(queries.size()), got_p(queries.size());
    std::size_t seen = 0;
    unsigned calls = 0;
    f.search_ordered(queries, 3, FLT_MAX, got_u.data(), got_p.data(), threads, [&](std::size_t n) {
      ++calls;
      ASSERT_GT(n, seen) << "threads " << threads;
      ASSERT_LE(n, queries.size());
      for (; seen < n; ++seen) {
        ASSERT_EQ(got_u[seen], want_u[seen]) << "threads " << threads << " query " << seen;
        ASSERT_EQ(got_p[seen], want_p[seen]) << "threads " << threads << " query " << seen;
      }
    });
    EXPECT_EQ(seen, queries.size());
    EXPECT_GT(calls, 1u);

    unsigned after = 0;
    EXPECT_THROW(f.search_ordered(queries, 3, FLT_MAX, got_u.data(), got_p.data(), threads,
                                  [&](std::size_t n) {
                                    if (after > 0) ++after;
                                    if (n >= 100 && after == 0) {
                                      after = 1;
                                      throw orv::util::error("receiver failed");
                                    }
                                  }),
                 orv::util::error);
    EXPECT_EQ(after, 1u) << "no hand-over after a failure";
  }
  // No queries: one call, with nothing.
  std::vector<std::size_t> calls;
  f.search_ordered({}, 3, FLT_MAX, nullptr, nullptr, 2, [&](std::size_t n) { calls.push_back(n); });
  EXPECT_EQ(calls, std::vector<std::size_t>{0});
}

TEST(fastknn_search, caller_mistakes_are_errors) {
  std::vector<std::int32_t> nom = {0, 1};
  std::vector<measure_column> none;
  const class_column c{true, nom.data(), nullptr};
  const std::vector<unsigned> rows = {0, 1};
  EXPECT_THROW(fastknn(none, c, rows, rows), orv::util::error);
  std::vector<measure_column> m = {{measure_kind::nominal, nullptr, nom.data(), -1, 0}};
  const fastknn f(m, c, rows, rows);
  knn_result u, p;
  EXPECT_THROW(f.search(0, 0, FLT_MAX, u, p), orv::util::error);
  // NaN bound: no bound at all.
  f.search(0, 1, std::numeric_limits<float>::quiet_NaN(), u, p);
  EXPECT_EQ(u, (knn_result{1, 0}));
}

}  // namespace
}  // namespace kel
