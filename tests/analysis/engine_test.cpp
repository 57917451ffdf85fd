// Distance, the per-pair search, the discrimination test and its histogram.
#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>

#include "analysis/engine/reference_search.hpp"
#include "support/tables.hpp"

using namespace testing_support;

namespace {

// Found and matching among the candidates, by the per-pair search.
std::pair<unsigned, unsigned> knn(const kel::dataset& d, const std::vector<unsigned>& candidates, unsigned k,
                                  float max_distance, unsigned query = 0) {
  kel::reference_search search(d, {}, {});
  kel::result_block b;
  b.reset(0, {&query, 1});
  search.knn(query, candidates, {.k = k, .maxDistance = max_distance}, kel::group::unprotected, b, 0);
  const kel::neighbourhood n = b.get(0, kel::group::unprotected);
  return {n.found(), n.matching};
}

// Ordinal scale 0..10: a code difference of n is a distance of n/10.
const char* const scale_meta = "x,ordinal,0,1,2,3,4,5,6,7,8,9,10\nclass,nominal\ng,nominal\n";

}  // namespace

TEST(search, class_kinds) {
  // Continuous class: neighbours whose value is not below the query's match;
  // the query is never its own neighbour.
  auto d = load("x,nominal\nc,continuous\n", "a,0\na,1\na,2\na,3\n", "x=a\nc>0\nx\n");
  auto& c = *(*d->atts)[1];
  for (auto [row, value] : {std::pair{0u, 0.2f}, {1u, 0.2f}, {2u, -1.0f}, {3u, 3.5f}}) c.setContinuous(row, value);
  EXPECT_EQ(knn(*d, {1, 2, 3}, 3, 1.0f), std::pair(3u, 2u));
  EXPECT_EQ(knn(*d, {0, 1}, 3, 1.0f), std::pair(1u, 1u));

  auto ordinal = load("x,nominal\nc,ordinal,lo,hi\n", "a,lo\na,hi\n", "x=a\nc=lo\nx\n");
  EXPECT_EQ(error_of([&] { knn(*ordinal, {1}, 1, 1.0f); }), "getContinuous not accessible");
}

TEST(search, distance_is_the_mean_over_measured_attributes) {
  auto d = load("a,nominal\nb,continuous\nc,ordinal,lo,mid,hi\nid,ignore\n",
                "x,0,lo,1\ny,1,hi,2\nx,?,mid,3\n", "a=x\na=x\na,b,c\n");
  auto& b = *(*d->atts)[1];
  b.setContinuous(0, 0.0f);
  b.setContinuous(1, 0.5f);
  EXPECT_EQ(d->distance(0, 1), (1.0f + 0.5f + 1.0f) / 3.0f);
  EXPECT_EQ(d->distance(0, 2), (0.0f + 3.0f + 0.5f) / 3.0f);
  EXPECT_EQ(d->distance(1, 1), 0.0f);
}

// Whole runs of the test: output rows and console lines, byte for byte.
TEST(discrimination, runs) {
  // Three protected tuples of class bad; unprotected neighbours bad and good:
  // every tuple has diff 1 - 0.5 = 0.5.
  const char* const bias_meta = "g,nominal\nx,nominal\nclass,nominal\n";
  const std::string bias = "p,s,bad\np,s,bad\np,s,bad\nu,s,bad\nu,s,good\n";
  const char* const bias_select = "g=p\nclass=bad\nx\ngood\n";
  const std::string missing_class = "p,s,bad\np,s,?\np,s,good\nu,s,bad\nu,s,good\n";
  auto counts = [](int p, int u, const std::string& tail) {
    return "no. protected " + std::to_string(p) + "\nno. unprotected " + std::to_string(u) + "\noutput: " + tail +
           " discriminated.\n";
  };
  std::string many, many_yes;  // 250 protected tuples, all discriminated
  for (int i = 0; i < 250; ++i) many += "p,s,bad\n", many_yes += "p,s,bad,1,yes\n";
  const float inf = FLT_MAX;
  const struct {
    const char* what;
    const char* meta;
    std::string data;
    const char* select;
    kel::test_settings settings;
    std::string output, console;
  } cases[] = {  // an empty console: not checked
      {"at the threshold", bias_meta, bias, bias_select, {.search = {.maxDistance = inf}, .threshold = 0.5},
       "p,s,bad,0.5,yes\np,s,bad,0.5,yes\np,s,bad,0.5,yes\n", counts(3, 2, "3 acond cases, 3 class value, 3")},
      {"above the threshold", bias_meta, bias, bias_select, {.search = {.maxDistance = inf}, .threshold = 0.5000001},
       "p,s,bad,0.5,no\np,s,bad,0.5,no\np,s,bad,0.5,no\n", counts(3, 2, "3 acond cases, 3 class value, 0")},
      // The confidence interval moves the diff toward zero without crossing it.
      {"confidence", bias_meta, bias, bias_select, {.search = {.maxDistance = inf}, .useConfidence = true, .z = 1.644853627},
       "p,s,bad,0,no\np,s,bad,0,no\np,s,bad,0,no\n", counts(3, 2, "3 acond cases, 3 class value, 0")},
      // Every row once, protected first: rows 1 and 2 have diff 0, row 4 fails
      // the class condition, row 5 (diff 0.5) gets the replacement; -all has
      // no effect.
      {"prevention", bias_meta, "u,s,good\np,s,bad\np,s,bad\nu,s,bad\np,s,good\np,s,bad\n", bias_select,
       {.search = {.maxDistance = inf}, .all = true, .pre = true}, "p,s,bad\np,s,bad\np,s,good\np,s,good\nu,s,good\nu,s,bad\n",
       counts(4, 2, "4 acond cases, 3 class value, 1")},
      // A missing class value counts as satisfied; with -all, row 2 fails the
      // class condition but is tested, written with ",no" and not counted.
      {"all rows", bias_meta, missing_class, "g=p\nclass=bad\nx\n", {.search = {.maxDistance = inf}, .all = true},
       "p,s,bad,-0.5,no\np,s,?,0,no\np,s,good,-0.5,no\n", counts(3, 2, "3 acond cases, 2 class value, 0")},
      {"missing class", bias_meta, missing_class, "g=p\nclass=bad\nx\n", {.search = {.maxDistance = inf}},
       "p,s,bad,-0.5,no\np,s,?,0,no\n", counts(3, 2, "3 acond cases, 2 class value, 0")},
      {"continuous class with less", "g,nominal\nc,continuous\n", "p,1\np,1\nu,1\nu,1\n", "g=p\nc<5\ng\n",
       {.search = {.maxDistance = inf}}, "p,1,-0,no\np,1,-0,no\n", counts(2, 2, "2 acond cases, 2 class value, 0")},
      // Empty neighbourhoods skip the tuple, except in prevention.
      {"empty neighbourhoods", scale_meta, "0,bad,p\n0,bad,p\n10,bad,u\n", "g=p\nclass=bad\nx\n",
       {.search = {.maxDistance = 0.5f}}, "", ""},
      {"empty, prevention", scale_meta, "0,bad,p\n0,bad,p\n10,bad,u\n", "g=p\nclass=bad\nx\n",
       {.search = {.maxDistance = 0.5f}, .pre = true}, "0,bad,p\n0,bad,p\n10,bad,u\n", ""},
      {"nobody protected", bias_meta, "u,s,bad\nu,s,good\n", "g<>u\nclass=bad\nx\n", {.search = {.maxDistance = inf}}, "",
       counts(0, 2, "0 acond cases, 0 class value, 0")},
      {"progress every hundred tuples", bias_meta, many + "u,s,good\n", bias_select, {.search = {.maxDistance = inf}}, many_yes,
       "no. protected 250\nno. unprotected 1\nn = 100 time per 100 = T\rn = 200 time per 100 = T\r"
       "output: 250 acond cases, 250 class value, 250 discriminated.\n"},
      // The per-pair search fails on an ordinal class at its first query; the
      // tuples before it are written first, as a one-by-one search meets them.
      {"failing search, prevention", "g,nominal\nc,ordinal,lo,hi\n", "p,hi\np,hi\np,lo\nu,lo\n", "g=p\nc=lo\ng\n",
       {.search = {.maxDistance = inf}, .pre = true}, "p,hi\np,hi\n",
       "no. protected 3\nno. unprotected 1\ngetContinuous not accessible"},
  };
  for (const auto& c : cases) {
    auto d = load(c.meta, c.data, c.select);
    std::ostringstream console;
    d->splitGroups(console);
    kel::distribution none;
    const std::string output = written([&](const std::string& name) {
      orv::inpout::textout out(name);
      const std::string error = error_of([&] { kel::testDiscrimination(*d, c.settings, out, none, console); });
      if (error != "no error") console << error;
    });
    EXPECT_EQ(output, c.output) << c.what;
    EXPECT_EQ(c.console.empty() ? c.console : without_timings(console.str()), c.console) << c.what;
  }
}

// Bins listed from the highest down with counts, shares and running totals;
// NaN and +inf ignored, values beyond the range in the last bin, values
// below it an error; nothing counted while switched off.
TEST(distribution, bins_from_the_highest_down) {
  const struct {
    std::vector<double> values;
    std::string file;
  } cases[] = {
      {{}, ""},
      {{0.5, 0.5, 0.0, -0.25, std::nan(""), HUGE_VAL},
       "0.5\t2\t0.5\t0.5\t2\n0\t1\t0.25\t0.75\t3\n-0.25\t1\t0.25\t1\t4\n"},
      {{0.1, 1.0 / 3.0, 1e300},
       "100\t1\t0.333333\t0.333333\t1\n0.33\t1\t0.333333\t0.666667\t2\n0.1\t1\t0.333333\t1\t3\n"},
  };
  for (const auto& c : cases) {
    kel::distribution dist;
    dist.add(0.5);  // off: not counted
    dist.configure(-100.0, 100.0, 0.005);
    for (double x : c.values) dist.add(x);
    EXPECT_EQ(written([&](const std::string& name) { dist.write(name); }), c.file);
    EXPECT_EQ(error_of([&] { dist.add(-100.5); }), "out of limit");
  }
  kel::distribution off;
  off.write("/nonexistent-folder/never-created");  // no file, no error
}
