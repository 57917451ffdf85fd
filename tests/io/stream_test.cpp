// The line stream, file ranges, the buffered, memory and mapped connections, and integer codings.
#include "io/stream.hpp"

#include <gtest/gtest.h>

#include <random>
#include <tuple>

#include "io/coding.hpp"
#include "io/fs.hpp"
#include "io/iofile.hpp"
#include "io/iomem.hpp"
#include "io/iorange.hpp"
#include "support/support.hpp"

using namespace orv::inpout;
using namespace orv::util::coding;
using namespace testing_support;

namespace {
std::string path(const std::string& name) { return scratch().path(name); }
}  // namespace

// However the connection splits its data and whatever the starting buffer, a
// line ends only at a line feed or at the end of the input.
TEST(stream, line_ends_short_reads_and_growth) {
  const std::vector<std::pair<std::string, lines>> rows = {
      {"a\nb\r", {"a", "b\r"}},
      {"\r\n\n", {"", ""}},
      {"a\r\r\n", {"a\r"}},
      {"", {}},
      {"abcd", {"abcd"}},  // fills the buffer: still gets its terminator
      {"first,line\r\nsecond\n\nlast without end", {"first,line", "second", "", "last without end"}},
      {std::string(40000, 'x') + "\nnext\n", {std::string(40000, 'x'), "next"}}};
  for (const auto& [text, want] : rows)
    for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{1} << 30})
      for (int capacity : {4, 16384}) EXPECT_EQ(lines_of(text, chunk, capacity), want) << chunk << " " << capacity;
}

TEST(stream, fields_of_each_line) {
  stream s(new textconn(std::string("a,b,\n\na,,b\n,\nc;d\nx\0y,z\n", 23)), true, ',', 16384);
  for (int want : {2, 1, 3, 1}) {
    ASSERT_TRUE(s.read_line());
    EXPECT_EQ(s.field_count(), want) << s.line();
  }
  s.set_separator(';');
  ASSERT_TRUE(s.read_line());
  EXPECT_STREQ(s.tokens.next_token(';'), "c");
  EXPECT_STREQ(s.tokens.next_token(';'), "d");
  ASSERT_TRUE(s.read_line());  // a zero byte stays inside its line
  EXPECT_EQ(s.line_length(), 5);
}

namespace {
std::string drain(iorange& r, int n) {
  std::string out;
  std::vector<char> buf(static_cast<std::size_t>(n));
  for (int got; (got = r.read(buf.data(), n)) > 0;) out.append(buf.data(), static_cast<std::size_t>(got));
  return out;
}

lines range_lines(const iofile& f, std::int64_t begin, std::int64_t end, int capacity = 4) {
  iorange r(f, begin, end);
  stream s(&r, false, ',', capacity);
  return read_lines(s);
}
}  // namespace

TEST(iorange, reads_exactly_its_bytes_and_keeps_the_file_position) {
  const std::string text = "ab\ncd\r\n\nef";
  write_file(path("range.txt"), text);
  iofile f;
  ASSERT_TRUE(f.open(path("range.txt"), READ | SHARE, 0644));
  const auto n = static_cast<std::int64_t>(text.size());
  for (std::int64_t b = 0; b <= n; ++b)
    for (std::int64_t e = b; e <= n; ++e)
      for (int chunk : {1, 3, 64}) {
        iorange r(f, b, e);
        ASSERT_EQ(drain(r, chunk), text.substr(static_cast<std::size_t>(b), static_cast<std::size_t>(e - b)))
            << b << ".." << e << " by " << chunk;
      }
  EXPECT_EQ(f.tell(), 0);

  // Seeks stay inside the range; the range ends early on a shorter file.
  iorange r(f, 3, 7);
  EXPECT_EQ(r.lseek(5, LSEEK_SET), -1);
  EXPECT_EQ(r.lseek(-1, LSEEK_SET), -1);
  iorange past(f, 8, 100);
  EXPECT_EQ(drain(past, 8), "ef");
  past.close();
  char c;
  EXPECT_EQ(past.read(&c, 1), -1);
}

// Whatever the split, the ranges' lines in order are the whole file's.
TEST(iorange, line_bounds_give_the_lines_of_the_whole_file) {
  const std::string long_line(70000, 'L');  // past a 64 KiB scan block and any stream buffer
  const std::string texts[] = {"",
                               "\n",
                               "x\ny",
                               "a\r\nb\r\n\r\nc\r\n\rd\r",
                               "\n\n\n\n\n\n\n",
                               std::string("z\0ero\nbytes\0\n\0", 14),
                               "short\n" + long_line + "\nx\n" + long_line,
                               long_line + "\r\n"};
  for (std::size_t t = 0; t < std::size(texts); ++t) {
    const std::string& text = texts[t];
    const std::string name = path("split" + std::to_string(t) + ".txt");
    write_file(name, text);
    iofile f;
    ASSERT_TRUE(f.open(name, READ | SHARE, 0644));
    for (unsigned parts = 1; parts <= 9; ++parts) {
      SCOPED_TRACE("text " + std::to_string(t) + ", " + std::to_string(parts) + " parts");
      const auto b = line_bounds(f, f.size(), parts);
      ASSERT_EQ(b.size(), parts + 1);
      lines joined;  // a bound inside a line would cut it in two
      for (unsigned i = 0; i < parts; ++i) {
        ASSERT_LE(b[i], b[i + 1]);
        const lines part = range_lines(f, b[i], b[i + 1], parts % 2 ? 4 : 1 << 16);
        joined.insert(joined.end(), part.begin(), part.end());
      }
      EXPECT_EQ(joined, lines_of(text));
    }
  }
  std::string even;
  for (int i = 0; i < 1000; ++i) even += "0123456789\n";
  write_file(path("even.txt"), even);
  iofile f;
  ASSERT_TRUE(f.open(path("even.txt"), READ | SHARE, 0644));
  EXPECT_EQ(line_bounds(f, f.size(), 4), (std::vector<std::int64_t>{0, 2750, 5500, 8250, 11000}));
}

namespace {
iofile* opened(const std::string& name, int flags) {
  auto* f = new iofile;
  EXPECT_TRUE(f->open(name, flags, 0644)) << name;
  return f;
}

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return s;
}
}  // namespace

TEST(coding, byte_layouts) {
  const std::pair<std::uint32_t, std::string> cbits[] = {
      {0, std::string(1, '\0')}, {127, "\x7F"},          {128, "\x80\x01"},
      {300, "\xAC\x02"},         {16384, "\x80\x80\x01"}, {(1u << 28) - 1, "\xFF\xFF\xFF\x7F"},
      {1u << 28, "\x80\x80\x80\x80\x01"}, {4294967295u, "\xFF\xFF\xFF\xFF\x0F"}};
  unsigned char out[8];
  for (const auto& [v, want] : cbits)
    EXPECT_EQ(std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(encode_cbit(v, out))), want) << v;
  const std::pair<std::uint64_t, int> widths[] = {{1, 1},     {256, 1},        {257, 2},        {65536, 2},
                                                  {65537, 3}, {4294967296, 4}, {4294967297, 5}, {0, 8}};
  for (auto [n, w] : widths) EXPECT_EQ(bytes_needed(n), w) << n;
  encode_minimal(0x1FFFF, 2, out);  // the bits above the width are dropped
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2), "\xFF\xFF");
  encode_minimal(300, 3, out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), std::string("\x00\x01\x2C", 3));
}

// An input that ends or fails inside a value answers 0 and leaves it alone;
// a run of more than five bytes wraps the shift on every path and never reads
// past what is loaded.
TEST(coding, unfinished_and_malformed_values) {
  textconn ends("\x80"), ends_too("\x80"), broken("\x80\x80", 1 << 30, 1);
  unsigned v = 99;
  std::uint64_t w = 99;
  EXPECT_EQ(std::tuple(read_cbit(ends, v), read_cbit(broken, v), read_minimal(ends_too, 2, w)), std::tuple(0, 0, 0));
  EXPECT_EQ(std::tuple(v, w), std::tuple(99u, std::uint64_t{99}));

  const std::string text = std::string("\x81\x80\x80\x80\x80\x01", 6) + std::string(30, '\x80') + '\x01';
  iobuf b;
  ASSERT_TRUE(b.open(new textconn(text + std::string(8, '\0')), true, 1024));
  textconn plain(text);
  for (auto [len, want] : {std::pair{6, 1u + (1u << 3)}, std::pair{31, 1u << (210 % 32)}}) {
    unsigned x = 0, y = 0;
    ASSERT_EQ(std::tuple(read_cbit(b, x), read_cbit(plain, y)), std::tuple(len, len));
    EXPECT_EQ(std::tuple(x, y), std::tuple(want, want));
  }
}

// The fast paths of the buffer and the map agree with the byte-by-byte one.
TEST(coding, round_trips_through_file_buffer_map_and_memory) {
  std::vector<std::uint32_t> values = {0, 127, 128, 16383, 16384, (1u << 28) - 1, 1u << 28, 4294967295u};
  std::mt19937 gen(12345);
  for (int i = 0; i < 20000; ++i) values.push_back(gen() >> (gen() % 32));
  const std::string name = path("cbit.bin");
  iomem mem;
  mem.open(0);
  {
    iobuf out;
    ASSERT_TRUE(out.open(opened(name, WRITE | CREATE | TRUNCATE), true, 1024));
    for (std::uint32_t v : values) {
      ASSERT_EQ(write_cbit(out, v), cbit_length(v));
      ASSERT_EQ(write_minimal(mem, v, 4), 4);
    }
  }
  iofile f;
  ASSERT_TRUE(f.open(name, READ | SHARE, 0644));
  iobuf b;
  ASSERT_TRUE(b.open(opened(name, READ | SHARE), true, 1024));
  iommap m;
  m.set_window(1);  // the smallest views: many values straddle two
  ASSERT_TRUE(m.open(name, READ | SHARE, 0644));
  mem.rewind();
  unsigned x, y, z;
  std::uint64_t w;
  for (std::uint32_t want : values) {
    const int n = cbit_length(want);
    ASSERT_EQ(std::tuple(read_cbit(f, x), read_cbit(b, y), read_cbit(m, z), read_minimal(mem, 4, w)),
              std::tuple(n, n, n, 4));
    ASSERT_EQ(std::tuple(x, y, z, w), std::tuple(want, want, want, std::uint64_t{want}));
  }
  EXPECT_EQ(read_cbit(f, x) + read_cbit(b, y) + read_cbit(m, z), 0);
}

TEST(iobuf, reads_writes_and_positions) {
  iobuf b;
  iofile both;
  ASSERT_TRUE(both.open(path("both.bin"), READ | WRITE | CREATE, 0644));
  EXPECT_EQ(error_of([&] { b.open(&both, false, 4096); }), "iobuf::open: IOBuffers are either READ or WRITE, not both.");
  const std::string text = pattern(5000);
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

  const std::string name = path("buffered.txt");
  ASSERT_TRUE(b.open(opened(name, WRITE | CREATE | TRUNCATE), true, 1024));
  EXPECT_EQ(b.write_line("abc"), 4);
  EXPECT_EQ(b.write(text.data(), 5000), 5000);
  b.close();
  EXPECT_EQ(read_file(name), "abc\n" + text);
  ASSERT_TRUE(b.open(opened(name, READ), true, 1024));
  b.read(buf, 2);
  EXPECT_EQ(b.lseek(1, LSEEK_CUR), 3);  // from the logical position
  EXPECT_EQ(b.read(buf, 1), 1);
  EXPECT_EQ(buf[0], '\n');
}

TEST(iomem, owned_and_borrowed_blocks) {
  iomem m;
  ASSERT_TRUE(m.open(10));
  const std::string bytes = pattern(25);
  EXPECT_EQ(m.write(bytes.data(), 25), 25);
  // Extending by a seek must not expose old heap bytes.
  EXPECT_EQ(m.lseek(100, LSEEK_SET), 100);
  EXPECT_TRUE(m.rewind());
  std::string back(120, '?');
  EXPECT_EQ(m.read(back.data(), 120), 100);
  EXPECT_EQ(back.substr(0, 100), bytes + std::string(75, '\0'));
  EXPECT_EQ(m.lseek(-1, LSEEK_SET), -1);
  EXPECT_EQ(m.lseek(std::int64_t{1} << 32, LSEEK_SET), -1);
  char block[8] = {};
  ASSERT_TRUE(m.open(block, 8, 0));
  EXPECT_EQ(m.write(bytes.data(), 20), 8);
  EXPECT_EQ(std::string(block, 8), bytes.substr(0, 8));
  EXPECT_EQ(m.lseek(100, LSEEK_SET), 8);
}

// Views of 4 x 64 KiB, the map granularity of every common system.
TEST(iommap, reads_and_seeks_across_views) {
  if (fs::allocation_granularity() != 65536) GTEST_SKIP() << fs::allocation_granularity();
  iommap m;
  m.set_window(65536);
  const std::string bytes = pattern(1000003);
  write_file(path("views.bin"), bytes);
  ASSERT_TRUE(m.open(path("views.bin"), READ, 0644));
  std::string got, buf(bytes.size() + 10, '\0');
  for (int n : {1, 262142, 5, 300000}) {
    ASSERT_EQ(m.read(buf.data(), n), n);
    got.append(buf.data(), static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, bytes.substr(0, got.size()));
  EXPECT_EQ(m.lseek(5000000, LSEEK_SET), 5000000);
  EXPECT_TRUE(m.eof());
  EXPECT_EQ(m.lseek(-3, LSEEK_END), static_cast<std::int64_t>(bytes.size()) - 3);
  EXPECT_EQ(m.read(buf.data(), 10), 3);
  EXPECT_EQ(m.lseek(-1, LSEEK_SET), -1);

  write_file(path("empty.bin"), "");
  ASSERT_TRUE(m.open(path("empty.bin"), READ, 0644));
  EXPECT_EQ(m.read(buf.data(), 1), 0);
  EXPECT_FALSE(m.read_line());
}
