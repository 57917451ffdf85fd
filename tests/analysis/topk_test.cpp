// The selection of every search and the bounds the scan filters with,
// against what they must give, worked out apart from the code.
#include "analysis/knn/topk.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <limits>
#include <random>
#include <utility>
#include <vector>

namespace {

using kel::neighbour;
using list = std::vector<std::pair<float, unsigned>>;

list select(std::uint64_t k, float max_distance, const list& offers) {
  kel::topk t;
  t.start(k, max_distance);
  for (const auto& [d, row] : offers) t.offer({d, row});
  list out;
  for (const neighbour& n : t.take()) out.emplace_back(n.distance, n.row);
  return out;
}

constexpr float nan = std::numeric_limits<float>::quiet_NaN();

TEST(topk, the_k_smallest_within_the_bound) {
  // k = 2, candidates at 0.1 (row 7), 0.3 (row 2), 0.3 (row 5) and 0.5 (row
  // 1): rows 7 and 2; the tie goes to the smaller row, in any offer order.
  const list candidates = {{0.5f, 1}, {0.3f, 2}, {0.3f, 5}, {0.1f, 7}};
  EXPECT_EQ(select(2, FLT_MAX, candidates), (list{{0.1f, 7}, {0.3f, 2}}));
  EXPECT_EQ(select(2, FLT_MAX, {{0.1f, 7}, {0.3f, 5}, {0.5f, 1}, {0.3f, 2}}), (list{{0.1f, 7}, {0.3f, 2}}));
  // A bound of 0 keeps only distance 0; a candidate exactly at the bound is
  // taken, one above it is not; a NaN bound is no bound.
  EXPECT_EQ(select(3, 0.0f, {{0.0f, 4}, {0.1f, 7}, {0.0f, 9}}), (list{{0.0f, 4}, {0.0f, 9}}));
  EXPECT_EQ(select(9, 0.3f, candidates), (list{{0.1f, 7}, {0.3f, 2}, {0.3f, 5}}));
  EXPECT_EQ(select(9, std::nextafter(0.3f, 0.0f), candidates), (list{{0.1f, 7}}));
  EXPECT_EQ(select(9, nan, candidates), (list{{0.1f, 7}, {0.3f, 2}, {0.3f, 5}, {0.5f, 1}}));
  EXPECT_EQ(select(4294967295u, 1.0f, {}), list{});
}

// Random offers full of ties, in random order: the k smallest by (distance,
// row) among those within the bound, as a plain sort finds them.
TEST(topk, any_order_against_a_sort) {
  std::mt19937 rng(3);
  for (int round = 0; round < 300; ++round) {
    list offers;
    const unsigned n = rng() % 40;
    for (unsigned row = 0; row < n; ++row) offers.emplace_back(static_cast<float>(rng() % 6) * 0.25f, row);
    std::shuffle(offers.begin(), offers.end(), rng);
    const std::uint64_t k = 1 + rng() % 8;
    const float bound = round % 3 == 0 ? FLT_MAX : static_cast<float>(rng() % 6) * 0.25f;
    list want;
    for (const auto& o : offers)
      if (o.first <= bound) want.push_back(o);
    std::sort(want.begin(), want.end());
    if (want.size() > k) want.resize(k);
    ASSERT_EQ(select(k, bound, offers), want) << "round " << round;
  }
}

TEST(topk, one_total_order) {
  EXPECT_TRUE(kel::before({0.1f, 9}, {0.2f, 1}));
  EXPECT_TRUE(kel::before({0.2f, 1}, {0.2f, 9}));
  EXPECT_FALSE(kel::before({0.2f, 9}, {0.2f, 9}));
  // Not a number comes after every number, two of them by row.
  EXPECT_TRUE(kel::before({INFINITY, 9}, {nan, 1}));
  EXPECT_FALSE(kel::before({nan, 1}, {INFINITY, 9}));
  EXPECT_TRUE(kel::before({nan, 1}, {nan, 2}));
}

// sum <= sumBound(b, n) exactly when the float sum / n <= b, for sums (never
// negative) on either side of the boundary; sumBoundBelow the same for <.
TEST(topk, sum_bounds_match_the_division) {
  std::mt19937 rng(8);
  std::uniform_real_distribution<float> any(0.0f, 4.0f);
  for (int round = 0; round < 2000; ++round) {
    const float n = static_cast<float>(1 + rng() % 13);
    const float b = round % 10 == 0 ? static_cast<float>(rng() % 5) / n : any(rng);
    const float s = kel::sumBound(b, n), below = kel::sumBoundBelow(b, n);
    for (float x : {s, std::nextafter(s, 0.0f), std::nextafter(s, INFINITY), below, std::nextafter(below, INFINITY)}) {
      if (!(x >= 0.0f)) continue;
      ASSERT_EQ(x <= s, x / n <= b) << x << " / " << n << " against " << b;
      ASSERT_EQ(x <= below, x / n < b) << x << " / " << n << " below " << b;
    }
  }
  EXPECT_EQ(kel::sumBound(nan, 3.0f), INFINITY);
  EXPECT_EQ(kel::sumBound(INFINITY, 3.0f), INFINITY);
  EXPECT_EQ(kel::sumBoundBelow(0.0f, 3.0f), -INFINITY);
}

}  // namespace
