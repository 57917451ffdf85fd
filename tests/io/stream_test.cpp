#include "io/stream.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "io/iobuf.hpp"
#include "io/iofile.hpp"
#include "testing.hpp"
#include "util/error.hpp"

using namespace orv::inpout;
using iotest::textconn;

namespace {

std::vector<std::string> lines_of(const std::string& text, int chunk = 1 << 30, int capacity = 16384) {
  stream s(new textconn(text, chunk), true, ',', capacity);
  std::vector<std::string> out;
  while (s.read_line()) out.emplace_back(s.line());
  return out;
}

using lines = std::vector<std::string>;

}  // namespace

TEST(stream, line_ends) {
  EXPECT_EQ(lines_of("a\r\nb\n"), (lines{"a", "b"}));
  EXPECT_EQ(lines_of("a\nb"), (lines{"a", "b"}));
  EXPECT_EQ(lines_of("a\nb\r"), (lines{"a", "b\r"}));
  EXPECT_EQ(lines_of("\r\n"), (lines{""}));
  EXPECT_EQ(lines_of("\n\n"), (lines{"", ""}));
  EXPECT_EQ(lines_of("a\r\r\n"), (lines{"a\r"}));
  EXPECT_EQ(lines_of(""), lines{});
}

TEST(stream, bytes_read_counts_line_ends) {
  stream s(new textconn("a\r\nb\n"), true, ',', 16384);
  while (s.read_line()) {
  }
  EXPECT_EQ(s.bytes_read(), 5u);
  stream t(new textconn("a\nb"), true, ',', 16384);
  while (t.read_line()) {
  }
  EXPECT_EQ(t.bytes_read(), 3u);
}

// However the connection splits its data, a line ends only at a line feed or
// at the end of the input.
TEST(stream, short_reads_never_split_a_line) {
  const std::string text = "first,line\r\nsecond\n\nlast without end";
  const lines want{"first,line", "second", "", "last without end"};
  for (int chunk : {1, 2, 3, 7, 100}) EXPECT_EQ(lines_of(text, chunk, 4), want) << chunk;
}

TEST(stream, long_line_doubles_the_buffer) {
  const std::string big(40000, 'x');
  stream s(new textconn(big + "\nnext\n" + big), true, ',', 16384);
  ASSERT_TRUE(s.read_line());
  EXPECT_EQ(std::string(s.line()), big);
  EXPECT_EQ(s.capacity(), 65536);
  ASSERT_TRUE(s.read_line());
  EXPECT_STREQ(s.line(), "next");
  ASSERT_TRUE(s.read_line());
  EXPECT_EQ(s.line_length(), 40000);
  EXPECT_FALSE(s.read_line());
  EXPECT_EQ(s.capacity(), 65536);
}

// The last line exactly fills the buffer: its terminator still needs a byte.
TEST(stream, unterminated_line_filling_the_buffer) {
  EXPECT_EQ(lines_of("abcd", 1 << 30, 4), (lines{"abcd"}));
  EXPECT_EQ(lines_of("ab\ncdef", 2, 4), (lines{"ab", "cdef"}));
}

TEST(stream, field_count) {
  stream s(new textconn("a,b,\n\na,,b\n,\na,b,c\n"), true, ',', 16384);
  const int want[] = {2, 1, 3, 1, 3};
  for (int w : want) {
    ASSERT_TRUE(s.read_line());
    EXPECT_EQ(s.field_count(), w) << s.line();
  }
  // Only what the tokenizer has not consumed yet counts.
  s.tokens.next_token(',');
  EXPECT_EQ(s.field_count(), 2);
}

TEST(stream, tokenizer_follows_each_line_and_separator) {
  stream s(new textconn("a,b\nc;d\n"), true, ',', 16384);
  ASSERT_TRUE(s.read_line());
  EXPECT_STREQ(s.tokens.next_token(','), "a");
  EXPECT_STREQ(s.tokens.next_token(','), "b");
  s.set_separator(';');
  ASSERT_TRUE(s.read_line());
  EXPECT_EQ(s.tokens.separator(), ';');
  EXPECT_STREQ(s.tokens.next_token(';'), "c");
  EXPECT_STREQ(s.tokens.next_token(';'), "d");
}

TEST(stream, zero_bytes_stay_inside_the_line) {
  stream s(new textconn(std::string("a\0b\nc\n", 6)), true, ',', 16384);
  ASSERT_TRUE(s.read_line());
  EXPECT_EQ(s.line_length(), 3);
  EXPECT_EQ(std::string(s.line(), 3), std::string("a\0b", 3));
  ASSERT_TRUE(s.read_line());
  EXPECT_STREQ(s.line(), "c");
}

// A failing connection must not look like the end of the table.
TEST(stream, read_error_is_thrown_not_an_end) {
  stream s(new textconn("a\nbcdef\n", 1 << 30, 4), true, ',', 16384);
  ASSERT_TRUE(s.read_line());
  EXPECT_STREQ(s.line(), "a");
  try {
    s.read_line();
    FAIL() << "no error";
  } catch (const orv::util::error& e) {
    EXPECT_STREQ(e.what(), "ioconn::read_line(): read error: test: broken");
  }
}

TEST(stream, owner_flag) {
  bool deleted = false;
  { stream s(new textconn("x", 10, -1, &deleted), true, ',', 16); }
  EXPECT_TRUE(deleted);
  deleted = false;
  textconn kept("x", 10, -1, &deleted);
  { stream s(&kept, false, ',', 16); }
  EXPECT_FALSE(deleted);
  EXPECT_TRUE(kept.is_open());
}

TEST(stream, rewind_and_eof_over_a_file) {
  const std::string name = iotest::path("rewind.txt");
  iotest::write_file(name, "a\nb\n");
  auto* f = new iofile;
  ASSERT_TRUE(f->open(name, READ | SEQUENTIAL, 0644));
  stream s(f, true, ',', 16384);
  EXPECT_FALSE(s.eof());
  ASSERT_TRUE(s.read_line());
  EXPECT_FALSE(s.eof());
  ASSERT_TRUE(s.read_line());
  EXPECT_TRUE(s.eof());
  EXPECT_FALSE(s.read_line());
  ASSERT_TRUE(s.rewind());
  EXPECT_EQ(s.bytes_read(), 0u);
  ASSERT_TRUE(s.read_line());
  EXPECT_STREQ(s.line(), "a");
  EXPECT_EQ(s.lseek(2, LSEEK_SET), 2);
  ASSERT_TRUE(s.read_line());
  EXPECT_STREQ(s.line(), "b");
}

// ---- iobuf ----

TEST(iobuf, buffer_size_bounds) {
  iobuf b;
  ASSERT_TRUE(b.open(new textconn("x"), true, 100));
  EXPECT_EQ(b.buffer_size(), 1024);
  ASSERT_TRUE(b.open(new textconn("x"), true, -1));  // taken as unsigned: huge
  EXPECT_EQ(b.buffer_size(), 2147483647);
  b.close();
  EXPECT_FALSE(b.open(nullptr, true, 10));
}

TEST(iobuf, refuses_a_connection_used_both_ways) {
  const std::string name = iotest::path("both.bin");
  iofile f;
  ASSERT_TRUE(f.open(name, READ | WRITE | CREATE, 0644));
  iobuf b;
  try {
    b.open(&f, false, 4096);
    FAIL() << "accepted";
  } catch (const orv::util::error& e) {
    EXPECT_STREQ(e.what(), "iobuf::open: IOBuffers are either READ or WRITE, not both.");
  }
  EXPECT_FALSE(b.is_open());
}

TEST(iobuf, reads_in_pieces_and_straight_through) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += static_cast<char>('a' + i % 26);
  iobuf b;
  ASSERT_TRUE(b.open(new textconn(text, 700), true, 1024));
  std::string got;
  char buf[3000];
  for (int n : {1, 10, 1500, 3, 3000, 1000}) {
    const int r = b.read(buf, n);
    ASSERT_GE(r, 0);
    got.append(buf, static_cast<std::size_t>(r));
  }
  while (int r = b.read(buf, 100)) got.append(buf, static_cast<std::size_t>(r));
  EXPECT_EQ(got, text);
}

TEST(iobuf, read_failure_is_not_a_byte_count) {
  iobuf b;
  ASSERT_TRUE(b.open(new textconn("abcdef", 1 << 30, 4), true, 1024));
  char buf[16];
  EXPECT_EQ(b.read(buf, 2), 2);
  EXPECT_EQ(b.read(buf, 10), 2);  // the loaded rest first
  EXPECT_EQ(b.read(buf, 10), -1);
}

TEST(iobuf, writes_and_tells_through_a_file) {
  const std::string name = iotest::path("buffered.txt");
  auto* f = new iofile;
  ASSERT_TRUE(f->open(name, WRITE | CREATE | TRUNCATE, 0644));
  iobuf b;
  ASSERT_TRUE(b.open(f, true, 1024));
  EXPECT_EQ(b.write_line("abc"), 4);
  EXPECT_EQ(b.tell(), 4);
  EXPECT_EQ(iotest::read_file(name), "");  // still waiting in the buffer
  const std::string big(5000, 'z');
  EXPECT_EQ(b.write(big.data(), 5000), 5000);
  b.close();
  EXPECT_EQ(iotest::read_file(name), "abc\n" + big);

  auto* r = new iofile;
  ASSERT_TRUE(r->open(name, READ, 0644));
  ASSERT_TRUE(b.open(r, true, 1024));
  char buf[8];
  EXPECT_EQ(b.read(buf, 2), 2);
  EXPECT_EQ(b.tell(), 2);
  EXPECT_EQ(b.lseek(1, LSEEK_CUR), 3);  // from the logical position
  EXPECT_EQ(b.read(buf, 1), 1);
  EXPECT_EQ(buf[0], '\n');
}
