#include "io/coding.hpp"

#include <gtest/gtest.h>

#include <random>

#include "io/iobuf.hpp"
#include "io/iofile.hpp"
#include "io/iomem.hpp"
#include "io/iommap.hpp"
#include "testing.hpp"

using namespace orv::inpout;
using namespace orv::util::coding;

namespace {
std::string cbit(std::uint32_t v) {
  unsigned char out[max_cbit_bytes];
  return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(encode_cbit(v, out)));
}

std::string minimal(std::uint64_t v, int width) {
  unsigned char out[8];
  encode_minimal(v, width, out);
  return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(width));
}
}  // namespace

TEST(coding, byte_layouts) {
  EXPECT_EQ(cbit(0), std::string(1, '\0'));
  EXPECT_EQ(cbit(127), "\x7F");
  EXPECT_EQ(cbit(128), "\x80\x01");
  EXPECT_EQ(cbit(300), "\xAC\x02");
  EXPECT_EQ(cbit(16384), "\x80\x80\x01");
  EXPECT_EQ(cbit((1u << 28) - 1).size(), 4u);
  EXPECT_EQ(cbit(1u << 28).size(), 5u);
  EXPECT_EQ(cbit(4294967295u), "\xFF\xFF\xFF\xFF\x0F");

  const std::pair<std::uint64_t, int> widths[] = {{1, 1},     {256, 1},         {257, 2},        {65536, 2},
                                                  {65537, 3}, {4294967296, 4}, {4294967297, 5}, {0, 8}};
  for (auto [n, w] : widths) EXPECT_EQ(bytes_needed(n), w) << n;
  EXPECT_EQ(minimal(1, 3), std::string("\0\0\x01", 3));
  EXPECT_EQ(minimal(300, 2), "\x01\x2C");
  EXPECT_EQ(minimal(0x1FFFF, 2), "\xFF\xFF");  // bits above the width are dropped
}

// An input that ends or fails inside a value answers 0, never a value.
TEST(coding, unfinished_values_answer_zero) {
  char one[] = "\x80";
  iomem m;
  m.open(one, 1, 1);
  unsigned v = 99;
  EXPECT_EQ(read_cbit(m, v), 0);
  iotest::textconn broken("\x80\x80", 1 << 30, 1);
  EXPECT_EQ(read_cbit(broken, v), 0);
  EXPECT_EQ(v, 99u);
  std::uint64_t w = 99;
  m.open(one, 1, 1);
  EXPECT_EQ(read_minimal(m, 2, w), 0);
  EXPECT_EQ(w, 99u);
}

// More than five bytes: the shift wraps modulo 32 on every path, and a run
// longer than what is loaded never reads past it.
TEST(coding, malformed_runs) {
  std::string text = std::string("\x81\x80\x80\x80\x80\x01", 6) + std::string(30, '\x80') + '\x01';
  iotest::write_file(iotest::path("malformed.bin"), text + std::string(8, '\0'));
  auto* f = new iofile;
  ASSERT_TRUE(f->open(iotest::path("malformed.bin"), READ, 0644));
  iobuf b;
  ASSERT_TRUE(b.open(f, true, 1024));
  iomem m;
  m.open(text.data(), static_cast<int>(text.size()), static_cast<int>(text.size()));
  unsigned v = 0, w = 0;
  ASSERT_EQ(read_cbit(b, v), 6);
  ASSERT_EQ(read_cbit(m, w), 6);
  EXPECT_EQ(v, 1u + (1u << 3));
  EXPECT_EQ(w, v);
  ASSERT_EQ(read_cbit(b, v), 31);
  ASSERT_EQ(read_cbit(m, w), 31);
  EXPECT_EQ(v, 1u << (210 % 32));
  EXPECT_EQ(w, v);
}

TEST(coding, round_trips_through_file_buffer_and_map) {
  std::vector<std::uint32_t> values = {0, 127, 128, 16383, 16384, (1u << 28) - 1, 1u << 28, 4294967295u};
  std::mt19937 gen(12345);
  for (int i = 0; i < 20000; ++i) values.push_back(gen() >> (gen() % 32));
  const std::string plain = iotest::path("cbit-plain.bin"), buffered = iotest::path("cbit-buffered.bin");
  {
    iofile f;
    ASSERT_TRUE(f.open(plain, WRITE | CREATE | TRUNCATE, 0644));
    auto* g = new iofile;
    ASSERT_TRUE(g->open(buffered, WRITE | CREATE | TRUNCATE, 0644));
    iobuf b;
    ASSERT_TRUE(b.open(g, true, 1024));
    for (std::uint32_t v : values) {
      ASSERT_EQ(write_cbit(f, v), cbit_length(v));
      ASSERT_EQ(write_cbit(b, v), cbit_length(v));
    }
  }
  EXPECT_EQ(iotest::read_file(buffered), iotest::read_file(plain));

  iofile f;
  ASSERT_TRUE(f.open(plain, READ | SHARE, 0644));
  auto* g = new iofile;
  ASSERT_TRUE(g->open(plain, READ | SHARE, 0644));
  iobuf b;
  ASSERT_TRUE(b.open(g, true, 1024));
  iommap m;
  m.set_window(1);  // the smallest views: many values straddle two
  ASSERT_TRUE(m.open(plain, READ | SHARE, 0644));
  unsigned v;
  for (std::uint32_t want : values) {
    ASSERT_EQ(read_cbit(f, v), cbit_length(want));
    ASSERT_EQ(v, want);
    ASSERT_EQ(read_cbit(b, v), cbit_length(want));
    ASSERT_EQ(v, want);
    ASSERT_EQ(read_cbit(m, v), cbit_length(want));
    ASSERT_EQ(v, want);
  }
  EXPECT_EQ(read_cbit(f, v) + read_cbit(b, v) + read_cbit(m, v), 0);

  iomem mem;
  mem.open(0);
  for (std::uint32_t x : values) ASSERT_EQ(write_minimal(mem, x, 4), 4);
  mem.rewind();
  std::uint64_t x;
  for (std::uint32_t want : values) {
    ASSERT_EQ(read_minimal(mem, 4, x), 4);
    ASSERT_EQ(x, want);
  }
}
