#include "analysis/engine/placebo.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "analysis/table/dataset.hpp"
#include "util/rand64.hpp"

namespace kel {

std::optional<double> flaggedShare(const flag_count& c) {
  if (c.tested == 0) return std::nullopt;
  return static_cast<double>(c.flagged) / static_cast<double>(c.tested);
}

placebo_test::placebo_test(const dataset& data, const test_settings& settings, std::uint64_t seed)
    : data(data), settings(settings), seed(seed) {
  const unsigned n = data.classAtt->size();
  classHolds.resize(n);
  for (unsigned r = 0; r < n; ++r) {
    classHolds[r] = data.classCondition(r) != 0;
    const bool p = data.protectedRows.test(r);
    if (!p && !data.unprotectedRows.test(r)) continue;
    decided.push_back(r);
    isProtected.push_back(p);
  }
}

void placebo_test::shuffled(std::uint64_t i, std::vector<unsigned>& protectedList,
                            std::vector<unsigned>& unprotectedList) const {
  std::vector<std::uint8_t> labels = isProtected;
  orv::util::rand64 random(seed, i);
  orv::util::shuffle(std::span<std::uint8_t>(labels), random);
  protectedList.clear();
  unprotectedList.clear();
  for (std::size_t j = 0; j < decided.size(); ++j) (labels[j] ? protectedList : unprotectedList).push_back(decided[j]);
}

std::vector<unsigned> placebo_test::protectedRows(std::uint64_t i) const {
  std::vector<unsigned> p, u;
  shuffled(i, p, u);
  return p;
}

flag_count placebo_test::run(std::uint64_t i) const {
  std::vector<unsigned> protectedList, unprotectedList;
  shuffled(i, protectedList, unprotectedList);
  // Only tuples whose class condition holds can be tested, whatever the mode.
  std::vector<unsigned> queries;
  for (const unsigned r : protectedList)
    if (classHolds[r]) queries.push_back(r);
  if (queries.empty()) return {};
  const auto search = makeSearchFor(data, protectedList, unprotectedList, settings);
  const test_counts c = runTest(data, protectedList, queries, *search, settings, nullptr, nullptr, nullptr);
  return {c.classCount, c.discriminated};
}

double percentile(std::span<const double> sorted, double p) {
  const double h = static_cast<double>(sorted.size() - 1) * p;
  const double below = std::floor(h);
  const auto i = static_cast<std::size_t>(below);
  if (i + 1 >= sorted.size()) return sorted.back();
  return sorted[i] + (h - below) * (sorted[i + 1] - sorted[i]);
}

placebo_figures placeboFigures(const flag_count& real, std::vector<flag_count> runs) {
  placebo_figures f;
  f.real = real;
  f.runs = std::move(runs);
  f.realShare = flaggedShare(real);
  std::vector<double> shares;
  for (const flag_count& c : f.runs)
    if (const auto s = flaggedShare(c)) shares.push_back(*s);
  f.compared = static_cast<unsigned>(shares.size());
  if (shares.empty()) return f;

  double sum = 0.0;
  for (const double s : shares) sum += s;
  const double mean = sum / static_cast<double>(shares.size());
  f.mean = mean;
  if (shares.size() > 1) {
    double squares = 0.0;
    for (const double s : shares) squares += (s - mean) * (s - mean);
    f.standardDeviation = std::sqrt(squares / static_cast<double>(shares.size() - 1));
  }
  std::vector<double> sorted = shares;
  std::sort(sorted.begin(), sorted.end());
  f.p5 = percentile(sorted, 0.05);
  f.p50 = percentile(sorted, 0.5);
  f.p95 = percentile(sorted, 0.95);
  if (f.realShare) {
    f.excessShare = *f.realShare - mean;
    f.excessTuples = *f.excessShare * static_cast<double>(real.tested);
    const auto asHigh = std::count_if(shares.begin(), shares.end(), [&](double s) { return s >= *f.realShare; });
    f.pValue = static_cast<double>(1 + asHigh) / static_cast<double>(shares.size() + 1);
  }
  return f;
}

namespace {

std::string decimals(const std::optional<double>& x) {
  if (!x) return "undefined";
  char text[64];
  std::snprintf(text, sizeof text, "%.4f", *x);
  return text;
}

}  // namespace

std::string placeboLine(const placebo_figures& f) {
  const std::size_t n = f.runs.size();
  std::string excess = "undefined";
  // Rounded half away from zero, and never "-0".
  if (f.excessTuples) excess = std::to_string(std::llround(*f.excessTuples));
  return "placebo: " + std::to_string(n) + (n == 1 ? " run" : " runs") + ", flagged share " + decimals(f.mean) +
         " (mean of shuffles), 95th percentile " + decimals(f.p95) + ", real " + decimals(f.realShare) + ", excess " +
         excess + " tuples, p = " + decimals(f.pValue);
}

placebo_figures placeboBaseline(const dataset& data, const test_settings& settings, std::uint64_t seed, unsigned runs,
                                const flag_count& real) {
  const placebo_test placebo(data, settings, seed);
  std::vector<flag_count> counts;
  counts.reserve(runs);
  for (unsigned i = 0; i < runs; ++i) counts.push_back(placebo.run(i));
  return placeboFigures(real, std::move(counts));
}

}  // namespace kel
