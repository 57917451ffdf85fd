// The neighbour searches' oracle, written from the rules: per-pair distances
// summed attribute by attribute, and the bounded max-heap search (push, evict
// the top once past k, the bound = the last evicted distance); random tables
// full of ties and missing values to hold the searches to it.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "analysis/knn/dispatch.hpp"
#include "analysis/knn/search.hpp"
#include "util/error.hpp"

namespace kel::knn_oracle {

// One group's result: the neighbours in (distance, row) order and the matching count.
struct found {
  std::vector<std::pair<float, unsigned>> neighbours;
  unsigned matching = 0;
  bool operator==(const found&) const = default;
};

inline found as_found(const neighbourhood& n) {
  found f;
  for (const neighbour& e : n.neighbours) f.neighbours.emplace_back(e.distance, e.row);
  f.matching = n.matching;
  return f;
}

// Readable failures.
inline void PrintTo(const found& r, std::ostream* os) {
  *os << r.neighbours.size() << "/" << r.matching << " {";
  for (const auto& [d, row] : r.neighbours) *os << " " << row << ":" << d;
  *os << " }";
}

inline constexpr float kInf = std::numeric_limits<float>::infinity();

inline float oracle_attribute(const measure_column& c, unsigned a, unsigned b) {
  switch (c.kind) {
    case measure_kind::continuous: {
      const float x = c.values[a], y = c.values[b];
      return x == FLT_MIN || y == FLT_MIN ? 3.0f : std::fabs(x - y);
    }
    case measure_kind::nominal: {
      const std::int32_t x = c.codes[a], y = c.codes[b];
      return x == c.missingCode || y == c.missingCode || x != y ? 1.0f : 0.0f;
    }
    case measure_kind::ordinal: {
      const auto x = static_cast<std::uint32_t>(c.codes[a]), y = static_cast<std::uint32_t>(c.codes[b]);
      const auto mc = static_cast<std::uint32_t>(c.missingCode);
      const auto m = static_cast<float>(c.maxCode);
      if (x == mc && y == mc) return 1.0f;
      if (c.maxCode == 0) return (x == mc || y == mc) ? 1.0f : 0.0f;
      if (x == mc || y == mc) {
        const float r = static_cast<float>(x == mc ? y : x) / m;
        return std::max(r, 1.0f - r);
      }
      return static_cast<float>(x > y ? x - y : y - x) / m;
    }
  }
  return 0.0f;
}

inline float oracle_distance(const std::vector<measure_column>& cols, unsigned a, unsigned b) {
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
  search_columns cols;
  std::vector<std::int32_t> class_codes;
  std::vector<float> class_values;
  std::vector<unsigned> protected_rows, unprotected_rows;
};

inline found oracle_knn(const table& t, const std::vector<unsigned>& group, unsigned q, unsigned k, float mxd) {
  std::vector<std::pair<float, unsigned>> heap;  // top: the farthest, ties the highest row
  float bound = mxd;
  for (unsigned c : group) {
    if (c == q) continue;
    const float d = oracle_distance(t.cols.measures, q, c);
    if (bound < d) continue;
    heap.emplace_back(d, c);
    std::push_heap(heap.begin(), heap.end());
    if (heap.size() > k) {
      bound = heap.front().first;
      std::pop_heap(heap.begin(), heap.end());
      heap.pop_back();
    }
  }
  found r;
  const class_column& cls = t.cols.outcome;
  for (const auto& [d, row] : heap) r.matching += cls.nominal ? cls.codes[row] == cls.codes[q] : cls.values[row] >= cls.values[q];
  std::sort_heap(heap.begin(), heap.end());
  r.neighbours = heap;
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

inline table make_table(const shape& s, std::mt19937& rng) {
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
    t.cols.measures.push_back({measure_kind::continuous, col.data(), nullptr, -1, 0});
  }
  for (unsigned i = 0; i < s.nominal; ++i) {
    // Either "?" took a code of its own among the others, or it never occurred (-1).
    const bool has_missing = chance(0.7);
    const std::int32_t missing = has_missing ? static_cast<std::int32_t>(pick(s.nominal_values + 1)) : -1;
    auto& col = t.codes.emplace_back(s.rows);
    for (auto& x : col)
      x = (has_missing && chance(s.missing)) ? missing : static_cast<std::int32_t>(pick(s.nominal_values + 1));
    t.cols.measures.push_back({measure_kind::nominal, nullptr, col.data(), missing, 0});
  }
  for (unsigned i = 0; i < s.ordinal; ++i) {
    // Mostly small scales; now and then one with a single value or more values
    // than a lookup table holds.
    std::uint32_t m = pick(s.ordinal_max + 1);
    if (i % 3 == 2) m = 8 + pick(30);
    auto& col = t.codes.emplace_back(s.rows);
    for (auto& x : col)
      x = chance(s.missing) ? static_cast<std::int32_t>(m + 1) : static_cast<std::int32_t>(pick(m + 1));
    t.cols.measures.push_back({measure_kind::ordinal, nullptr, col.data(), static_cast<std::int32_t>(m + 1), m});
  }
  std::shuffle(t.cols.measures.begin(), t.cols.measures.end(), rng);
  const std::size_t base = t.cols.measures.size();
  for (unsigned i = 0; i < s.duplicate_measures && base > 0; ++i) t.cols.measures.push_back(t.cols.measures[pick(base)]);
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
  t.cols.outcome = {s.nominal_class, t.class_codes.data(), t.class_values.data()};
  for (unsigned r = 0; r < s.rows; ++r)  // protected 3 in 10, unprotected 6 in 10, the rest in neither
    if (const unsigned g = pick(10); g < 9) (g < 3 ? t.protected_rows : t.unprotected_rows).push_back(r);
  return t;
}

inline std::vector<kernel_level> levels() {
  std::vector<kernel_level> v;
  for (auto l : {kernel_level::scalar, kernel_level::avx2, kernel_level::avx512}) {
    try {
      setKernelLevel(l);
      v.push_back(l);
    } catch (const orv::util::error&) {
    }
  }
  resetKernelLevel();
  return v;
}

struct level_guard {
  explicit level_guard(kernel_level l) { setKernelLevel(l); }
  ~level_guard() { resetKernelLevel(); }
};

inline std::vector<unsigned> every_row(unsigned rows, unsigned step = 1) {
  std::vector<unsigned> v;
  for (unsigned r = 0; r < rows; r += step) v.push_back(r);
  return v;
}

// The results of one run, taken as they are handed over: each block must
// follow the one before it.
struct taken {
  std::vector<found> unprotected, protected_;
};

inline taken run_all(neighbour_search& f, const std::vector<unsigned>& queries, unsigned k, float mxd,
                     unsigned threads, search_method method = search_method::automatic) {
  taken t;
  f.run(queries, {.k = k, .maxDistance = mxd, .threads = threads, .method = method}, [&](const result_block& b) {
    EXPECT_EQ(b.first(), t.unprotected.size());
    for (std::size_t i = 0; i < b.size(); ++i) {
      EXPECT_EQ(b.row(i), queries[b.first() + i]);
      t.unprotected.push_back(as_found(b.get(i, group::unprotected)));
      t.protected_.push_back(as_found(b.get(i, group::protected_)));
    }
  });
  return t;
}

// The searches of f for the queries against the oracle with each k and
// bound, at each kernel level and thread count; stops at the first difference.
inline void expect_searches_as_oracle(neighbour_search& f, const table& t, const std::vector<unsigned>& queries,
                                      const std::vector<unsigned>& ks, const std::vector<float>& bounds,
                                      const std::vector<unsigned>& thread_counts, const std::vector<kernel_level>& at,
                                      search_method method = search_method::automatic) {
  for (unsigned k : ks) {
    for (float mxd : bounds) {
      taken want;
      for (unsigned q : queries) {
        want.unprotected.push_back(oracle_knn(t, t.unprotected_rows, q, k, mxd));
        want.protected_.push_back(oracle_knn(t, t.protected_rows, q, k, mxd));
      }
      for (kernel_level l : at) {
        level_guard lg(l);
        for (unsigned threads : thread_counts) {
          SCOPED_TRACE(std::string(kernelLevelName(l)) + " k=" + std::to_string(k) + " mxd=" + std::to_string(mxd) +
                       " threads=" + std::to_string(threads));
          const taken got = run_all(f, queries, k, mxd, threads, method);
          ASSERT_EQ(got.unprotected.size(), queries.size());
          for (std::size_t i = 0; i < queries.size(); ++i) {
            ASSERT_EQ(got.unprotected[i], want.unprotected[i]) << "unprotected, query " << queries[i];
            ASSERT_EQ(got.protected_[i], want.protected_[i]) << "protected, query " << queries[i];
          }
        }
      }
    }
  }
}

// Results come in more than one block; a receiver that fails stops the
// hand-over at once; no queries: no call.
inline void expect_ordered_hand_over(neighbour_search& f, const std::vector<unsigned>& queries,
                                     const std::vector<unsigned>& thread_counts, search_method method) {
  for (unsigned threads : thread_counts) {
    std::size_t blocks = 0;
    f.run(queries, {.k = 3, .threads = threads, .method = method}, [&](const result_block&) { ++blocks; });
    EXPECT_GT(blocks, 1u) << "threads " << threads;
    unsigned after = 0;
    auto fail_at_100 = [&](const result_block& b) {
      if (after > 0) ++after;
      if (b.first() + b.size() >= 100 && after == 0) {
        after = 1;
        throw orv::util::error("receiver failed");
      }
    };
    EXPECT_THROW(f.run(queries, {.k = 3, .threads = threads, .method = method}, fail_at_100), orv::util::error);
    EXPECT_EQ(after, 1u) << "no hand-over after a failure, threads " << threads;
  }
  std::size_t calls = 0;
  f.run({}, {.k = 3, .threads = 2, .method = method}, [&](const result_block&) { ++calls; });
  EXPECT_EQ(calls, 0u);
}

}  // namespace kel::knn_oracle
