#include "io/iogz.hpp"

#include <gtest/gtest.h>

#include "io/open_input.hpp"
#include "testing.hpp"

using namespace orv::inpout;
using namespace iotest;

namespace {
std::string gz_file(const std::string& name, const std::string& text) {
  iogz g;
  EXPECT_TRUE(g.open(path(name), WRITE, 9, 0));
  if (!text.empty()) g.write(text.data(), static_cast<int>(text.size()));
  return path(name);
}
}  // namespace

TEST(iogz, mode_text) {
  EXPECT_EQ(iogz::mode_text(SEQUENTIAL | READ, 1), "rb1");
  EXPECT_EQ(iogz::mode_text(WRITE, 9), "wb9");
  EXPECT_EQ(iogz::mode_text(APPEND, -1), "ab");
  EXPECT_EQ(iogz::mode_text(WRITE | APPEND, 0), "ab0");
}

TEST(iogz, lines_positions_and_end) {
  auto s = open_input(gz_file("ab.gz", "a\nb\n"), ',');
  EXPECT_EQ(read_lines(*s), (lines{"a", "b"}));

  iogz g;
  ASSERT_TRUE(g.open(gz_file("pos.gz", "0123456789"), READ, 1, 0));
  EXPECT_FALSE(g.eof());
  char buf[16];
  ASSERT_EQ(g.read(buf, 5), 5);
  EXPECT_EQ(g.tell(), 5);
  EXPECT_EQ(g.lseek(0, LSEEK_SET), 0);
  ASSERT_EQ(g.read(buf, 1), 1);
  EXPECT_EQ(buf[0], '0');
  EXPECT_EQ(g.lseek(3, LSEEK_CUR), 4);
  EXPECT_EQ(thrown([&] { g.lseek(0, LSEEK_END); }), "iogz::lseek LSEEK_END not supported");
  EXPECT_EQ(thrown([&] { g.size(); }), "iogz::lseek LSEEK_END not supported");
  EXPECT_EQ(thrown([&] { g.lseek(0, 7); }), "iogz::lseek position not supported");
  EXPECT_EQ(g.read(buf, 16), 6);
  EXPECT_EQ(g.read(buf, 16), 0);
  EXPECT_TRUE(g.eof());

  ASSERT_TRUE(g.open(gz_file("empty.gz", ""), READ, 1, 0));
  EXPECT_FALSE(g.eof());  // not before a read has met the end
  EXPECT_EQ(g.read(buf, 8), 0);
  EXPECT_TRUE(g.eof());
}

// Damaged compressed data must surface as an error, never as a shorter table.
TEST(iogz, corrupt_and_truncated_files_are_errors) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += std::to_string(i * 7919 % 100003) + ",x\n";
  const std::string good = read_file(gz_file("good.gz", text));
  std::string corrupt = good, bad_check = good;
  for (std::size_t i = good.size() / 2; i < good.size() / 2 + 16; ++i) corrupt[i] = static_cast<char>(~corrupt[i]);
  bad_check[good.size() - 6] = static_cast<char>(~bad_check[good.size() - 6]);  // in the CRC
  write_file(path("corrupt.gz"), corrupt);
  write_file(path("crc.gz"), bad_check);
  write_file(path("cut.gz"), good.substr(0, good.size() / 2));

  for (const char* name : {"corrupt.gz", "crc.gz", "cut.gz"}) {
    auto s = open_input(path(name), ',');
    const std::string msg = thrown([&] { read_lines(*s); });
    EXPECT_EQ(msg.rfind("ioconn::read_line(): read error: " + path(name) + ": ", 0), 0u) << msg;
  }
  auto s = open_input(path("cut.gz"), ',');
  EXPECT_NE(thrown([&] { read_lines(*s); }).find("unexpected end of file"), std::string::npos);
}
