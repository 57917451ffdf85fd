// Distance, neighbour search, the discrimination test and its histogram.
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "analysis/distribution.hpp"
#include "analysis/textout.hpp"
#include "text_input.hpp"

using kel::dataset;
using kel::neighbours;
using kel::testing::error_of;
using kel::testing::load;

namespace {

class scratch_file {
 public:
  scratch_file() {
    char name[] = "/tmp/kel-out-XXXXXX";
    close(mkstemp(name));
    name_ = name;
  }
  ~scratch_file() { unlink(name_.c_str()); }
  const std::string& name() const { return name_; }
  std::string text() const {
    std::ifstream f(name_);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
  }

 private:
  std::string name_;
};

struct run_result {
  std::string output;
  std::string console;
};

run_result test(dataset& d, kel::test_settings settings, kel::distribution* dist = nullptr) {
  std::ostringstream console;
  d.splitGroups(console);
  scratch_file file;
  kel::distribution none;
  {
    kel::textout out(file.name());
    d.testDiscrimination(settings, out, dist ? *dist : none, console);
  }
  return {file.text(), console.str()};
}

kel::test_settings defaults() {
  kel::test_settings s;
  s.maxDistance = 3.4028235e38f;
  return s;
}

std::unique_ptr<orv::adt::bitmap> rows_of(std::initializer_list<unsigned> rows, unsigned size) {
  auto b = std::make_unique<orv::adt::bitmap>();
  b->resize(size);
  b->clear();
  for (unsigned r : rows) b->set(r);
  return b;
}

// Ordinal scale 0..10: a code difference of n is a distance of n/10.
const char* const scale_meta = "x,ordinal,0,1,2,3,4,5,6,7,8,9,10\nclass,nominal\ng,nominal\n";

}  // namespace

TEST(search, ties_go_to_the_smaller_row) {
  auto d = load(scale_meta, "0,bad,p\n5,bad,p\n3,good,p\n9,bad,p\n9,bad,p\n3,bad,p\n9,bad,p\n1,bad,p\n",
                "g=p\nclass=bad\nx\n");
  EXPECT_FLOAT_EQ(d->distance(0, 2), 0.3f);
  const auto candidates = rows_of({1, 2, 5, 7}, 8);
  orv::adt::bitmap::Iterator it(*candidates);
  neighbours n = d->knn(2, 1.0f, 0, it);
  EXPECT_EQ(n.found, 2u);
  EXPECT_EQ(n.matching, 1u);  // rows 7 (bad) and 2 (good), not 5 (bad)

  it.reset();
  n = d->knn(3, 0.3f, 0, it);  // exactly at the bound is taken
  EXPECT_EQ(n.found, 3u);
  EXPECT_EQ(n.matching, 2u);

  it.reset();
  n = d->knn(3, 0.29f, 0, it);
  EXPECT_EQ(n.found, 1u);

  it.reset();
  EXPECT_EQ(d->knn(3, 0.0f, 0, it).found, 0u);

  // The query is never its own neighbour; an empty set finds nothing.
  const auto only_query = rows_of({0}, 8);
  orv::adt::bitmap::Iterator self(*only_query);
  n = d->knn(5, 1.0f, 0, self);
  EXPECT_EQ(n.found, 0u);
  EXPECT_EQ(n.matching, 0u);
}

TEST(search, continuous_class_counts_values_not_below_the_query) {
  auto d = load("x,nominal\nc,continuous\n", "a,0\na,1\na,2\na,3\n", "x=a\nc>0\nx\n");
  auto& c = *(*d->atts)[1];
  c.setContinuous(0, 0.2f);
  c.setContinuous(1, 0.2f);
  c.setContinuous(2, -1.0f);
  c.setContinuous(3, 3.5f);
  const auto candidates = rows_of({1, 2, 3}, 4);
  orv::adt::bitmap::Iterator it(*candidates);
  const neighbours n = d->knn(3, 1.0f, 0, it);
  EXPECT_EQ(n.found, 3u);
  EXPECT_EQ(n.matching, 2u);
}

TEST(search, ordinal_class_fails_at_the_first_search) {
  auto d = load("x,nominal\nc,ordinal,lo,hi\n", "a,lo\na,hi\n", "x=a\nc=lo\nx\n");
  const auto candidates = rows_of({1}, 2);
  orv::adt::bitmap::Iterator it(*candidates);
  EXPECT_EQ(error_of([&] { d->knn(1, 1.0f, 0, it); }), "getContinuous not accessible");
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

  auto ignored = load("a,nominal\nid,ignore\n", "x,1\ny,2\n", "a=x\na=x\na,id\n");
  EXPECT_EQ(error_of([&] { ignored->distance(0, 1); }), "attribute type ignore");
}

namespace {
// Three protected tuples of class bad; unprotected neighbours bad and good:
// every tuple has diff 1 - 0.5 = 0.5.
const char* const bias_meta = "g,nominal\nx,nominal\nclass,nominal\n";
const char* const bias_data = "p,s,bad\np,s,bad\np,s,bad\nu,s,bad\nu,s,good\n";
const char* const bias_select = "g=p\nclass=bad\nx\ngood\n";
}  // namespace

TEST(discrimination, flags_a_difference_at_the_threshold) {
  auto d = load(bias_meta, bias_data, bias_select);
  const run_result r = test(*d, defaults());
  EXPECT_EQ(r.output, "p,s,bad,0.5,yes\np,s,bad,0.5,yes\np,s,bad,0.5,yes\n");
  EXPECT_EQ(r.console,
            "no. protected 3\nno. unprotected 2\noutput: 3 acond cases, 3 class value, 3 discriminated.\n");

  auto exact = load(bias_meta, bias_data, bias_select);
  kel::test_settings half = defaults();
  half.threshold = 0.5;
  EXPECT_EQ(test(*exact, half).output, "p,s,bad,0.5,yes\np,s,bad,0.5,yes\np,s,bad,0.5,yes\n");

  auto above = load(bias_meta, bias_data, bias_select);
  half.threshold = 0.5000001;
  EXPECT_EQ(test(*above, half).output, "p,s,bad,0.5,no\np,s,bad,0.5,no\np,s,bad,0.5,no\n");
}

TEST(discrimination, confidence_moves_toward_zero_without_crossing) {
  auto d = load(bias_meta, bias_data, bias_select);
  kel::test_settings s = defaults();
  s.useConfidence = true;
  s.z = 1.644853627;
  const run_result r = test(*d, s);
  EXPECT_EQ(r.output, "p,s,bad,0,no\np,s,bad,0,no\np,s,bad,0,no\n");
  EXPECT_EQ(r.console.substr(r.console.find("output")), "output: 3 acond cases, 3 class value, 0 discriminated.\n");
}

TEST(discrimination, prevention_writes_every_row_once) {
  auto d = load(bias_meta, "u,s,good\np,s,bad\np,s,bad\nu,s,bad\np,s,good\np,s,bad\n", bias_select);
  kel::test_settings s = defaults();
  s.pre = true;
  s.all = true;  // no effect with prevention
  const run_result r = test(*d, s);
  // Protected rows first: rows 1 and 2 have diff 0, row 4 fails the class
  // condition, row 5 (diff 0.5) gets the replacement; then the others.
  EXPECT_EQ(r.output, "p,s,bad\np,s,bad\np,s,good\np,s,good\nu,s,good\nu,s,bad\n");
  EXPECT_NE(r.console.find("output: 4 acond cases, 3 class value, 1 discriminated."), std::string::npos);
}

TEST(discrimination, all_rows_and_missing_class_values) {
  auto d = load(bias_meta, "p,s,bad\np,s,?\np,s,good\nu,s,bad\nu,s,good\n", "g=p\nclass=bad\nx\n");
  kel::test_settings s = defaults();
  s.all = true;
  const run_result r = test(*d, s);
  // A missing class value counts as satisfied; row 2 fails the class
  // condition but is tested, written with ",no" and not counted.
  EXPECT_EQ(r.output, "p,s,bad,-0.5,no\np,s,?,0,no\np,s,good,-0.5,no\n");
  EXPECT_NE(r.console.find("output: 3 acond cases, 2 class value, 0 discriminated."), std::string::npos);

  auto plain = load(bias_meta, "p,s,bad\np,s,?\np,s,good\nu,s,bad\nu,s,good\n", "g=p\nclass=bad\nx\n");
  EXPECT_EQ(test(*plain, defaults()).output, "p,s,bad,-0.5,no\np,s,?,0,no\n");
}

TEST(discrimination, negated_zero_for_a_continuous_class_with_less) {
  auto d = load("g,nominal\nc,continuous\n", "p,1\np,1\nu,1\nu,1\n", "g=p\nc<5\ng\n");
  EXPECT_EQ(test(*d, defaults()).output, "p,1,-0,no\np,1,-0,no\n");
}

TEST(discrimination, empty_neighbourhoods_skip_the_tuple) {
  auto d = load(scale_meta, "0,bad,p\n0,bad,p\n10,bad,u\n", "g=p\nclass=bad\nx\n");
  kel::test_settings s = defaults();
  s.maxDistance = 0.5f;
  EXPECT_EQ(test(*d, s).output, "");
  auto pre = load(scale_meta, "0,bad,p\n0,bad,p\n10,bad,u\n", "g=p\nclass=bad\nx\n");
  s.pre = true;
  EXPECT_EQ(test(*pre, s).output, "0,bad,p\n0,bad,p\n10,bad,u\n");

  auto nobody = load(bias_meta, "u,s,bad\nu,s,good\n", "g<>u\nclass=bad\nx\n");
  const run_result r = test(*nobody, defaults());
  EXPECT_EQ(r.output, "");
  EXPECT_NE(r.console.find("output: 0 acond cases, 0 class value, 0 discriminated.\n"), std::string::npos);
}

TEST(discrimination, progress_every_hundred_tuples) {
  std::string data;
  for (int i = 0; i < 250; ++i) data += "p,s,bad\n";
  data += "u,s,good\n";
  auto d = load(bias_meta, data, bias_select);
  const run_result r = test(*d, defaults());
  EXPECT_NE(r.console.find("n = 100 time per 100 = "), std::string::npos);
  EXPECT_NE(r.console.find("n = 200 time per 100 = "), std::string::npos);
  EXPECT_EQ(r.console.find("n = 300"), std::string::npos);
  EXPECT_NE(r.console.find("\routput: 250 acond cases, 250 class value, 250 discriminated.\n"), std::string::npos);
}

TEST(distribution, lists_bins_from_the_highest_down) {
  kel::distribution dist;
  dist.add(0.5);  // off: nothing counted
  dist.configure(-100.0, 100.0, 0.005);
  EXPECT_EQ(dist.bins().size(), 40001u);
  for (double x : {0.5, 0.5, 0.0, -0.25}) dist.add(x);
  dist.add(std::nan(""));
  dist.add(HUGE_VAL);
  scratch_file file;
  dist.write(file.name());
  EXPECT_EQ(file.text(), "0.5\t2\t0.5\t0.5\t2\n0\t1\t0.25\t0.75\t3\n-0.25\t1\t0.25\t1\t4\n");
  EXPECT_EQ(error_of([&] { dist.add(-100.5); }), "out of limit");
}

TEST(distribution, bin_edges_and_the_last_bin) {
  kel::distribution dist;
  dist.configure(-100.0, 100.0, 0.005);
  dist.add(0.1);
  dist.add(1.0 / 3.0);
  dist.add(1e300);
  EXPECT_EQ(dist.bins()[20020], 1u);
  EXPECT_EQ(dist.bins()[20066], 1u);
  EXPECT_EQ(dist.bins()[40000], 1u);
  scratch_file file;
  dist.write(file.name());
  EXPECT_EQ(file.text(),
            "100\t1\t0.333333\t0.333333\t1\n0.33\t1\t0.333333\t0.666667\t2\n0.1\t1\t0.333333\t1\t3\n");
}

TEST(distribution, empty_or_switched_off) {
  scratch_file file;
  kel::distribution on;
  on.configure(-100.0, 100.0, 0.005);
  on.write(file.name());
  EXPECT_EQ(file.text(), "");
  kel::distribution off;
  off.write("/nonexistent-folder/never-created");  // no file, no error
}

TEST(textout, unwritable_outputs_are_errors) {
  EXPECT_EQ(error_of([] { kel::textout out("/nonexistent-folder/out.csv"); }),
            "cannot create output file /nonexistent-folder/out.csv: No such file or directory");
  EXPECT_EQ(error_of([] {
              kel::textout out("/dev/full");
              out.stream() << "row";
              out.end_line();
            }),
            "cannot write output file /dev/full: No space left on device");
}
