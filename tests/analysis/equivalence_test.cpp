// The fast searches (the index, forced even on small tables, the scan, and
// the automatic choice) against the per-pair reference: random tables full
// of ties and missing values, every output mode, many k, tight distance
// bounds and several thread counts must give byte-identical files and
// summaries.
#include <gtest/gtest.h>

#include <random>

#include "support/random_table.hpp"
#include "support/tables.hpp"

using namespace testing_support;

namespace {

std::string run(const random_inputs& t, const kel::test_settings& s) {
  auto d = load(t.meta, t.data, t.select);
  const test_run r = run_test(*d, s, true);
  return r.output + "--\n" + r.histogram + "--\n" + r.console;
}

}  // namespace

TEST(equivalence, fast_search_matches_the_reference) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> pick(0, 99);
  for (int round = 0; round < 120; ++round) {
    const random_inputs t = random_table(rng, 20 + pick(rng) * 3, round % 3 == 0, true);
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
