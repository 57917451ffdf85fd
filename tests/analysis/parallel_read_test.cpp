// The data file read in parts on several threads against the one-pass read:
// every column, dictionary, missing code, output text and written metadata
// must be the same, and so must the first error and its message.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "analysis/textout.hpp"
#include "io/iofile.hpp"
#include "text_input.hpp"

using kel::dataset;
using kel::testing::error_of;
using kel::testing::text_stream;

namespace {

const char* const meta =
    "num,continuous\n"
    "word,nominal\n"
    "level,ordinal,lo,mid,hi\n"
    "id,ignore\n"
    "late,nominal\n"
    "early,nominal\n"
    "dup,ordinal,a,b,a\n";

struct options {
  int rows = 200;
  bool crlf = false;
  bool lastLineFeed = true;
  char separator = ',';
};

// A letter and a number; spelt out, since g++ 12 warns falsely about
// "w" + std::to_string(n).
std::string word(char letter, int n) {
  std::string text(1, letter);
  text += std::to_string(n);
  return text;
}

// Rows whose nominal texts keep appearing for the first time all along the
// file, with many missing values; the "late" column meets "?" only in its
// second half, the "early" one in its first row.
std::string table(std::mt19937& rng, const options& o) {
  std::uniform_int_distribution<int> pick(0, 99);
  static const char* const levels[] = {"lo", "mid", "hi"};
  static const char* const numbers[] = {"1", "-2.5", " 3e2 ", "0.125", "7.", "12abc", "", "1e-3"};
  const std::string sep(1, o.separator);
  std::string text;
  for (int r = 0; r < o.rows; ++r) {
    const bool missing = pick(rng) < 25;
    std::string line = missing ? "?" : numbers[pick(rng) % 8];
    line += sep + (pick(rng) < 20 ? " ? " : word('w', pick(rng) % (1 + r / 4)));
    line += sep + (pick(rng) < 15 ? std::string("?") : levels[pick(rng) % 3]);
    line += sep + std::to_string(pick(rng) * 1000 + r % 7);
    line += sep + (r > o.rows / 2 && pick(rng) < 30 ? "?" : word('t', pick(rng) % 3));
    line += sep + (r == 0 || pick(rng) < 10 ? "?" : "e");
    line += sep + (pick(rng) < 50 ? "a" : "b");
    text += line;
    if (r + 1 < o.rows || o.lastLineFeed) text += o.crlf ? "\r\n" : "\n";
  }
  return text;
}

// A name no file has yet.
std::string scratch_name(const std::string& suffix) {
  char name[] = "/tmp/kel-pread-XXXXXX";
  const int fd = mkstemp(name);
  if (fd < 0) std::abort();
  close(fd);
  unlink(name);
  return name + suffix;
}

std::string scratch_file(const std::string& text, const std::string& suffix = "") {
  const std::string path = scratch_name(suffix);
  std::ofstream(path, std::ios::binary) << text;
  return path;
}

std::unique_ptr<dataset> with_metadata(const std::string& metadata = meta) {
  auto d = std::make_unique<dataset>();
  d->readMetadata(*text_stream(metadata));
  return d;
}

std::string written_metadata(dataset& d) {
  const std::string name = scratch_file("");
  {
    kel::textout out(name);
    d.writeMetadata(out);
  }
  std::ifstream f(name);
  std::stringstream s;
  s << f.rdbuf();
  unlink(name.c_str());
  return s.str();
}

// Everything the rest of the run can see of the columns.
void expect_same(dataset& got, dataset& want) {
  ASSERT_EQ(got.atts->size(), want.atts->size());
  for (std::size_t a = 0; a < got.atts->size(); ++a) {
    kel::attribute& g = *(*got.atts)[a];
    kel::attribute& w = *(*want.atts)[a];
    SCOPED_TRACE(w.name);
    ASSERT_EQ(g.getType(), w.getType());
    ASSERT_EQ(g.size(), w.size());
    EXPECT_EQ(g.numValues(), w.numValues());
    EXPECT_EQ(g.toMetadata(), w.toMetadata());
    if (auto* gc = dynamic_cast<kel::attcontinuous*>(&g)) {
      auto* wc = dynamic_cast<kel::attcontinuous*>(&w);
      EXPECT_EQ(std::memcmp(gc->valuesView().data(), wc->valuesView().data(), w.size() * sizeof(float)), 0);
      EXPECT_EQ(std::bit_cast<std::uint32_t>(gc->getMean()), std::bit_cast<std::uint32_t>(wc->getMean()));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(gc->getMad()), std::bit_cast<std::uint32_t>(wc->getMad()));
    } else {
      auto* gn = dynamic_cast<kel::attnominal*>(&g);
      auto* wn = dynamic_cast<kel::attnominal*>(&w);
      EXPECT_EQ(gn->codesView(), wn->codesView());
      EXPECT_EQ(gn->getMissingCode(), wn->getMissingCode());
    }
    for (unsigned r = 0; r < w.size(); ++r) ASSERT_STREQ(g.getString(r), w.getString(r)) << "row " << r;
  }
  EXPECT_EQ(written_metadata(got), written_metadata(want));
}

std::unique_ptr<dataset> one_pass(const std::string& file, char separator, const std::string& metadata = meta) {
  auto d = with_metadata(metadata);
  d->readData(*orv::inpout::open_input(file, separator));
  return d;
}

}  // namespace

TEST(parallel_read, same_columns_as_one_pass) {
  std::mt19937 rng(11);
  for (const int rows : {1, 3, 40, 400})
    for (const bool crlf : {false, true})
      for (const bool lastLineFeed : {true, false}) {
        const options o{rows, crlf, lastLineFeed, rows == 40 ? ';' : ','};
        const std::string file = scratch_file(table(rng, o));
        const auto want = one_pass(file, o.separator);
        for (unsigned parts = 1; parts <= 8; ++parts) {
          SCOPED_TRACE(std::to_string(rows) + " rows, crlf " + std::to_string(crlf) + ", last line feed " +
                       std::to_string(lastLineFeed) + ", " + std::to_string(parts) + " parts");
          // The parallel path itself must succeed, not fall back.
          auto direct = with_metadata();
          orv::inpout::iofile f;
          ASSERT_TRUE(f.open(file, orv::inpout::READ | orv::inpout::SHARE, 0644));
          const auto count = direct->readDataParts(f, o.separator, parts);
          ASSERT_TRUE(count.has_value());
          EXPECT_EQ(*count, static_cast<unsigned>(rows));
          expect_same(*direct, *want);

          auto byName = with_metadata();
          EXPECT_EQ(byName->readData(file, o.separator, parts, 1), static_cast<unsigned>(rows));
          expect_same(*byName, *want);
        }
        unlink(file.c_str());
      }
}

TEST(parallel_read, first_error_is_the_one_pass_error) {
  std::mt19937 rng(5);
  const std::string good = table(rng, {});
  // Each fault near the end, in the last part of any split; the second case
  // has an earlier fault too, in the first part.
  const std::string faults[] = {
      "1,w1,lo,9,t,e,a\n1,w1,lo,9,t\n",
      "1,w1,lo,9,t,e\n" + good + "1,w1,lo,9,t,e,a,extra\n",
      "1e999,w1,lo,9,t,e,a\n",
      "1,w1,top,9,t,e,a\n",
      std::string("1,w\0,lo,9,t,e,a\n", 16),
  };
  for (const std::string& fault : faults) {
    const std::string file = scratch_file(good + fault + good.substr(0, good.find('\n') + 1));
    auto want = with_metadata();
    const std::string message = error_of([&] { want->readData(*orv::inpout::open_input(file, ',')); });
    ASSERT_NE(message, "no error");
    for (unsigned parts = 2; parts <= 8; ++parts) {
      SCOPED_TRACE(message + ", " + std::to_string(parts) + " parts");
      auto direct = with_metadata();
      orv::inpout::iofile f;
      ASSERT_TRUE(f.open(file, orv::inpout::READ | orv::inpout::SHARE, 0644));
      EXPECT_FALSE(direct->readDataParts(f, ',', parts).has_value());
      for (const auto& att : *direct->atts) EXPECT_EQ(att->size(), 0u);

      // The rows before the error stay, as after the one-pass read.
      auto byName = with_metadata();
      EXPECT_EQ(error_of([&] { byName->readData(file, ',', parts, 1); }), message);
      expect_same(*byName, *want);
    }
    unlink(file.c_str());
  }
}

TEST(parallel_read, other_inputs_are_read_in_one_pass) {
  std::mt19937 rng(3);
  const std::string text = table(rng, {});
  const std::string plain = scratch_file(text);
  const auto want = one_pass(plain, ',');

  const std::string gz = scratch_file("", ".gz");
  gzFile g = gzopen(gz.c_str(), "wb");
  gzwrite(g, text.data(), static_cast<unsigned>(text.size()));
  gzclose(g);
  auto fromGz = with_metadata();
  EXPECT_EQ(fromGz->readData(gz, ',', 4, 1), 200u);
  expect_same(*fromGz, *want);

  const std::string fifo = scratch_name(".fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << text; });
  auto fromFifo = with_metadata();
  EXPECT_EQ(fromFifo->readData(fifo, ',', 4, 1), 200u);
  writer.join();
  expect_same(*fromFifo, *want);

  // Small files, single threads and empty files take the one-pass read too.
  auto small = with_metadata();
  EXPECT_EQ(small->readData(plain, ',', 8), 200u);
  expect_same(*small, *want);
  auto single = with_metadata();
  EXPECT_EQ(single->readData(plain, ',', 1, 1), 200u);
  expect_same(*single, *want);
  const std::string empty = scratch_file("");
  EXPECT_EQ(with_metadata()->readData(empty, ',', 4, 1), 0u);

  EXPECT_EQ(error_of([&] { with_metadata()->readData("/nonexistent/x.csv", ',', 4, 1); }),
            "File: /nonexistent/x.csv not found or inaccessible");
  for (const auto& name : {plain, gz, fifo, empty}) unlink(name.c_str());
}
