// The data file read in parts on several threads against the one-pass read:
// every column, dictionary, missing code and output text must be the same,
// and so must the first error and its message.
#include <sys/stat.h>
#include <zlib.h>

#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <span>
#include <stdexcept>
#include <thread>

#include "io/iofile.hpp"
#include "io/open_input.hpp"
#include "util/sha256.hpp"
#include "support/tables.hpp"

using kel::dataset;
using namespace testing_support;

namespace {

// A new file in the scratch folder holding text.
std::string scratch_file(const std::string& text, const std::string& suffix = "") {
  static int count = 0;
  return scratch().file("table" + std::to_string(++count) + suffix, text);
}

const char* const meta =
    "num,continuous\nword,nominal\nlevel,ordinal,lo,mid,hi\nid,ignore\n"
    "late,nominal\nearly,nominal\ndup,ordinal,a,b,a\n";

// Rows whose nominal texts keep appearing for the first time all along the
// file, with many missing values; the "late" column meets "?" only in its
// second half, the "early" one in its first row.
std::string table(std::mt19937& rng, int rows = 200, bool crlf = false, bool lastLineFeed = true,
                  char separator = ',') {
  std::uniform_int_distribution<int> pick(0, 99);
  static const char* const levels[] = {"lo", "mid", "hi"};
  static const char* const numbers[] = {"1", "-2.5", " 3e2 ", "0.125", "7.", "12abc", "", "1e-3"};
  const std::string sep(1, separator);
  std::string text;
  for (int r = 0; r < rows; ++r) {
    text += pick(rng) < 25 ? "?" : numbers[pick(rng) % 8];
    text += sep + (pick(rng) < 20 ? " ? " : 'w' + std::to_string(pick(rng) % (1 + r / 4)));
    text += sep + (pick(rng) < 15 ? std::string("?") : levels[pick(rng) % 3]);
    text += sep + std::to_string(pick(rng) * 1000 + r % 7);
    text += sep + (r > rows / 2 && pick(rng) < 30 ? "?" : 't' + std::to_string(pick(rng) % 3));
    text += sep + (r == 0 || pick(rng) < 10 ? "?" : "e");
    text += sep + (pick(rng) < 50 ? "a" : "b");
    if (r + 1 < rows || lastLineFeed) text += crlf ? "\r\n" : "\n";
  }
  return text;
}

// Everything the rest of the run can see of the columns, the floats exact.
std::string dump(dataset& d) {
  std::ostringstream s;
  for (const auto& att : *d.atts) {
    s << att->toMetadata() << ":";
    if (auto* c = dynamic_cast<kel::attcontinuous*>(att.get())) {
      s << std::hexfloat << c->getMean() << " " << c->getMad();
      for (const float v : c->valuesView()) s << " " << v;
    } else {
      auto& n = dynamic_cast<kel::attnominal&>(*att);
      s << n.getMissingCode();
      for (const std::int32_t code : n.codesView()) s << " " << code;
    }
    for (unsigned r = 0; r < att->size(); ++r) s << "," << att->getString(r);
    s << "\n";
  }
  return s.str();
}

std::string one_pass(const std::string& file, char separator) {
  auto d = with_metadata(meta);
  d->readData(*orv::inpout::open_input(file, separator));
  return dump(*d);
}

// The parallel path itself, which must not fall back to one pass.
std::optional<unsigned> read_parts(dataset& d, const std::string& file, char separator, unsigned parts) {
  orv::inpout::iofile f;
  EXPECT_TRUE(f.open(file, orv::inpout::READ | orv::inpout::SHARE, 0644));
  return d.readDataParts(f, separator, parts);
}

// A read shared by `processes` datasets, as the ranks of a job share it:
// each reads its own of `parts` ranges and packs them, then every one
// appends what all packed. Every dataset's columns, or the failure.
std::vector<std::string> read_shared(const std::string& file, char separator, unsigned parts, unsigned processes) {
  orv::inpout::iofile f;
  EXPECT_TRUE(f.open(file, orv::inpout::READ | orv::inpout::SHARE, 0644));
  std::vector<std::unique_ptr<dataset>> each;
  std::vector<std::vector<char>> packed;
  for (unsigned p = 0; p < processes; ++p) {
    each.push_back(with_metadata(meta));
    const unsigned first = parts * p / processes;
    const unsigned count = parts * (p + 1) / processes - first;
    auto bytes = each.back()->readPacked(f, separator, first, count, parts);
    if (!bytes) return {"an error of the data"};
    packed.push_back(std::move(*bytes));
  }
  const std::vector<std::span<const char>> all(packed.begin(), packed.end());
  std::vector<std::string> got;
  for (auto& d : each) {
    const unsigned rows = d->appendPacked(all, 2);
    got.push_back(std::to_string(rows) + " rows\n" + dump(*d));
  }
  return got;
}

}  // namespace

TEST(parallel_read, same_columns_as_one_pass) {
  std::mt19937 rng(11);
  for (const int rows : {1, 3, 40, 400})
    for (const bool crlf : {false, true})
      for (const bool lastLineFeed : {true, false}) {
        const char sep = rows == 40 ? ';' : ',';
        const std::string file = scratch_file(table(rng, rows, crlf, lastLineFeed, sep));
        const std::string want = one_pass(file, sep);
        for (unsigned parts = 1; parts <= 8; ++parts) {
          SCOPED_TRACE(testing::Message() << rows << " rows, crlf/last lf " << crlf << lastLineFeed << ", " << parts);
          auto d = with_metadata(meta);
          EXPECT_EQ(read_parts(*d, file, sep, parts), std::optional<unsigned>(rows));
          EXPECT_EQ(dump(*d), want);
        }
        unlink(file.c_str());
      }
}

TEST(parallel_read, first_error_is_the_one_pass_error) {
  std::mt19937 rng(5);
  const std::string good = table(rng);
  // Each fault near the end, in the last part of any split; the second case
  // has an earlier fault too, in the first part.
  const std::string faults[] = {"1,w1,lo,9,t,e,a\n1,w1,lo,9,t\n", "1,w1,lo,9,t,e\n" + good + "1,w1,lo,9,t,e,a,extra\n",
                                 "1e999,w1,lo,9,t,e,a\n", "1,w1,top,9,t,e,a\n", std::string("1,w\0,lo,9,t,e,a\n", 16)};
  for (const std::string& fault : faults) {
    const std::string file = scratch_file(good + fault + good.substr(0, good.find('\n') + 1));
    auto want = with_metadata(meta);
    const std::string message = error_of([&] { want->readData(*orv::inpout::open_input(file, ',')); });
    ASSERT_NE(message, "no error");
    for (unsigned parts = 2; parts <= 8; ++parts) {
      SCOPED_TRACE(message + ", " + std::to_string(parts) + " parts");
      const auto untouched = with_metadata(meta);
      EXPECT_EQ(read_parts(*untouched, file, ',', parts), std::nullopt);
      for (const auto& att : *untouched->atts) EXPECT_EQ(att->size(), 0u);
      // The rows before the error stay, as after the one-pass read.
      auto byName = with_metadata(meta);
      EXPECT_EQ(error_of([&] { byName->readData(file, ',', parts, 1); }), message);
      EXPECT_EQ(dump(*byName), dump(*want));
    }
    unlink(file.c_str());
  }
}

TEST(parallel_read, by_name_a_plain_file_in_parts_others_in_one_pass) {
  std::mt19937 rng(3);
  const std::string text = table(rng);
  const std::string plain = scratch_file(text), gz = scratch().path("t.gz"), fifo = scratch().path("t.fifo");
  gzFile g = gzopen(gz.c_str(), "wb");
  gzwrite(g, text.data(), static_cast<unsigned>(text.size()));
  gzclose(g);
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] { std::ofstream(fifo, std::ios::binary) << text; });
  const std::string want = one_pass(plain, ',');
  orv::util::sha256 expected;
  expected.update(text.data(), text.size());
  const std::string digest = orv::util::sha256::to_hex(expected.finish());
  for (const std::string& file : {plain, gz, fifo}) {
    // Each way of reading puts the whole content through the digest once.
    orv::util::sha256 seen;
    auto d = with_metadata(meta);
    EXPECT_EQ(d->readData(file, ',', 4, 1, &seen), 200u) << file;
    EXPECT_EQ(dump(*d), want) << file;
    EXPECT_EQ(seen.size(), text.size()) << file;
    EXPECT_EQ(orv::util::sha256::to_hex(seen.finish()), digest) << file;
  }
  writer.join();
  const std::string empty = scratch_file("");
  EXPECT_EQ(with_metadata(meta)->readData(empty, ',', 4, 1), 0u);
  EXPECT_EQ(error_of([&] { with_metadata(meta)->readData("/nonexistent/x.csv", ',', 4, 1); }),
            "File: /nonexistent/x.csv not found or inaccessible");
  for (const auto& name : {plain, gz, fifo, empty}) unlink(name.c_str());
}

// Parts read by several processes, packed, and appended by each: every
// process holds the columns of the one-pass read, whichever process read
// which part (some none).
TEST(parallel_read, parts_shared_between_processes_give_the_one_pass_columns) {
  std::mt19937 rng(17);
  for (const int rows : {1, 40, 400}) {
    const std::string file = scratch_file(table(rng, rows, rows == 40));
    const std::string want = std::to_string(rows) + " rows\n" + one_pass(file, ',');
    for (unsigned parts = 1; parts <= 6; ++parts)
      for (unsigned processes = 1; processes <= 4; ++processes) {
        SCOPED_TRACE(testing::Message() << rows << " rows, " << parts << " parts, " << processes << " processes");
        for (const std::string& got : read_shared(file, ',', parts, processes)) EXPECT_EQ(got, want);
      }
    unlink(file.c_str());
  }
}

// A part with an error of the data gives nothing to pack (the one-pass read
// then tells the error); bytes that are not packed parts of these columns
// are refused.
TEST(parallel_read, shared_parts_refuse_errors_and_foreign_bytes) {
  std::mt19937 rng(23);
  const std::string good = table(rng, 100);
  const std::string file = scratch_file(good + "1,w1,top,9,t,e,a\n" + good);
  for (unsigned processes = 1; processes <= 3; ++processes)
    EXPECT_EQ(read_shared(file, ',', 3, processes), std::vector<std::string>{"an error of the data"});
  unlink(file.c_str());

  const std::string clean = scratch_file(good);
  orv::inpout::iofile f;
  ASSERT_TRUE(f.open(clean, orv::inpout::READ | orv::inpout::SHARE, 0644));
  auto d = with_metadata(meta);
  const std::vector<char> bytes = d->readPacked(f, ',', 0, 1, 1).value();
  const auto refused = [&](const std::vector<char>& b) {
    auto other = with_metadata(meta);
    const std::span<const char> one(b);
    EXPECT_THROW(other->appendPacked({&one, 1}, 1), std::invalid_argument);
  };
  refused(std::vector<char>(bytes.begin(), bytes.end() - 1));
  std::vector<char> longer = bytes;
  longer.push_back(0);
  refused(longer);
  // The first code of the nominal column, after the part count, the row
  // count and the continuous column (its count and 100 floats), and its own
  // count: a code with no text.
  std::vector<char> astray = bytes;
  const std::int32_t far = 1000000;
  std::memcpy(astray.data() + 8 + 8 + 8 + 100 * 4 + 8, &far, sizeof far);
  refused(astray);
  // The same bytes for columns of other kinds.
  auto continuous = with_metadata("a,continuous\nb,continuous\nc,continuous\nd,continuous\ne,continuous\n"
                                  "f,continuous\ng,continuous\n");
  const std::span<const char> one(bytes);
  EXPECT_THROW(continuous->appendPacked({&one, 1}, 1), std::invalid_argument);
  unlink(clean.c_str());
}
