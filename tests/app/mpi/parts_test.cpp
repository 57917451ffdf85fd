// The pieces of kelcmd-mpi that need no job: inputs served from memory (a
// failed read replayed), the results and failures as they cross ranks, and
// the shares of the queries.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <sstream>

#include "mpi/memory_input.hpp"
#include "mpi/share.hpp"
#include "mpi/wire.hpp"
#include "run.hpp"
#include "support/tables.hpp"
#include "util/error.hpp"

using namespace kelcmd::mpi;
using testing_support::error_of;
using testing_support::lines;

namespace {

lines lines_over(memory_input* conn) {
  orv::inpout::stream in(conn, true, ',', 16);
  return testing_support::read_lines(in);
}

}  // namespace

// The stream meets the same lines in memory as in the file, and a read that
// failed after some bytes fails where it did: the complete lines first, then
// the error with the original reason; the unfinished line is not a line.
TEST(memory_input, serves_the_lines_and_replays_a_failed_read) {
  const std::string text = "a,b\r\nlonger line than the buffer\n\nlast";
  EXPECT_EQ(lines_over(new memory_input(text)), (lines{"a,b", "longer line than the buffer", "", "last"}));
  EXPECT_EQ(lines_over(new memory_input(std::string_view())), lines{});

  const std::string cut = "a,b\nc,d\ne,";
  lines seen;
  const std::string message = error_of([&] {
    orv::inpout::stream in(new memory_input(cut, std::string("x.gz: unexpected end of file")), true, ',', 16);
    while (in.read_line()) seen.emplace_back(in.line());
  });
  EXPECT_EQ(seen, (lines{"a,b", "c,d"}));
  EXPECT_EQ(message, "ioconn::read_line(): read error: x.gz: unexpected end of file");
}

// Positional reads for the parallel reader, only while nothing failed.
TEST(memory_input, reads_at_any_offset_unless_a_read_failed) {
  const std::string text = "0123456789";
  memory_input whole(text);
  ASSERT_NE(whole.as_positional(), nullptr);
  char buf[8] = {};
  EXPECT_EQ(whole.length(), 10);
  EXPECT_EQ(whole.pread(buf, 4, 8), 2);
  EXPECT_EQ(std::string(buf, 2), "89");
  EXPECT_EQ(whole.pread(buf, 4, 10), 0);
  EXPECT_EQ(whole.pread(buf, 4, -1), -1);
  EXPECT_EQ(whole.read(buf, 3), 3);
  EXPECT_EQ(whole.pread(buf, 3, 0), 3);  // no shared position moves
  EXPECT_EQ(whole.tell(), 3);
  EXPECT_EQ(whole.lseek(-1, orv::inpout::LSEEK_END), 9);
  EXPECT_EQ(whole.lseek(1, orv::inpout::LSEEK_END), -1);

  memory_input failed(text, std::string("broken"));
  EXPECT_EQ(failed.as_positional(), nullptr);
  EXPECT_EQ(failed.read(buf, 8), 8);
  EXPECT_EQ(failed.read(buf, 8), 2);
  EXPECT_EQ(failed.read(buf, 8), -1);
  EXPECT_EQ(failed.error_text(), "broken");
}

// A table parsed from memory in parts is the table parsed in one pass.
TEST(memory_input, gives_the_parallel_reader_the_same_rows) {
  std::string data;
  for (int r = 0; r < 5000; ++r) data += std::to_string(r % 7) + (r % 3 ? ",a," : ",b,") + std::to_string(r) + "\n";
  const std::string meta = "x,continuous\ny,nominal\nid,ignore\n";
  auto oneByOne = testing_support::with_metadata(meta);
  auto inParts = testing_support::with_metadata(meta);
  orv::inpout::stream one(new memory_input(data), true, ',', 16384);
  orv::inpout::stream parts(new memory_input(data), true, ',', 16384);
  EXPECT_EQ(oneByOne->readData(one, 1), 5000u);
  EXPECT_EQ(inParts->readData(parts, 4, 1024), 5000u);
  for (unsigned r = 0; r < 5000; r += 499) {
    std::ostringstream a, b;
    oneByOne->writeRow(r, a, false);
    inParts->writeRow(r, b, false);
    EXPECT_EQ(a.str(), b.str()) << r;
  }
}

namespace {

// A block of three queries with lists of every length, an empty one, equal
// distances and a NaN among them.
kel::result_block sample(std::size_t first) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const std::vector<unsigned> rows{4, 9, 4000000000u};
  kel::result_block b;
  b.reset(first, rows);
  const std::vector<kel::neighbour> two{{0.25f, 7}, {0.25f, 8}}, none{}, three{{0.0f, 1}, {1e-45f, 2}, {nan, 3}};
  b.set(0, kel::group::unprotected, two, 1);
  b.set(0, kel::group::protected_, none, 0);
  b.set(1, kel::group::unprotected, three, 3);
  b.set(1, kel::group::protected_, two, 0);
  b.set(2, kel::group::unprotected, none, 0);
  b.set(2, kel::group::protected_, three, 2);
  return b;
}

std::string describe(const kel::result_block& b) {
  std::ostringstream out;
  out << "first " << b.first() << ":";
  for (std::size_t i = 0; i < b.size(); ++i) {
    out << " row " << b.row(i);
    for (const kel::group g : {kel::group::unprotected, kel::group::protected_}) {
      const kel::neighbourhood n = b.get(i, g);
      out << " [" << n.matching << "/" << n.found();
      for (const kel::neighbour& e : n.neighbours) {
        std::uint32_t bits;
        std::memcpy(&bits, &e.distance, sizeof bits);
        out << " " << e.row << "@" << std::hex << bits << std::dec;
      }
      out << "]";
    }
  }
  return out.str();
}

}  // namespace

// Blocks come out as they went in, every distance bit for bit, numbered as
// the sender said, several to a message.
TEST(wire, results_cross_unchanged) {
  results_packer packer;
  EXPECT_TRUE(packer.empty());
  packer.add(sample(0), 96);
  kel::result_block single;
  single.reset(0, std::vector<unsigned>{12});
  single.set(0, kel::group::unprotected, std::vector<kel::neighbour>{{2.5f, 3}}, 1);
  single.set(0, kel::group::protected_, std::vector<kel::neighbour>{{0.5f, 11}}, 0);
  packer.add(single, std::size_t{1} << 33);
  const std::vector<char> message = packer.take();
  EXPECT_TRUE(packer.empty());
  EXPECT_EQ(kindOf(message), message::results);

  std::vector<std::string> seen;
  kel::result_block scratch;
  unpackResults(message, scratch, [&](const kel::result_block& b) { seen.push_back(describe(b)); });
  ASSERT_EQ(seen.size(), 2u);
  kel::result_block expected = sample(96);
  EXPECT_EQ(seen[0], describe(expected));
  EXPECT_EQ(seen[1], "first 8589934592: row 12 [1/1 3@40200000] [0/1 11@3f000000]");
  // 0x00000001 is the smallest subnormal float, 0x7fc00000 the quiet NaN.
  EXPECT_NE(seen[0].find("[3/3 1@0 2@1 3@7fc00000]"), std::string::npos);

  std::vector<char> cut(message.begin(), message.end() - 3);
  EXPECT_THROW(unpackResults(cut, scratch, [](const kel::result_block&) {}), std::logic_error);
}

// The leader raises what the failing rank met, so the driver prints what a
// run in one process prints: the message, the stage's allocation failure,
// or the generic halt.
TEST(wire, failures_cross_as_the_driver_reports_them) {
  const auto printed = [](const failure& f) {
    const failure back = failure::unpack(f.pack(message::failed));
    EXPECT_EQ(kindOf(f.pack(message::failed)), message::failed);
    std::string kind;
    try {
      back.raise();
    } catch (const std::bad_alloc&) {
      kind = "memory";
    } catch (const std::runtime_error& e) {
      kind = std::string("error: ") + e.what();
    } catch (...) {
      kind = "other";
    }
    return kind;
  };
  EXPECT_EQ(printed(failure::of(std::make_exception_ptr(orv::util::error("bad row: 3")))), "error: bad row: 3");
  EXPECT_EQ(printed(failure::of(std::make_exception_ptr(std::bad_alloc()))), "memory");
  EXPECT_EQ(printed(failure::of(std::make_exception_ptr(std::out_of_range("x")))), "other");
  EXPECT_EQ(printed(failure::of(std::make_exception_ptr(42))), "other");
  EXPECT_EQ(printed(failure::of(std::make_exception_ptr(orv::util::error("")))), "error: ");
}

// The blocks tile the queries in order: the workers' first, rank by rank,
// the leader's last, of the size the leader asked; the workers' sizes
// differ by one at most; with fewer queries than ranks some are empty.
TEST(share, contiguous_blocks_in_query_order_leader_last) {
  for (unsigned ranks = 1; ranks <= 7; ++ranks)
    for (std::size_t queries : {0, 1, 2, 3, 6, 7, 100, 101, 1000003})
      for (std::size_t leader : {std::size_t{0}, queries / ranks / 2, queries / ranks}) {
        if (ranks == 1) leader = queries;
        std::size_t at = 0, smallest = queries, largest = 0;
        for (unsigned i = 1; i <= ranks; ++i) {
          const query_block b = blockOf(queries, ranks, i % ranks, leader);
          EXPECT_EQ(b.begin, at) << ranks << " " << queries << " " << i;
          at = b.end;
          if (i < ranks) {
            smallest = std::min(smallest, b.size());
            largest = std::max(largest, b.size());
          }
        }
        EXPECT_EQ(at, queries);
        if (ranks > 1) {
          EXPECT_LE(largest - smallest, 1u) << ranks << " " << queries;
        }
        EXPECT_EQ(blockOf(queries, ranks, 0, leader).size(), leader);
      }
  EXPECT_EQ(blockOf(7, 3, 1, 1).size(), 3u);
  EXPECT_EQ(blockOf(7, 3, 2, 1).begin, 3u);
  EXPECT_EQ(blockOf(7, 3, 0, 1).begin, 6u);
}

// The leader's share makes its own search and its hand-over of the
// workers' results end with the workers' searches. With 2 ranks and a query
// worth 21 hand-overs, L * 21 + (10000 - L) = (10000 - L) * 21 gives
// 41 L = 200,000, L = 4878: 102,438 + 5,122 = 107,560 hand-overs of work
// against 5,122 * 21 = 107,562 for the worker.
TEST(share, the_leader_takes_less_for_the_hand_over) {
  EXPECT_EQ(leaderShare(10000, 2, 21 * handOverSeconds), 4878u);
  // 4 ranks: L * 21 + (10000 - L) = (10000 - L) / 3 * 21 gives 27 L =
  // 60,000, L = 2222; 46,662 + 7,778 = 54,440 against 2,592.7 * 21 = 54,446.
  EXPECT_EQ(leaderShare(10000, 4, 21 * handOverSeconds), 2222u);
  // Unknown cost: equal shares, the remainder to the workers.
  EXPECT_EQ(leaderShare(10001, 4, 0), 2500u);
  // Cheap queries: handing over the workers' results outweighs a share.
  EXPECT_EQ(leaderShare(10000, 4, 2 * handOverSeconds), 0u);
  // One rank searches everything.
  EXPECT_EQ(leaderShare(10000, 1, 2 * handOverSeconds), 10000u);
  EXPECT_EQ(leaderShare(0, 3, 20 * handOverSeconds), 0u);
}
