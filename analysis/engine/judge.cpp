#include "analysis/engine/judge.hpp"

#include <cmath>

namespace kel {

verdict judge(share_counts protectedCounts, share_counts unprotectedCounts, bool classHolds, const judge_rule& rule) {
  verdict v;
  const unsigned np = protectedCounts.found, nu = unprotectedCounts.found;
  if (np == 0 || nu == 0) return v;
  v.tested = true;
  const double pp = static_cast<double>(protectedCounts.matching) / np;
  const double pu = static_cast<double>(unprotectedCounts.matching) / nu;
  double diff = pp - pu;
  if (rule.useConfidence) {
    // The difference moves toward zero and never crosses it.
    const double h = rule.z * std::sqrt(pp * (1 - pp) / np + pu * (1 - pu) / nu);
    if (diff >= 0) {
      diff = diff - h;
      if (!(diff > 0)) diff = 0;
    } else {
      diff = diff + h;
      if (!(diff < 0)) diff = 0;
    }
  }
  if (rule.negate) diff = -diff;
  v.diff = diff;
  v.flagged = classHolds && diff >= rule.threshold;
  return v;
}

}  // namespace kel
