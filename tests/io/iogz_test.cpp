#include "io/iogz.hpp"

#include <gtest/gtest.h>

#include "io/open_input.hpp"
#include "io/stream.hpp"
#include "testing.hpp"
#include "util/error.hpp"

using namespace orv::inpout;
using iotest::path;

namespace {

std::string gz_file(const std::string& name, const std::string& text) {
  const std::string p = path(name);
  iogz g;
  EXPECT_TRUE(g.open(p, WRITE, 9, 0));
  if (!text.empty()) {
    EXPECT_EQ(g.write(text.data(), static_cast<int>(text.size())), static_cast<int>(text.size()));
  }
  g.close();
  return p;
}

std::string thrown_by(auto&& f) {
  try {
    f();
  } catch (const orv::util::error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

}  // namespace

TEST(iogz, mode_text) {
  EXPECT_EQ(iogz::mode_text(SEQUENTIAL | READ, 1), "rb1");
  EXPECT_EQ(iogz::mode_text(WRITE, 9), "wb9");
  EXPECT_EQ(iogz::mode_text(APPEND, -1), "ab");
  EXPECT_EQ(iogz::mode_text(WRITE | APPEND, 0), "ab0");
}

TEST(iogz, lines_through_a_stream) {
  const std::string p = gz_file("ab.gz", "a\nb\n");
  auto s = open_input(p, ',');
  ASSERT_TRUE(s->read_line());
  EXPECT_STREQ(s->line(), "a");
  ASSERT_TRUE(s->read_line());
  EXPECT_STREQ(s->line(), "b");
  EXPECT_FALSE(s->read_line());
}

TEST(iogz, positions) {
  const std::string p = gz_file("pos.gz", "0123456789");
  iogz g;
  ASSERT_TRUE(g.open(p, READ, 1, 0));
  EXPECT_TRUE(g.is_file());
  char buf[16];
  ASSERT_EQ(g.read(buf, 5), 5);
  EXPECT_EQ(g.tell(), 5);
  EXPECT_EQ(g.lseek(0, LSEEK_SET), 0);
  ASSERT_EQ(g.read(buf, 1), 1);
  EXPECT_EQ(buf[0], '0');
  EXPECT_EQ(g.lseek(3, LSEEK_CUR), 4);
  ASSERT_EQ(g.read(buf, 1), 1);
  EXPECT_EQ(buf[0], '4');
  EXPECT_EQ(thrown_by([&] { g.lseek(0, LSEEK_END); }), "iogz::lseek LSEEK_END not supported");
  EXPECT_EQ(thrown_by([&] { g.size(); }), "iogz::lseek LSEEK_END not supported");
  EXPECT_EQ(thrown_by([&] { g.lseek(0, 7); }), "iogz::lseek position not supported");
  EXPECT_TRUE(g.rewind());
  EXPECT_EQ(g.tell(), 0);
}

TEST(iogz, eof_only_after_the_end) {
  const std::string empty = gz_file("empty.gz", "");
  iogz g;
  ASSERT_TRUE(g.open(empty, READ, 1, 0));
  EXPECT_FALSE(g.eof());
  char buf[8];
  EXPECT_EQ(g.read(buf, 8), 0);
  EXPECT_TRUE(g.eof());

  ASSERT_TRUE(g.open(gz_file("three.gz", "abc"), READ, 1, 0));
  EXPECT_EQ(g.read(buf, 3), 3);
  EXPECT_EQ(g.read(buf, 8), 0);
  EXPECT_TRUE(g.eof());
}

TEST(iogz, append_adds_a_member) {
  const std::string p = gz_file("append.gz", "a\n");
  iogz g;
  ASSERT_TRUE(g.open(p, APPEND, -1, 0));
  g.write("b\n", 2);
  g.close();
  auto s = open_input(p, ',');
  ASSERT_TRUE(s->read_line());
  ASSERT_TRUE(s->read_line());
  EXPECT_STREQ(s->line(), "b");
}

// Damaged compressed data must surface as an error, never as a shorter table.
TEST(iogz, corrupt_and_truncated_files_are_errors) {
  std::string text;
  for (int i = 0; i < 20000; ++i) text += std::to_string(i * 7919 % 100003) + ",x\n";
  const std::string good = iotest::read_file(gz_file("good.gz", text));
  ASSERT_GT(good.size(), 100u);

  std::string corrupt = good;
  for (std::size_t i = good.size() / 2; i < good.size() / 2 + 16; ++i) corrupt[i] = static_cast<char>(~corrupt[i]);
  iotest::write_file(path("corrupt.gz"), corrupt);
  iotest::write_file(path("cut.gz"), good.substr(0, good.size() / 2));
  std::string bad_check = good;
  bad_check[good.size() - 6] = static_cast<char>(~bad_check[good.size() - 6]);  // in the CRC
  iotest::write_file(path("crc.gz"), bad_check);

  for (const char* name : {"corrupt.gz", "cut.gz", "crc.gz"}) {
    auto s = open_input(path(name), ',');
    const std::string msg = thrown_by([&] {
      while (s->read_line()) {
      }
    });
    EXPECT_EQ(msg.rfind("ioconn::read_line(): read error: " + path(name) + ": ", 0), 0u) << msg;
  }
  auto s = open_input(path("cut.gz"), ',');
  EXPECT_NE(thrown_by([&] {
              while (s->read_line()) {
              }
            }).find("unexpected end of file"),
            std::string::npos);
}
