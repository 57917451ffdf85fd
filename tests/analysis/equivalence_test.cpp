// The fast search against the per-pair reference through the whole test:
// random tables full of ties and missing values, every output mode, many k,
// tight distance bounds and several thread counts must give byte-identical
// output files, histograms and summaries.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "../timing_text.hpp"
#include "analysis/distribution.hpp"
#include "analysis/textout.hpp"
#include "text_input.hpp"

using kel::testing::load;

namespace {

struct table {
  std::string meta, data, select;
};

// Columns: group (nominal), class (nominal or continuous), then a random mix
// of nominal, ordinal and continuous columns with few distinct values, so
// that distances tie often.
table random_table(std::mt19937& rng, bool continuousClass) {
  std::uniform_int_distribution<int> pick(0, 99);
  const int rows = 20 + pick(rng) * 3;
  const int extra = 1 + pick(rng) % 6;
  table t;
  t.meta = "g,nominal\n";
  t.meta += continuousClass ? "c,continuous\n" : "c,nominal\n";
  std::vector<int> kinds;
  for (int i = 0; i < extra; ++i) {
    const int kind = pick(rng) % 3;
    kinds.push_back(kind);
    const std::string name = "a" + std::to_string(i);
    if (kind == 0) t.meta += name + ",nominal\n";
    if (kind == 1) t.meta += name + ",ordinal,lo,mid,hi,top\n";
    if (kind == 2) t.meta += name + ",continuous\n";
  }
  t.meta += "id,ignore\n";
  const int missingRate = pick(rng) % 30;
  auto maybe = [&](const std::string& v) { return pick(rng) < missingRate ? std::string("?") : v; };
  static const char* const scale[] = {"lo", "mid", "hi", "top"};
  for (int r = 0; r < rows; ++r) {
    std::string line = pick(rng) < 40 ? "p" : (pick(rng) < 95 ? "u" : "?");
    line += ",";
    line += continuousClass ? maybe(std::to_string(pick(rng) % 5)) : maybe(pick(rng) < 50 ? "good" : "bad");
    for (int kind : kinds) {
      line += ",";
      if (kind == 0) line += maybe(std::string(1, static_cast<char>('x' + pick(rng) % 3)));
      if (kind == 1) line += maybe(scale[pick(rng) % 4]);
      if (kind == 2) line += maybe(std::to_string(pick(rng) % 7) + (pick(rng) < 20 ? ".5" : ""));
    }
    line += "," + std::to_string(r) + "\n";
    t.data += line;
    // Duplicate some rows outright.
    if (pick(rng) < 10) {
      t.data += line;
      ++r;
    }
  }
  std::string measured;
  for (int i = 0; i < extra; ++i) {
    if (pick(rng) < 70 || measured.empty()) measured += (measured.empty() ? "a" : ",a") + std::to_string(i);
    if (pick(rng) < 10) measured += ",a" + std::to_string(i);  // measured twice
  }
  if (pick(rng) < 20) measured += ",c";
  const char* op = continuousClass ? (pick(rng) < 50 ? "<" : ">=") : "=";
  t.select = std::string("g=p\nc") + op + (continuousClass ? "2" : "bad") + "\n" + measured + "\nreplaced\n";
  return t;
}

std::string run(const table& t, kel::test_settings s) {
  auto d = load(t.meta, t.data, t.select);
  std::ostringstream console;
  d->splitGroups(console);
  char name[] = "/tmp/kel-eq-XXXXXX";
  close(mkstemp(name));
  char histogram[] = "/tmp/kel-eqd-XXXXXX";
  close(mkstemp(histogram));
  kel::distribution dist;
  dist.configure(-100.0, 100.0, 0.005);
  {
    kel::textout out(name);
    d->testDiscrimination(s, out, dist, console);
  }
  dist.write(histogram);
  std::ifstream f(name), h(histogram);
  std::stringstream all;
  all << f.rdbuf() << "--\n" << h.rdbuf() << "--\n";
  unlink(name);
  unlink(histogram);
  return all.str() + kel::testing::without_timings(console.str());
}

}  // namespace

TEST(equivalence, fast_search_matches_the_reference) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> pick(0, 99);
  for (int round = 0; round < 120; ++round) {
    const table t = random_table(rng, round % 3 == 0);
    kel::test_settings s;
    s.k = 1 + static_cast<unsigned>(pick(rng) % 12);
    if (round % 10 == 0) s.k = 50;
    s.maxDistance = pick(rng) < 30 ? static_cast<float>(pick(rng) % 5) * 0.25f : 3.4028235e38f;
    s.all = pick(rng) < 30;
    s.pre = pick(rng) < 20;
    s.useConfidence = pick(rng) < 25;
    s.z = 1.644853627;
    s.threshold = (pick(rng) % 5) * 0.1;

    s.reference = true;
    s.threads = 1;
    const std::string expected = run(t, s);
    s.reference = false;
    for (unsigned threads : {1u, 2u, 3u, 8u}) {
      s.threads = threads;
      ASSERT_EQ(run(t, s), expected) << "round " << round << " threads " << threads << "\n"
                                     << t.meta << "--\n" << t.select;
    }
  }
}
