#include "io/iommap.hpp"

#include <gtest/gtest.h>

#include "io/fs.hpp"
#include "io/iobuf.hpp"
#include "io/iomem.hpp"
#include "testing.hpp"

using namespace orv::inpout;
using namespace iotest;

namespace {
std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>((i * 131 + i / 977) & 0xFF);
  return s;
}

// The figures below assume the granularity of every common system.
class iommap_test : public ::testing::Test {
 protected:
  void SetUp() override {
    if (fs::allocation_granularity() != 65536) GTEST_SKIP() << fs::allocation_granularity();
  }
};
}  // namespace

TEST_F(iommap_test, windows) {
  write_file(path("ten.bin"), std::string(10 << 20, 'w'));
  iommap m;
  EXPECT_EQ(m.window(), 4 << 20);
  ASSERT_TRUE(m.open(path("ten.bin"), READ, 0644));
  EXPECT_EQ(m.view_length(), 10 << 20);
  EXPECT_EQ(m.set_window(1000000), 983040);
  m.remap();
  EXPECT_EQ(m.view_length(), 3932160);
  EXPECT_EQ(m.set_window(10), 65536);
  EXPECT_EQ(thrown([&] { m.write("x", 1); }), "iommap::write not implemented yet");
  EXPECT_EQ(m.resize(3), -1);  // no WRITE

  write_file(path("empty.bin"), "");
  ASSERT_TRUE(m.open(path("empty.bin"), READ, 0644));
  EXPECT_TRUE(m.eof());
  EXPECT_EQ(m.read(nullptr, 1), 0);
  EXPECT_FALSE(m.read_line());
}

TEST_F(iommap_test, reads_and_seeks_across_views) {
  const std::string bytes = pattern(1000003);  // almost four views of 4 x 64 KiB
  write_file(path("views.bin"), bytes);
  iommap m;
  m.set_window(65536);
  ASSERT_TRUE(m.open(path("views.bin"), READ, 0644));
  std::string got, buf(300000, '\0');
  for (int n : {1, 262142, 5, 300000}) {
    ASSERT_EQ(m.read(buf.data(), n), n);
    got.append(buf.data(), static_cast<std::size_t>(n));
  }
  EXPECT_EQ(got, bytes.substr(0, got.size()));

  EXPECT_EQ(m.lseek(100000, LSEEK_SET), 100000);
  EXPECT_EQ(m.cursor(), 34464);
  EXPECT_EQ(m.lseek(1000, LSEEK_CUR), 101000);
  EXPECT_EQ(m.cursor(), 35464);  // inside the view: no remap

  std::string all(bytes.size() + 10, '\0');
  ASSERT_EQ(m.lseek(0, LSEEK_SET), 0);
  EXPECT_EQ(m.read(all.data(), static_cast<int>(all.size())), static_cast<int>(bytes.size()));
  EXPECT_EQ(all.substr(0, bytes.size()), bytes);
  EXPECT_TRUE(m.eof());

  EXPECT_EQ(m.lseek(5000000, LSEEK_SET), 5000000);
  EXPECT_EQ(m.tell(), static_cast<std::int64_t>(bytes.size()));
  EXPECT_EQ(m.lseek(-3, LSEEK_END), static_cast<std::int64_t>(bytes.size()) - 3);
  EXPECT_EQ(m.read(all.data(), 10), 3);
  EXPECT_EQ(m.lseek(-1, LSEEK_SET), -1);
}

TEST_F(iommap_test, read_line_across_views) {
  std::string text;
  lines want;
  for (int i = 0; text.size() < 700000; ++i) {
    std::string line = std::to_string(i) + std::string(static_cast<std::size_t>(i % 5000), 'a' + i % 26);
    if (i % 7 == 0) line += '\r';  // stays in the line
    want.push_back(line);
    text += line + '\n';
  }
  want.push_back(std::string(300000, 'L'));  // longer than a view, no line feed
  text += want.back();
  write_file(path("lines.txt"), text);
  iommap m;
  m.set_window(65536);
  ASSERT_TRUE(m.open(path("lines.txt"), READ, 0644));
  lines got;
  while (m.read_line()) got.emplace_back(m.line());
  EXPECT_EQ(got, want);
}

TEST_F(iommap_test, resize) {
  write_file(path("resize.bin"), "abcdef");
  iommap m;
  ASSERT_TRUE(m.open(path("resize.bin"), READ | WRITE, 0644));
  m.lseek(5, LSEEK_SET);
  EXPECT_EQ(m.resize(3), 3);
  EXPECT_EQ(m.tell(), 3);
  EXPECT_EQ(m.resize(200000), 200000);
  ASSERT_EQ(m.lseek(0, LSEEK_SET), 0);
  char buf[4];
  EXPECT_EQ(m.read(buf, 4), 4);
  EXPECT_EQ(std::string(buf, 4), std::string("abc\0", 4));
}

// ---- iomem ----

TEST(iomem, owned_and_borrowed_blocks) {
  iomem m;
  ASSERT_TRUE(m.open(10));
  const std::string bytes = pattern(25);
  EXPECT_EQ(m.write(bytes.data(), 25), 25);
  EXPECT_EQ(m.capacity(), 30u);
  EXPECT_EQ(m.size(), 25);
  EXPECT_EQ(m.tell(), 25);
  EXPECT_TRUE(m.rewind());
  char buf[40];
  EXPECT_EQ(m.read(buf, 40), 25);
  EXPECT_EQ(std::string(buf, 25), bytes);
  iobuf b;
  EXPECT_THROW(b.open(&m, false, 1024), orv::util::error);  // used both ways

  char block[8] = {};
  ASSERT_TRUE(m.open(block, 8, 0));
  EXPECT_EQ(m.write(bytes.data(), 20), 8);
  EXPECT_EQ(std::string(block, 8), bytes.substr(0, 8));
  EXPECT_FALSE(m.open(nullptr, 8, 0));
}

// Extending by a seek must not expose old heap bytes.
TEST(iomem, seeking_past_the_end) {
  iomem owned;
  ASSERT_TRUE(owned.open(10));
  owned.write("xxxxxxxxxx", 10);
  EXPECT_EQ(owned.lseek(100, LSEEK_SET), 100);
  EXPECT_EQ(owned.size(), 100);
  owned.lseek(0, LSEEK_SET);
  std::string back(100, '?');
  EXPECT_EQ(owned.read(back.data(), 100), 100);
  EXPECT_EQ(back, std::string(10, 'x') + std::string(90, '\0'));
  EXPECT_EQ(owned.lseek(-1, LSEEK_SET), -1);
  EXPECT_EQ(owned.lseek(std::int64_t{1} << 32, LSEEK_SET), -1);

  char block[20];
  iomem borrowed;
  ASSERT_TRUE(borrowed.open(block, 20, 10));
  EXPECT_EQ(borrowed.lseek(100, LSEEK_SET), 10);
}
