#include "io/stream.hpp"

#include <gtest/gtest.h>

#include "io/iobuf.hpp"
#include "io/iofile.hpp"
#include "testing.hpp"

using namespace orv::inpout;
using namespace iotest;

namespace {
lines lines_of(const std::string& text, std::size_t chunk = 1 << 30, int capacity = 16384) {
  stream s(new textconn(text, chunk), true, ',', capacity);
  return read_lines(s);
}
}  // namespace

TEST(stream, line_ends_and_bytes_read) {
  EXPECT_EQ(lines_of("a\nb\r"), (lines{"a", "b\r"}));
  EXPECT_EQ(lines_of("\r\n\n"), (lines{"", ""}));
  EXPECT_EQ(lines_of("a\r\r\n"), (lines{"a\r"}));
  EXPECT_EQ(lines_of(""), lines{});
  stream s(new textconn("a\r\nb\n"), true, ',', 16384);
  EXPECT_EQ(read_lines(s), (lines{"a", "b"}));
  EXPECT_EQ(s.bytes_read(), 5u);
  stream t(new textconn("a\nb"), true, ',', 16384);
  EXPECT_EQ(read_lines(t), (lines{"a", "b"}));
  EXPECT_EQ(t.bytes_read(), 3u);
}

// However the connection splits its data, a line ends only at a line feed or
// at the end of the input; a full buffer doubles, a last line filling it
// still gets its terminator.
TEST(stream, short_reads_and_growth) {
  const std::string text = "first,line\r\nsecond\n\nlast without end";
  for (std::size_t chunk : {1, 3, 100})
    EXPECT_EQ(lines_of(text, chunk, 4), (lines{"first,line", "second", "", "last without end"})) << chunk;
  EXPECT_EQ(lines_of("abcd", 1 << 30, 4), (lines{"abcd"}));

  const std::string big(40000, 'x');
  stream s(new textconn(big + "\nnext\n"), true, ',', 16384);
  ASSERT_TRUE(s.read_line());
  EXPECT_EQ(s.line(), big);
  EXPECT_EQ(s.capacity(), 65536);
  ASSERT_TRUE(s.read_line());
  EXPECT_STREQ(s.line(), "next");
}

TEST(stream, fields_of_each_line) {
  stream s(new textconn(std::string("a,b,\n\na,,b\n,\nc;d\nx\0y,z\n", 23)), true, ',', 16384);
  for (int want : {2, 1, 3, 1}) {
    ASSERT_TRUE(s.read_line());
    EXPECT_EQ(s.field_count(), want) << s.line();
  }
  s.tokens.next_token(',');  // only what is not consumed counts
  EXPECT_EQ(s.field_count(), 1);
  s.set_separator(';');
  ASSERT_TRUE(s.read_line());
  EXPECT_EQ(s.tokens.separator(), ';');
  EXPECT_STREQ(s.tokens.next_token(';'), "c");
  EXPECT_STREQ(s.tokens.next_token(';'), "d");
  ASSERT_TRUE(s.read_line());  // a zero byte stays inside its line
  EXPECT_EQ(s.line_length(), 5);
}

// A failing connection must not look like the end of the table.
TEST(stream, read_error_is_thrown) {
  stream s(new textconn("a\nbcdef\n", 1 << 30, 4), true, ',', 16384);
  ASSERT_TRUE(s.read_line());
  EXPECT_EQ(thrown([&] { s.read_line(); }), "ioconn::read_line(): read error: test: broken");
}

TEST(stream, owner_flag_rewind_and_eof) {
  bool deleted = false;
  { stream s(new textconn("x", 10, std::string::npos, &deleted), true, ',', 16); }
  EXPECT_TRUE(deleted);
  deleted = false;
  textconn kept("x", 10, std::string::npos, &deleted);
  { stream s(&kept, false, ',', 16); }
  EXPECT_FALSE(deleted);
  EXPECT_TRUE(kept.is_open());

  write_file(path("rewind.txt"), "a\nb\n");
  auto* f = new iofile;
  ASSERT_TRUE(f->open(path("rewind.txt"), READ, 0644));
  stream s(f, true, ',', 16384);
  ASSERT_TRUE(s.read_line());
  EXPECT_FALSE(s.eof());
  ASSERT_TRUE(s.read_line());
  EXPECT_TRUE(s.eof());
  ASSERT_TRUE(s.rewind());
  EXPECT_EQ(s.bytes_read(), 0u);
  EXPECT_EQ(s.lseek(2, LSEEK_SET), 2);
  ASSERT_TRUE(s.read_line());
  EXPECT_STREQ(s.line(), "b");
}

// ---- iobuf ----

TEST(iobuf, opening_rules) {
  iobuf b;
  EXPECT_FALSE(b.open(nullptr, true, 10));
  ASSERT_TRUE(b.open(new textconn("x"), true, 100));
  EXPECT_EQ(b.buffer_size(), 1024);
  ASSERT_TRUE(b.open(new textconn("x"), true, -1));  // taken as unsigned: huge
  EXPECT_EQ(b.buffer_size(), 2147483647);
  iofile both;
  ASSERT_TRUE(both.open(path("both.bin"), READ | WRITE | CREATE, 0644));
  EXPECT_EQ(thrown([&] { b.open(&both, false, 4096); }), "iobuf::open: IOBuffers are either READ or WRITE, not both.");
  EXPECT_FALSE(b.is_open());
}

TEST(iobuf, reads) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += static_cast<char>('a' + i % 26);
  iobuf b;
  ASSERT_TRUE(b.open(new textconn(text, 700), true, 1024));
  std::string got;
  char buf[3000];
  for (int n : {1, 10, 1500, 3, 3000}) got.append(buf, static_cast<std::size_t>(b.read(buf, n)));
  while (const int r = b.read(buf, 1000)) got.append(buf, static_cast<std::size_t>(r));
  EXPECT_EQ(got, text);

  ASSERT_TRUE(b.open(new textconn("abcdef", 1 << 30, 4), true, 1024));
  EXPECT_EQ(b.read(buf, 2), 2);
  EXPECT_EQ(b.read(buf, 10), 2);  // the loaded rest first, then the failure
  EXPECT_EQ(b.read(buf, 10), -1);
}

TEST(iobuf, writes_and_positions) {
  const std::string name = path("buffered.txt");
  auto* f = new iofile;
  ASSERT_TRUE(f->open(name, WRITE | CREATE | TRUNCATE, 0644));
  iobuf b;
  ASSERT_TRUE(b.open(f, true, 1024));
  EXPECT_EQ(b.write_line("abc"), 4);
  EXPECT_EQ(b.tell(), 4);
  EXPECT_EQ(read_file(name), "");  // still waiting in the buffer
  const std::string big(5000, 'z');
  EXPECT_EQ(b.write(big.data(), 5000), 5000);
  b.close();
  EXPECT_EQ(read_file(name), "abc\n" + big);

  auto* r = new iofile;
  ASSERT_TRUE(r->open(name, READ, 0644));
  ASSERT_TRUE(b.open(r, true, 1024));
  char c;
  b.read(&c, 1);
  b.read(&c, 1);
  EXPECT_EQ(b.tell(), 2);
  EXPECT_EQ(b.lseek(1, LSEEK_CUR), 3);  // from the logical position
  EXPECT_EQ(b.read(&c, 1), 1);
  EXPECT_EQ(c, '\n');
}
