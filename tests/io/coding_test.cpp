#include "io/coding.hpp"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "io/iobuf.hpp"
#include "io/iofile.hpp"
#include "io/iomem.hpp"
#include "io/iommap.hpp"
#include "testing.hpp"
#include "util/coding.hpp"

using namespace orv::inpout;
using namespace orv::util::coding;

namespace {

std::string cbit(std::uint32_t v) {
  unsigned char out[max_cbit_bytes];
  return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(encode_cbit(v, out)));
}

std::vector<std::uint32_t> sample() {
  std::vector<std::uint32_t> values = {0, 1, 127, 128, 300, 16383, 16384, 2097151, 2097152, (1u << 28) - 1, 1u << 28,
                                       4294967295u};
  std::mt19937 gen(12345);
  for (int i = 0; i < 20000; ++i) values.push_back(gen() >> (gen() % 32));
  return values;
}

}  // namespace

TEST(coding, cbit_bytes) {
  EXPECT_EQ(cbit(0), std::string("\x00", 1));
  EXPECT_EQ(cbit(1), "\x01");
  EXPECT_EQ(cbit(127), "\x7F");
  EXPECT_EQ(cbit(128), "\x80\x01");
  EXPECT_EQ(cbit(300), "\xAC\x02");
  EXPECT_EQ(cbit(16384), "\x80\x80\x01");
  EXPECT_EQ(cbit(4294967295u), "\xFF\xFF\xFF\xFF\x0F");
  EXPECT_EQ(cbit_length((1u << 28) - 1), 4);
  EXPECT_EQ(cbit_length(1u << 28), 5);
  for (std::uint32_t v : sample()) EXPECT_EQ(cbit_length(v), static_cast<int>(cbit(v).size()));
}

TEST(coding, bytes_needed_and_minimal) {
  EXPECT_EQ(bytes_needed(1), 1);
  EXPECT_EQ(bytes_needed(2), 1);
  EXPECT_EQ(bytes_needed(256), 1);
  EXPECT_EQ(bytes_needed(257), 2);
  EXPECT_EQ(bytes_needed(65536), 2);
  EXPECT_EQ(bytes_needed(65537), 3);
  EXPECT_EQ(bytes_needed(4294967296ull), 4);
  EXPECT_EQ(bytes_needed(4294967297ull), 5);
  EXPECT_EQ(bytes_needed(0), 8);

  unsigned char out[8];
  encode_minimal(1, 3, out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 3), std::string("\0\0\x01", 3));
  encode_minimal(300, 2, out);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(out), 2), "\x01\x2C");
  EXPECT_EQ(decode_minimal(out, 2), 300u);
  encode_minimal(0x1FFFF, 2, out);  // bits above the width are dropped
  EXPECT_EQ(decode_minimal(out, 2), 0xFFFFu);

  iomem m;
  m.open(0);
  for (std::uint64_t v : {0ull, 255ull, 65535ull, 0xFFFFFFFFFFull}) EXPECT_EQ(write_minimal(m, v, 5), 5);
  m.rewind();
  std::uint64_t v = 7;
  for (std::uint64_t want : {0ull, 255ull, 65535ull, 0xFFFFFFFFFFull}) {
    ASSERT_EQ(read_minimal(m, 5, v), 5);
    EXPECT_EQ(v, want);
  }
  v = 7;
  EXPECT_EQ(read_minimal(m, 5, v), 0);
  EXPECT_EQ(v, 7u);
}

TEST(coding, unfinished_values_answer_zero) {
  iomem m;
  m.open(4);
  m.write("\x80", 1);
  m.rewind();
  unsigned v = 99;
  EXPECT_EQ(read_cbit(m, v), 0);
  EXPECT_EQ(v, 99u);
  // A failing read inside a value is no byte either.
  iotest::textconn broken("\x80\x80", 1 << 30, 1);
  EXPECT_EQ(read_cbit(broken, v), 0);
  EXPECT_EQ(v, 99u);
  EXPECT_EQ(decode_cbit(nullptr, nullptr, v), 0);
}

// More than five bytes: the shift wraps modulo 32, the same on every path,
// and a run longer than the loaded bytes never reads past them.
TEST(coding, malformed_runs) {
  const std::string six("\x81\x80\x80\x80\x80\x01", 6);
  std::string long_run(30, '\x80');
  long_run += '\x01';
  std::string text = six + long_run + std::string(8, '\0');
  const std::string name = iotest::path("malformed.bin");
  iotest::write_file(name, text);

  unsigned v = 0;
  iomem m;
  m.open(text.data(), static_cast<int>(text.size()), static_cast<int>(text.size()));
  ASSERT_EQ(read_cbit(m, v), 6);
  EXPECT_EQ(v, 1u + (1u << 3));
  ASSERT_EQ(read_cbit(m, v), 31);
  EXPECT_EQ(v, 1u << (210 % 32));

  auto* f = new iofile;
  ASSERT_TRUE(f->open(name, READ, 0644));
  iobuf b;
  ASSERT_TRUE(b.open(f, true, 16));  // 1,024 bytes: the whole file loaded at once
  ASSERT_EQ(read_cbit(b, v), 6);
  EXPECT_EQ(v, 9u);
  ASSERT_EQ(read_cbit(b, v), 31);
  EXPECT_EQ(v, 1u << (210 % 32));
}

TEST(coding, round_trips_through_file_buffer_and_map) {
  const std::vector<std::uint32_t> values = sample();
  const std::string plain = iotest::path("cbit-plain.bin"), buffered = iotest::path("cbit-buffered.bin");
  {
    iofile f;
    ASSERT_TRUE(f.open(plain, WRITE | CREATE | TRUNCATE, 0644));
    for (std::uint32_t v : values) ASSERT_EQ(write_cbit(f, v), cbit_length(v));
    auto* g = new iofile;
    ASSERT_TRUE(g->open(buffered, WRITE | CREATE | TRUNCATE, 0644));
    iobuf b;
    ASSERT_TRUE(b.open(g, true, 1024));
    for (std::uint32_t v : values) ASSERT_EQ(write_cbit(b, v), cbit_length(v));
  }
  const std::string bytes = iotest::read_file(plain);
  EXPECT_EQ(iotest::read_file(buffered), bytes);

  unsigned v;
  iofile f;
  ASSERT_TRUE(f.open(plain, READ | SHARE, 0644));
  for (std::uint32_t want : values) {
    ASSERT_GT(read_cbit(f, v), 0);
    ASSERT_EQ(v, want);
  }
  EXPECT_EQ(read_cbit(f, v), 0);

  auto* g = new iofile;
  ASSERT_TRUE(g->open(plain, READ | SHARE, 0644));
  iobuf b;
  ASSERT_TRUE(b.open(g, true, 1024));
  for (std::uint32_t want : values) {
    ASSERT_EQ(read_cbit(b, v), cbit_length(want));
    ASSERT_EQ(v, want);
  }
  EXPECT_EQ(read_cbit(b, v), 0);

  iommap m;
  m.set_window(1);  // the smallest views: many values straddle two
  ASSERT_TRUE(m.open(plain, READ | SHARE, 0644));
  for (std::uint32_t want : values) {
    ASSERT_EQ(read_cbit(m, v), cbit_length(want));
    ASSERT_EQ(v, want);
  }
  EXPECT_EQ(read_cbit(m, v), 0);
}
