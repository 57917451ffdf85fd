// Megabytes per second of reading a data file into the columns: a generated
// census-like table (50,000 rows, 15 columns of every kind), plain and gzip
// in one pass, and plain in parts on two threads. The columns grow in the heap
// the program itself reads into; the same with the digest a JSON summary
// takes of it, and the digest's own rate. Also texts per second of coding a
// column of distinct texts, ordinary ones and ones crafted to collide under a
// fixed multiplicative hash: the two rates should be close.
//
//   cmake --workflow --preset bench && ./build/bench/bench/read_bench
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "analysis/table/dataset.hpp"
#include "io/open_input.hpp"
#include "io/stream.hpp"
#include "util/heap.hpp"
#include "util/sha256.hpp"

namespace {

const char* const census_meta =
    "age,continuous\nworkclass,nominal\nfnlwgt,ignore\neducation,ordinal,a,b,c,d,e,f,g,h\n"
    "education-num,continuous\nmarital,nominal\noccupation,nominal\nrelationship,nominal\nrace,nominal\n"
    "sex,nominal\ncapital-gain,continuous\ncapital-loss,continuous\nhours,continuous\ncountry,nominal\n"
    "class,nominal\n";

struct files {
  std::string meta = "/tmp/kel-read-bench.meta";
  std::string plain = "/tmp/kel-read-bench.csv";
  std::string gz = "/tmp/kel-read-bench.csv.gz";
  std::size_t bytes = 0;

  files() {
    std::mt19937 rng(7);
    std::uniform_int_distribution<int> pick(0, 999);
    static const char* const jobs[] = {"Private", "Self-emp", "Federal-gov", "State-gov", "?"};
    static const char* const words[] = {"Married", "Never-married", "Divorced", "Widowed"};
    std::string text;
    for (int r = 0; r < 50000; ++r) {
      text += std::to_string(17 + pick(rng) % 70) + "," + jobs[pick(rng) % 5] + "," +
              std::to_string(10000 + pick(rng) * 397 + r) + "," + std::string(1, static_cast<char>('a' + pick(rng) % 8)) +
              "," + std::to_string(1 + pick(rng) % 16) + "," + words[pick(rng) % 4] + ",Prof-specialty-" +
              std::to_string(pick(rng) % 14) + ",Husband,White," + (pick(rng) < 330 ? "Female" : "Male") + "," +
              std::to_string(pick(rng) < 900 ? 0 : pick(rng) * 99) + ",0," + std::to_string(20 + pick(rng) % 50) +
              ".5,United-States," + (pick(rng) < 240 ? ">50K" : "<=50K") + "\n";
    }
    bytes = text.size();
    std::FILE* f = std::fopen(plain.c_str(), "wb");
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
    gzFile g = gzopen(gz.c_str(), "wb6");
    gzwrite(g, text.data(), static_cast<unsigned>(text.size()));
    gzclose(g);
    f = std::fopen(meta.c_str(), "wb");
    std::fputs(census_meta, f);
    std::fclose(f);
  }
  ~files() {
    unlink(meta.c_str());
    unlink(plain.c_str());
    unlink(gz.c_str());
  }
};

const files& table() {
  static const files f;
  return f;
}

void read_table(benchmark::State& state, bool gzip) {
  const files& f = table();
  for (auto _ : state) {
    kel::dataset d;
    d.readMetadata(*orv::inpout::open_input(f.meta, ','));
    benchmark::DoNotOptimize(d.readData(*orv::inpout::open_input(gzip ? f.gz : f.plain, ',')));
  }
  // Rates count the uncompressed text.
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(f.bytes));
}

void read_parts(benchmark::State& state, unsigned threads, bool digested = false) {
  const files& f = table();
  for (auto _ : state) {
    kel::dataset d;
    orv::util::sha256 digest;
    d.readMetadata(*orv::inpout::open_input(f.meta, ','));
    benchmark::DoNotOptimize(
        d.readData(f.plain, ',', threads, kel::dataset::defaultMinPartBytes, digested ? &digest : nullptr));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(f.bytes));
}

// 100,000 distinct texts of 9 to 14 bytes coded into one nominal column.
void code_texts(benchmark::State& state, bool crafted) {
  // The first eight bytes of every crafted text: a word that zeroes a factor
  // of the product when the multiplier words are fixed and known.
  const std::string word("\x2f\x64\xbd\x78\x64\x1d\x76\xa0", 8);
  std::vector<std::string> texts;
  for (int i = 0; i < 100000; ++i) texts.push_back((crafted ? word : std::string("ordinary")) + std::to_string(i));
  for (auto _ : state) {
    kel::attnominal column("x");
    for (const std::string& t : texts) column.addValue(t);
    benchmark::DoNotOptimize(column.numValues());
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(texts.size()));
}

void BM_read_plain(benchmark::State& state) { read_table(state, false); }
void BM_read_gzip(benchmark::State& state) { read_table(state, true); }
void BM_read_plain_2_threads(benchmark::State& state) { read_parts(state, 2); }
void BM_read_plain_2_threads_digested(benchmark::State& state) { read_parts(state, 2, true); }

void BM_sha256(benchmark::State& state) {
  const std::string block(1 << 20, 'k');
  for (auto _ : state) {
    orv::util::sha256 digest;
    digest.update(block.data(), block.size());
    benchmark::DoNotOptimize(digest.finish());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(block.size()));
}
void BM_code_ordinary_texts(benchmark::State& state) { code_texts(state, false); }
void BM_code_crafted_texts(benchmark::State& state) { code_texts(state, true); }
BENCHMARK(BM_read_plain)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_read_gzip)->Unit(benchmark::kMillisecond);
// Wall time: the second thread's work is not in this thread's CPU time.
BENCHMARK(BM_read_plain_2_threads)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_read_plain_2_threads_digested)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_sha256)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_code_ordinary_texts)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_code_crafted_texts)->Unit(benchmark::kMillisecond);

}  // namespace

int main(int argc, char** argv) {
  // The heap the program reads into: see kelcmd's main.
  orv::util::use_huge_page_heap(std::size_t{256} << 20);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
