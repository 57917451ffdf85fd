// The group view of a table, the figures a fairness report starts with: how
// many rows of each group meet the class condition, the shares and their
// difference and ratio, and the four-fifths rule on the complementary
// (favourable) shares. They need no search.
#pragma once

#include <optional>

namespace kel {

class dataset;

// The rows of one group by the class condition on them.
struct class_tally {
  unsigned meeting = 0;
  unsigned failing = 0;
  unsigned undecided = 0;  // the class value is missing
};

struct group_figures {
  class_tally protected_;
  class_tally unprotected;
  unsigned undecidedRows = 0;  // the a-cond cannot be decided: in neither group
};

// REQUIRES: splitGroups done.
group_figures groupFigures(const dataset& data);

// Shares are of the rows whose class condition is decided. A figure whose
// denominator is 0 has no value.
struct group_rates {
  std::optional<double> protectedShare;    // meeting / (meeting + failing)
  std::optional<double> unprotectedShare;
  std::optional<double> difference;        // protected - unprotected
  std::optional<double> ratio;             // protected / unprotected
  std::optional<double> protectedFavourable;    // failing / (meeting + failing)
  std::optional<double> unprotectedFavourable;
  std::optional<double> favourableRatio;   // protected / unprotected
  // The protected group's favourable share is at least four fifths of the
  // unprotected group's.
  std::optional<bool> fourFifthsHolds;
};

// The class condition names the outcome under test, an unfavourable one
// (a refusal, a low income): the favourable shares are those of the rows
// that do not meet it.
group_rates groupRates(const group_figures& figures);

inline constexpr double fourFifths = 0.8;

}  // namespace kel
