#include "io/iofile.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>

#include "io/fs.hpp"
#include "testing.hpp"
#include "util/error.hpp"

using namespace orv::inpout;
using iotest::path;
using iotest::read_file;
using iotest::write_file;

namespace {

std::string thrown_by(auto&& f) {
  try {
    f();
  } catch (const orv::util::error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

}  // namespace

TEST(iofile, zero_and_negative_counts_touch_nothing) {
  iofile f;
  char buf[4];
  EXPECT_EQ(f.read(buf, 0), 0);  // not even open
  EXPECT_EQ(f.write(buf, -3), 0);
}

TEST(iofile, write_line_and_read_back) {
  const std::string name = path("line.txt");
  iofile f;
  ASSERT_TRUE(f.open(name, WRITE | CREATE | TRUNCATE, 0644));
  EXPECT_EQ(f.mode(), WRITE | CREATE | TRUNCATE);
  EXPECT_EQ(f.write_line("abc"), 4);
  f.close();
  EXPECT_EQ(f.mode(), 0);
  EXPECT_EQ(read_file(name), "abc\n");

  ASSERT_TRUE(f.open(name, READ, 0644));
  char buf[16];
  EXPECT_EQ(f.read(buf, 16), 4);
  EXPECT_EQ(f.read(buf, 16), 0);
  EXPECT_TRUE(f.eof());
}

TEST(iofile, creation_flags) {
  const std::string name = path("flags.txt");
  iofile f;
  EXPECT_FALSE(f.open(name, READ, 0644));
  EXPECT_FALSE(f.is_open());
  EXPECT_FALSE(f.open(name, WRITE | TRUNCATE, 0644));  // TRUNCATE alone needs the file
  ASSERT_TRUE(f.open(name, WRITE | CREATE, 0644));
  EXPECT_EQ(f.size(), 0);
  EXPECT_TRUE(f.eof());
  f.write("hello", 5);
  ASSERT_TRUE(f.open(name, WRITE | CREATE, 0644));  // reopening keeps the bytes
  EXPECT_EQ(f.size(), 5);
  ASSERT_TRUE(f.open(name, WRITE | APPEND, 0644));
  EXPECT_EQ(f.tell(), 5);
  f.write("!", 1);
  f.close();
  EXPECT_EQ(read_file(name), "hello!");
  ASSERT_TRUE(f.open(name, WRITE | TRUNCATE, 0644));
  EXPECT_EQ(f.size(), 0);
  f.write("xy", 2);
  ASSERT_TRUE(f.open(name, WRITE | CREATE | TRUNCATE, 0644));
  EXPECT_EQ(f.size(), 0);
  // A reader never empties a file.
  write_file(name, "keep");
  EXPECT_FALSE(f.open(name, READ | TRUNCATE, 0644));
  EXPECT_EQ(read_file(name), "keep");
}

TEST(iofile, size_does_not_move_the_position) {
  const std::string name = path("size.txt");
  write_file(name, "0123456789");
  iofile f;
  ASSERT_TRUE(f.open(name, READ, 0644));
  EXPECT_EQ(f.lseek(3, LSEEK_SET), 3);
  EXPECT_EQ(f.size(), 10);
  EXPECT_EQ(f.tell(), 3);
  EXPECT_FALSE(f.eof());
  EXPECT_EQ(f.lseek(-2, LSEEK_END), 8);
  EXPECT_EQ(f.lseek(0, 9), -1);
  EXPECT_EQ(f.lseek(2, LSEEK_CUR), 10);
  EXPECT_TRUE(f.eof());
  f.close();
  EXPECT_EQ(thrown_by([&] { f.size(); }), "iofile::size(): cannot access file size.");
}

TEST(iofile, directories_are_refused) {
  iofile f;
  EXPECT_FALSE(f.open(iotest::scratch(), READ | SHARE | SEQUENTIAL, 0644));
  EXPECT_FALSE(f.is_open());
}

TEST(iofile, exclusive_unless_shared) {
  const std::string name = path("share.txt");
  write_file(name, "x");
  iofile a, b;
  ASSERT_TRUE(a.open(name, READ | SHARE, 0644));
  EXPECT_TRUE(b.open(name, READ | SHARE, 0644));
  EXPECT_FALSE(b.open(name, READ | WRITE, 0644));
  a.close();
  ASSERT_TRUE(a.open(name, READ | WRITE, 0644));
  EXPECT_FALSE(b.open(name, READ | SHARE, 0644));
  a.close();
  EXPECT_TRUE(b.open(name, READ | SHARE, 0644));
}

TEST(iofile, resize_needs_write) {
  const std::string name = path("resize.txt");
  write_file(name, "abcdef");
  iofile f;
  ASSERT_TRUE(f.open(name, READ, 0644));
  EXPECT_EQ(f.resize(2), -1);
  EXPECT_EQ(f.size(), 6);
  ASSERT_TRUE(f.open(name, READ | WRITE, 0644));
  f.lseek(5, LSEEK_SET);
  EXPECT_EQ(f.resize(-1), -1);
  EXPECT_EQ(f.resize(3), 3);
  EXPECT_EQ(f.tell(), 3);  // lowered to the new end
  EXPECT_EQ(f.resize(8), 8);
  f.close();
  EXPECT_EQ(read_file(name), std::string("abc\0\0\0\0\0", 8));
}

TEST(iofile, open_nonempty) {
  const std::string name = path("nonempty.txt");
  write_file(name, "");
  iofile f;
  EXPECT_FALSE(f.open_nonempty(name, READ, 0644));  // cannot grow: a failure, not a success
  EXPECT_TRUE(f.open_nonempty(name, READ | WRITE, 0644));
  EXPECT_EQ(f.size(), 1);
  EXPECT_EQ(thrown_by([&] { f.open_nonempty(path("absent"), READ, 0644); }),
            "iofile::size(): cannot access file size.");
}

TEST(iofile, map_views) {
  const std::string empty = path("map-empty.bin");
  write_file(empty, "");
  iofile f;
  ASSERT_TRUE(f.open(empty, READ, 0644));
  EXPECT_EQ(f.map(0, 0), nullptr);
  EXPECT_EQ(thrown_by([&] { f.map(0, 1); }), "Could _not create memory mapping.");

  ASSERT_TRUE(f.open(empty, READ | WRITE, 0644));
  char* view = static_cast<char*>(f.map(0, 1));
  ASSERT_NE(view, nullptr);
  EXPECT_EQ(f.size(), 1);
  view[0] = 'Q';
  EXPECT_TRUE(f.flush_map(view, 1));
  EXPECT_TRUE(f.unmap(view, 1));
  EXPECT_TRUE(f.unmap(nullptr, 1));
  EXPECT_EQ(thrown_by([&] { f.map(0, std::int64_t{1} << 32); }), "Could not map large files.");
  EXPECT_EQ(f.map(0, 2), nullptr);  // beyond the end
  f.close();
  EXPECT_EQ(read_file(empty), "Q");

  const std::string big = path("map-big.bin");
  std::string bytes(3 * 65536, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 7);
  write_file(big, bytes);
  ASSERT_TRUE(f.open(big, READ, 0644));
  const int g = fs::allocation_granularity();
  const char* v = static_cast<const char*>(f.map(g, g));
  ASSERT_NE(v, nullptr);
  EXPECT_EQ(std::string(v, 16), bytes.substr(static_cast<std::size_t>(g), 16));
  EXPECT_TRUE(f.unmap(v, g));
  EXPECT_EQ(f.map(100, 10), nullptr);  // not aligned
}

TEST(iofile, copies) {
  const std::string from = path("copy-from.bin"), to = path("copy-to.bin");
  std::string bytes(200000, 'a');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 23);
  write_file(from, bytes);
  iofile src, dst;
  ASSERT_TRUE(src.open(from, READ, 0644));
  ASSERT_TRUE(dst.open(to, WRITE | CREATE | TRUNCATE, 0644));
  EXPECT_EQ(dst.copy_from(src, 0), 0);
  EXPECT_EQ(dst.copy_from(src, 70000), 70000);
  EXPECT_EQ(dst.copy_all_from(src), 130000);
  EXPECT_EQ(dst.copy_all_from(src), 0);
  dst.close();
  EXPECT_EQ(read_file(to), bytes);

  // Copying a file over the start of a longer one keeps its tail.
  write_file(to, std::string(10, '#'));
  write_file(from, "abc");
  ASSERT_TRUE(src.open(from, READ, 0644));
  ASSERT_TRUE(dst.open(to, READ | WRITE, 0644));
  EXPECT_EQ(dst.copy_all_from(src), 3);
  dst.close();
  EXPECT_EQ(read_file(to), "abc#######");
}

TEST(iofile, standard_streams_survive_close) {
  iofile f;
  ASSERT_TRUE(f.open_std(1));
  EXPECT_EQ(f.mode(), WRITE);
  f.close();
  EXPECT_NE(::fcntl(1, F_GETFD), -1);
  EXPECT_FALSE(f.open_std(3));
  ASSERT_TRUE(f.open_std(0));
  EXPECT_EQ(f.mode(), READ);
}
