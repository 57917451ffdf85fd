// Pairs per second of the neighbour search, per core: the per-pair reference
// distance beside the scalar, AVX2 and AVX-512 kernels, for 4, 11 and 32
// measured attributes of mixed kinds over 50,000 candidate rows.
//
//   cmake --workflow --preset bench && ./build/bench/bench/kernel_bench
#include <benchmark/benchmark.h>

#include <cfloat>
#include <cstdint>
#include <random>
#include <vector>

#include "analysis/knn/dispatch.hpp"
#include "analysis/knn/scan.hpp"
#include "util/error.hpp"

namespace {

constexpr unsigned kRows = 50000;
constexpr unsigned kQueries = 256;  // per iteration

// A census-like table: standardized continuous values with some repeats,
// small nominal alphabets with a few "?", short ordinal scales.
struct table {
  std::vector<std::vector<float>> floats;
  std::vector<std::vector<std::int32_t>> codes;
  kel::search_columns cols;
  std::vector<std::int32_t> cls;
  std::vector<unsigned> candidates, queries;

  explicit table(unsigned natt) {
    std::mt19937 rng(natt);
    std::normal_distribution<float> normal(0.0f, 1.2f);
    std::uniform_real_distribution<double> u(0, 1);
    floats.reserve(natt);
    codes.reserve(natt);
    for (unsigned j = 0; j < natt; ++j) {
      kel::measure_column m;
      switch (j % 11) {
        case 0: case 3: case 6: case 9: {  // 4 of 11 continuous
          auto& c = floats.emplace_back(kRows);
          for (auto& x : c) x = u(rng) < 0.02 ? FLT_MIN : normal(rng);
          m.kind = kel::measure_kind::continuous;
          m.values = c.data();
          break;
        }
        case 5: {  // 1 of 11 ordinal
          auto& c = codes.emplace_back(kRows);
          for (auto& x : c) x = u(rng) < 0.02 ? 5 : static_cast<std::int32_t>(rng() % 5);
          m.kind = kel::measure_kind::ordinal;
          m.codes = c.data();
          m.missingCode = 5;
          m.maxCode = 4;
          break;
        }
        default: {  // 6 of 11 nominal
          const std::int32_t values = 2 + static_cast<std::int32_t>(j % 13);
          auto& c = codes.emplace_back(kRows);
          for (auto& x : c) x = static_cast<std::int32_t>(rng() % static_cast<unsigned>(values + 1));
          m.kind = kel::measure_kind::nominal;
          m.codes = c.data();
          m.missingCode = values;
          break;
        }
      }
      cols.measures.push_back(m);
    }
    cls.resize(kRows);
    for (auto& c : cls) c = static_cast<std::int32_t>(rng() % 2);
    cols.outcome = {true, cls.data(), nullptr};
    for (unsigned r = 0; r < kRows; ++r) candidates.push_back(r);
    for (unsigned q = 0; q < kQueries; ++q) queries.push_back(q * 777 % kRows);
  }
};

const table& table_for(unsigned natt) {
  static const table t4(4), t11(11), t32(32);
  return natt == 4 ? t4 : natt == 11 ? t11 : t32;
}

// The fast search over one group of kRows candidates (the other group empty),
// k = 2, default bound. args: attributes, kernel level, threads.
void BM_search(benchmark::State& state) {
  const table& t = table_for(static_cast<unsigned>(state.range(0)));
  const auto level = static_cast<kel::kernel_level>(state.range(1));
  const auto threads = static_cast<unsigned>(state.range(2));
  try {
    kel::setKernelLevel(level);
  } catch (const orv::util::error& e) {
    state.SkipWithError(e.what());
    return;
  }
  state.SetLabel(kel::kernelLevelName(level));
  kel::scan_search f(t.cols, {}, t.candidates);
  unsigned found = 0;
  for (auto _ : state) {
    f.run(t.queries, {.k = 2, .threads = threads}, [&](const kel::result_block& b) { found += b.get(0, kel::group::unprotected).found(); });
    benchmark::DoNotOptimize(found);
  }
  kel::resetKernelLevel();
  const double pairs = double(t.queries.size()) * kRows * double(state.iterations());
  state.counters["pairs/s/core"] = benchmark::Counter(pairs / threads, benchmark::Counter::kIsRate);
}

// The per-pair reference: one distance at a time, attribute by attribute.
void BM_reference(benchmark::State& state) {
  const table& t = table_for(static_cast<unsigned>(state.range(0)));
  const unsigned queries = 2;
  for (auto _ : state) {
    float acc = 0.0f;
    for (unsigned q = 0; q < queries; ++q)
      for (unsigned c = 0; c < kRows; ++c) acc += kel::pairDistance(t.cols.measures, t.queries[q], c);
    benchmark::DoNotOptimize(acc);
  }
  state.SetLabel("reference");
  const double pairs = double(queries) * kRows * double(state.iterations());
  state.counters["pairs/s/core"] = benchmark::Counter(pairs, benchmark::Counter::kIsRate);
}

// A census-shaped run: every third row protected, each protected row searched
// in both groups, k = 2 (about 830 million pairs). arg: threads.
void BM_census(benchmark::State& state) {
  const table& t = table_for(11);
  const auto threads = static_cast<unsigned>(state.range(0));
  std::vector<unsigned> prot, unprot;
  for (unsigned r = 0; r < kRows; ++r) (r % 3 == 0 ? prot : unprot).push_back(r);
  kel::scan_search f(t.cols, prot, unprot);
  unsigned found = 0;
  for (auto _ : state) {
    f.run(prot, {.k = 2, .threads = threads}, [&](const kel::result_block& b) { found += b.get(0, kel::group::unprotected).found(); });
    benchmark::DoNotOptimize(found);
  }
  state.SetLabel(kel::kernelLevelName(kel::currentKernelLevel()));
  const double pairs = double(prot.size()) * double(kRows - 1) * double(state.iterations());
  state.counters["pairs/s/core"] = benchmark::Counter(pairs / threads, benchmark::Counter::kIsRate);
}

void levels(benchmark::internal::Benchmark* b) {
  for (int natt : {4, 11, 32})
    for (int level : {0, 1, 2}) b->Args({natt, level, 1});
}

}  // namespace

BENCHMARK(BM_reference)->Arg(4)->Arg(11)->Arg(32)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_search)->Apply(levels)->Unit(benchmark::kMillisecond);
// Two threads on the two cores: wall-clock rate per core.
BENCHMARK(BM_search)->Args({11, 2, 2})->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_census)->Arg(1)->Arg(2)->UseRealTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
