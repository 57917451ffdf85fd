// The fast searches (the index, forced even on small tables, the scan, and
// the automatic choice) against the per-pair reference: random tables full
// of ties and missing values, every output mode, many k, tight distance
// bounds and several thread counts must give byte-identical files and
// summaries.
#include <gtest/gtest.h>

#include <random>

#include "support/tables.hpp"

using namespace testing_support;

namespace {

struct table { std::string meta, data, select; };

// Columns: group (nominal), class (nominal or continuous), then a random mix
// of nominal, ordinal and continuous columns with few distinct values, so
// that distances tie often.
table random_table(std::mt19937& rng, bool continuousClass) {
  std::uniform_int_distribution<int> pick(0, 99);
  const int rows = 20 + pick(rng) * 3, extra = 1 + pick(rng) % 6;
  table t{continuousClass ? "g,nominal\nc,continuous\n" : "g,nominal\nc,nominal\n", "", ""};
  static const char* const kindLines[] = {",nominal\n", ",ordinal,lo,mid,hi,top\n", ",continuous\n"};
  std::vector<int> kinds;
  for (int i = 0; i < extra; ++i) {
    kinds.push_back(pick(rng) % 3);
    t.meta += 'a' + std::to_string(i) + kindLines[kinds.back()];
  }
  t.meta += "id,ignore\n";
  const int missingRate = pick(rng) % 30;
  auto maybe = [&](const std::string& v) { return pick(rng) < missingRate ? std::string("?") : v; };
  static const char* const scale[] = {"lo", "mid", "hi", "top"};
  for (int r = 0; r < rows; ++r) {
    std::string line = pick(rng) < 40 ? "p," : (pick(rng) < 95 ? "u," : "?,");
    line += continuousClass ? maybe(std::to_string(pick(rng) % 5)) : maybe(pick(rng) < 50 ? "good" : "bad");
    for (int kind : kinds) {
      line += ",";
      if (kind == 0) line += maybe(std::string(1, static_cast<char>('x' + pick(rng) % 3)));
      if (kind == 1) line += maybe(scale[pick(rng) % 4]);
      if (kind == 2) line += maybe(std::to_string(pick(rng) % 7) + (pick(rng) < 20 ? ".5" : ""));
    }
    line += ',' + std::to_string(r) + '\n';
    t.data += line;
    if (pick(rng) < 10) t.data += line;  // some rows twice, outright
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

std::string run(const table& t, const kel::test_settings& s) {
  auto d = load(t.meta, t.data, t.select);
  const test_run r = run_test(*d, s, true);
  return r.output + "--\n" + r.histogram + "--\n" + r.console;
}

}  // namespace

TEST(equivalence, fast_search_matches_the_reference) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> pick(0, 99);
  for (int round = 0; round < 120; ++round) {
    const table t = random_table(rng, round % 3 == 0);
    // The reference search on one thread sets the expected bytes.
    kel::test_settings s{.search = {.k = round % 10 == 0 ? 50u : 1 + static_cast<unsigned>(pick(rng) % 12),
                                    .maxDistance = pick(rng) < 30 ? static_cast<float>(pick(rng) % 5) * 0.25f
                                                                  : 3.4028235e38f},
                         .threshold = (pick(rng) % 5) * 0.1,
                         .all = pick(rng) < 30, .pre = pick(rng) < 20, .useConfidence = pick(rng) < 25,
                         .z = 1.644853627, .reference = true};
    const std::string expected = run(t, s);
    s.reference = false;
    for (const kel::search_method method :
         {kel::search_method::index, kel::search_method::scan, kel::search_method::automatic}) {
      s.search.method = method;
      for (unsigned threads : {1u, 2u, 3u, 8u}) {
        s.search.threads = threads;
        ASSERT_EQ(run(t, s), expected) << "round " << round << " method " << static_cast<int>(method) << " threads "
                                       << threads << "\n" << t.meta << "--\n" << t.select;
      }
    }
  }
}
