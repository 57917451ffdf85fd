// The verdict on one tuple from its two neighbourhoods' counts, worked out by
// hand: the shares, their difference, the confidence interval and the sign.
#include "analysis/engine/judge.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

namespace {

using kel::judge;

const double z95 = 1.644853627;

std::string printed(double x) {
  std::ostringstream s;
  s << x;
  return s.str();
}

TEST(judge, shares_confidence_threshold_and_sign) {
  const struct {
    const char* what;
    kel::share_counts p, u;
    bool holds;
    kel::judge_rule rule;
    bool tested;
    double diff;
    bool flagged;
  } cases[] = {
      // k = 2: protected neighbours bad, bad (2 of 2 match), unprotected bad,
      // good (1 of 2): 1 - 0.5 = 0.5, flagged at 0.1.
      {"above the threshold", {2, 2}, {2, 1}, true, {.threshold = 0.1}, true, 0.5, true},
      // With -cl 95: h = 1.644853627 * sqrt(0 / 2 + 0.25 / 2) = 1.644853627 *
      // 0.35355339 = 0.58154358 > 0.5, so the diff stops at 0: not flagged.
      {"confidence to zero", {2, 2}, {2, 1}, true, {.threshold = 0.1, .useConfidence = true, .z = z95}, true, 0.0,
       false},
      // A diff of exactly 0.5 reaches a threshold of exactly 0.5.
      {"at the threshold", {2, 2}, {2, 1}, true, {.threshold = 0.5}, true, 0.5, true},
      {"just below", {2, 2}, {2, 1}, true, {.threshold = 0.5000001}, true, 0.5, false},
      // A negative diff moves up, and stops at 0 too: 0.5 - 1 = -0.5, and
      // h = 1.644853627 * sqrt(0.25 / 2 + 0 / 2) = 0.58154358.
      {"negative to zero", {2, 1}, {2, 2}, true, {.threshold = -1.0, .useConfidence = true, .z = z95}, true, 0.0,
       true},
      // Only a tuple whose class condition holds is flagged (-all).
      {"class condition fails", {2, 2}, {2, 1}, false, {.threshold = 0.1}, true, 0.5, false},
      // An empty neighbourhood: not tested at all.
      {"no unprotected neighbour", {3, 1}, {0, 0}, true, {}, false, 0.0, false},
      {"no protected neighbour", {0, 0}, {3, 1}, true, {}, false, 0.0, false},
  };
  for (const auto& c : cases) {
    const kel::verdict v = judge(c.p, c.u, c.holds, c.rule);
    EXPECT_EQ(v.tested, c.tested) << c.what;
    EXPECT_EQ(v.diff, c.diff) << c.what;
    EXPECT_FALSE(std::signbit(v.diff)) << c.what;
    EXPECT_EQ(v.flagged, c.flagged) << c.what;
  }
}

TEST(judge, interval_half_width_and_negation) {
  // 8 of 10 against 2 of 10: 0.8 * 0.2 / 10 = 0.016 twice, sqrt(0.032) =
  // 0.1788854382, h = 1.644853627 * 0.1788854382 = 0.2942403618, and the diff
  // 0.6 - 0.2942403618 = 0.3057596382.
  const kel::verdict v = judge({10, 8}, {10, 2}, true, {.threshold = 0.3, .useConfidence = true, .z = z95});
  EXPECT_NEAR(v.diff, 0.3057596382, 1e-9);
  EXPECT_TRUE(v.flagged);

  // A continuous class under "<": the sign flips, a zero diff included, which
  // is then written as "-0".
  const kel::verdict zero = judge({2, 1}, {2, 1}, true, {.negate = true});
  EXPECT_TRUE(std::signbit(zero.diff));
  EXPECT_EQ(printed(zero.diff), "-0");
  EXPECT_FALSE(zero.flagged);
  const kel::verdict flipped = judge({2, 0}, {2, 2}, true, {.threshold = 0.5, .negate = true});
  EXPECT_EQ(flipped.diff, 1.0);  // 0 - 1 = -1, negated
  EXPECT_TRUE(flipped.flagged);
}

}  // namespace
