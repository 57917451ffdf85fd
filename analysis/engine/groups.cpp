#include "analysis/engine/groups.hpp"

#include "analysis/table/dataset.hpp"

namespace kel {

group_figures groupFigures(const dataset& data) {
  group_figures f;
  const unsigned n = data.classAtt->size();
  for (unsigned r = 0; r < n; ++r) {
    class_tally* t = data.protectedRows.test(r) ? &f.protected_ : data.unprotectedRows.test(r) ? &f.unprotected : nullptr;
    if (!t) {
      ++f.undecidedRows;
      continue;
    }
    const int c = data.classCondition(r);
    ++(c > 0 ? t->meeting : c == 0 ? t->failing : t->undecided);
  }
  return f;
}

namespace {

std::optional<double> quotient(std::optional<double> a, std::optional<double> b) {
  if (!a || !b || *b == 0) return std::nullopt;
  return *a / *b;
}

std::optional<double> share(unsigned part, unsigned other) {
  const unsigned long long whole = 0ULL + part + other;
  if (whole == 0) return std::nullopt;
  return static_cast<double>(part) / static_cast<double>(whole);
}

}  // namespace

group_rates groupRates(const group_figures& f) {
  group_rates r;
  r.protectedShare = share(f.protected_.meeting, f.protected_.failing);
  r.unprotectedShare = share(f.unprotected.meeting, f.unprotected.failing);
  if (r.protectedShare && r.unprotectedShare) r.difference = *r.protectedShare - *r.unprotectedShare;
  r.ratio = quotient(r.protectedShare, r.unprotectedShare);
  r.protectedFavourable = share(f.protected_.failing, f.protected_.meeting);
  r.unprotectedFavourable = share(f.unprotected.failing, f.unprotected.meeting);
  r.favourableRatio = quotient(r.protectedFavourable, r.unprotectedFavourable);
  if (r.favourableRatio) r.fourFifthsHolds = *r.favourableRatio >= fourFifths;
  return r;
}

}  // namespace kel
