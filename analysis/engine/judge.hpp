// The verdict on one protected tuple, from the two neighbourhoods' counts
// alone: the share of neighbours with the tuple's class outcome among its
// protected neighbours minus the share among its unprotected ones, moved
// toward zero by the half-width of a confidence interval when one is asked
// for, negated for a continuous class tested with "<", and compared with the
// threshold. A pure function: no table, no search, no output.
#pragma once

namespace kel {

struct judge_rule {
  double threshold = 0.1;
  bool useConfidence = false;
  double z = 0.0;       // the one-sided normal quantile of the confidence level
  bool negate = false;  // a continuous class under the "<" operator
};

struct share_counts {
  unsigned found = 0;
  unsigned matching = 0;
};

struct verdict {
  bool tested = false;   // both neighbourhoods are non-empty; nothing else is set otherwise
  double diff = 0.0;
  bool flagged = false;  // the class condition holds and diff reaches the threshold
};

verdict judge(share_counts protectedCounts, share_counts unprotectedCounts, bool classHolds, const judge_rule& rule);

}  // namespace kel
