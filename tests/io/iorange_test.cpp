#include "io/iorange.hpp"

#include <gtest/gtest.h>

#include "io/iofile.hpp"
#include "testing.hpp"

using namespace orv::inpout;
using namespace iotest;

namespace {

// Everything a range yields, read n bytes at a time.
std::string drain(iorange& r, int n) {
  std::string out;
  std::vector<char> buf(static_cast<std::size_t>(n));
  for (int got; (got = r.read(buf.data(), n)) > 0;) out.append(buf.data(), static_cast<std::size_t>(got));
  return out;
}

// The lines of a stream over [begin, end).
lines range_lines(const iofile& f, std::int64_t begin, std::int64_t end, int capacity = 4) {
  iorange r(f, begin, end);
  stream s(&r, false, ',', capacity);
  return read_lines(s);
}

}  // namespace

TEST(iorange, reads_exactly_its_bytes_and_keeps_the_file_position) {
  const std::string text = "ab\ncd\r\n\nef";
  const std::string name = path("range.txt");
  write_file(name, text);
  iofile f;
  ASSERT_TRUE(f.open(name, READ | SHARE, 0644));
  const auto n = static_cast<std::int64_t>(text.size());
  for (std::int64_t b = 0; b <= n; ++b)
    for (std::int64_t e = b; e <= n; ++e)
      for (int chunk : {1, 3, 64}) {
        iorange r(f, b, e);
        ASSERT_EQ(drain(r, chunk), text.substr(static_cast<std::size_t>(b), static_cast<std::size_t>(e - b)))
            << b << ".." << e << " by " << chunk;
      }
  // pread never moved the file's own position.
  EXPECT_EQ(f.tell(), 0);

  // Positions are the range's own; the range ends early on a shorter file.
  iorange r(f, 3, 7);
  EXPECT_EQ(r.size(), 4);
  EXPECT_EQ(r.lseek(1, LSEEK_SET), 1);
  EXPECT_EQ(drain(r, 8), "d\r\n");
  EXPECT_TRUE(r.eof());
  EXPECT_EQ(r.lseek(-4, LSEEK_END), 0);
  EXPECT_EQ(r.lseek(5, LSEEK_SET), -1);
  EXPECT_EQ(r.lseek(-1, LSEEK_SET), -1);
  EXPECT_TRUE(r.rewind());
  EXPECT_EQ(drain(r, 8), "cd\r\n");
  iorange past(f, 8, 100);
  EXPECT_EQ(drain(past, 8), "ef");
  past.close();
  char c;
  EXPECT_EQ(past.read(&c, 1), -1);
  EXPECT_EQ(past.mode(), 0);
}

TEST(iorange, empty_ranges_and_the_end_of_the_file) {
  const std::string name = path("ends.txt");
  write_file(name, "x\ny");
  iofile f;
  ASSERT_TRUE(f.open(name, READ | SHARE, 0644));
  EXPECT_EQ(range_lines(f, 0, 0), lines{});
  EXPECT_EQ(range_lines(f, 2, 2), lines{});
  EXPECT_EQ(range_lines(f, 3, 3), lines{});
  // The last line has no line feed: it still ends at the end of the range.
  EXPECT_EQ(range_lines(f, 2, 3), lines{"y"});
  EXPECT_EQ(range_lines(f, 0, 2), lines{"x"});
}

// Whatever the split, the ranges' lines in order are the whole file's.
TEST(iorange, line_bounds_give_the_lines_of_the_whole_file) {
  const std::string long_line(70000, 'L');  // past a 64 KiB scan block and any stream buffer
  const std::string texts[] = {"",
                               "\n",
                               "one line without end",
                               "a\nb\nc\n",
                               "a\r\nb\r\n\r\nc\r\n\rd\r",
                               "\n\n\n\n\n\n\n",
                               std::string("z\0ero\nbytes\0\n\0", 14),
                               "short\n" + long_line + "\nx\n" + long_line,
                               long_line + "\r\n"};
  int case_no = 0;
  for (const std::string& text : texts) {
    const std::string name = path("split" + std::to_string(case_no++) + ".txt");
    write_file(name, text);
    iofile f;
    ASSERT_TRUE(f.open(name, READ | SHARE, 0644));
    const lines whole = range_lines(f, 0, f.size());
    for (unsigned parts = 1; parts <= 9; ++parts) {
      const auto b = line_bounds(f, f.size(), parts);
      ASSERT_EQ(b.size(), parts + 1);
      EXPECT_EQ(b.front(), 0);
      EXPECT_EQ(b.back(), f.size());
      lines joined;
      for (unsigned i = 0; i < parts; ++i) {
        ASSERT_LE(b[i], b[i + 1]);
        // A bound is a line start: after a line feed, or the file's end.
        if (i > 0 && b[i] > 0 && b[i] < f.size()) {
          EXPECT_EQ(text[static_cast<std::size_t>(b[i] - 1)], '\n');
        }
        const lines part = range_lines(f, b[i], b[i + 1], parts % 2 ? 4 : 1 << 16);
        joined.insert(joined.end(), part.begin(), part.end());
      }
      EXPECT_EQ(joined, whole) << "case " << case_no - 1 << ", " << parts << " parts";
    }
  }
}

TEST(iorange, bounds_share_the_file_evenly) {
  std::string text;
  for (int i = 0; i < 1000; ++i) text += "0123456789\n";
  const std::string name = path("even.txt");
  write_file(name, text);
  iofile f;
  ASSERT_TRUE(f.open(name, READ | SHARE, 0644));
  const auto b = line_bounds(f, f.size(), 4);
  EXPECT_EQ(b, (std::vector<std::int64_t>{0, 2750, 5500, 8250, 11000}));
}
