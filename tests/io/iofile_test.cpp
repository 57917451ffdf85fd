#include "io/iofile.hpp"

#include <fcntl.h>

#include <gtest/gtest.h>

#include "io/fs.hpp"
#include "testing.hpp"

using namespace orv::inpout;
using namespace iotest;

TEST(iofile, reading_and_writing) {
  const std::string name = path("line.txt");
  iofile f;
  char buf[16];
  EXPECT_EQ(f.read(buf, 0), 0);  // not even open
  EXPECT_EQ(f.write(buf, -3), 0);
  ASSERT_TRUE(f.open(name, WRITE | CREATE | TRUNCATE, 0644));
  EXPECT_EQ(f.mode(), WRITE | CREATE | TRUNCATE);
  EXPECT_EQ(f.write_line("abc"), 4);
  f.close();
  EXPECT_EQ(f.mode(), 0);
  EXPECT_EQ(read_file(name), "abc\n");
  ASSERT_TRUE(f.open(name, READ, 0644));
  EXPECT_EQ(f.read(buf, 16), 4);
  EXPECT_EQ(f.read(buf, 16), 0);
  EXPECT_TRUE(f.eof());
}

TEST(iofile, creation_flags) {
  const std::string name = path("flags.txt");
  iofile f;
  EXPECT_FALSE(f.open(name, READ, 0644));
  EXPECT_FALSE(f.open(name, WRITE | TRUNCATE, 0644));  // TRUNCATE alone needs the file
  ASSERT_TRUE(f.open(name, WRITE | CREATE, 0644));
  EXPECT_TRUE(f.eof());
  f.write("hello", 5);
  ASSERT_TRUE(f.open(name, WRITE | CREATE, 0644));
  EXPECT_EQ(f.size(), 5);
  ASSERT_TRUE(f.open(name, WRITE | APPEND, 0644));
  f.write("!", 1);
  f.close();
  EXPECT_EQ(read_file(name), "hello!");
  ASSERT_TRUE(f.open(name, WRITE | CREATE | TRUNCATE, 0644));
  EXPECT_EQ(f.size(), 0);
  write_file(name, "keep");  // a reader never empties a file
  EXPECT_FALSE(f.open(name, READ | TRUNCATE, 0644));
  EXPECT_EQ(read_file(name), "keep");
  EXPECT_FALSE(f.open(scratch(), READ | SHARE, 0644));  // a directory
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
}

TEST(iofile, positions_and_length) {
  const std::string name = path("size.txt");
  write_file(name, "abcdef");
  iofile f;
  ASSERT_TRUE(f.open(name, READ, 0644));
  EXPECT_EQ(f.lseek(3, LSEEK_SET), 3);
  EXPECT_EQ(f.size(), 6);
  EXPECT_EQ(f.tell(), 3);  // size does not move the position
  EXPECT_EQ(f.lseek(0, 9), -1);
  EXPECT_EQ(f.resize(2), -1);  // no WRITE
  EXPECT_EQ(f.size(), 6);
  ASSERT_TRUE(f.open(name, READ | WRITE, 0644));
  f.lseek(5, LSEEK_SET);
  EXPECT_EQ(f.resize(3), 3);
  EXPECT_EQ(f.tell(), 3);  // lowered to the new end
  EXPECT_EQ(f.resize(5), 5);
  f.close();
  EXPECT_EQ(read_file(name), std::string("abc\0\0", 5));
  EXPECT_EQ(thrown([&] { f.size(); }), "iofile::size(): cannot access file size.");

  write_file(name, "");
  EXPECT_FALSE(f.open_nonempty(name, READ, 0644));  // cannot grow: no success
  EXPECT_TRUE(f.open_nonempty(name, READ | WRITE, 0644));
  EXPECT_EQ(f.size(), 1);
}

TEST(iofile, map_views) {
  const std::string name = path("map.bin");
  write_file(name, "");
  iofile f;
  ASSERT_TRUE(f.open(name, READ, 0644));
  EXPECT_EQ(f.map(0, 0), nullptr);
  EXPECT_EQ(thrown([&] { f.map(0, 1); }), "Could _not create memory mapping.");
  ASSERT_TRUE(f.open(name, READ | WRITE, 0644));
  char* view = static_cast<char*>(f.map(0, 1));  // grows the empty file first
  ASSERT_NE(view, nullptr);
  view[0] = 'Q';
  EXPECT_TRUE(f.flush_map(view, 1));
  EXPECT_TRUE(f.unmap(view, 1));
  EXPECT_TRUE(f.unmap(nullptr, 1));
  EXPECT_EQ(thrown([&] { f.map(0, std::int64_t{1} << 32); }), "Could not map large files.");
  EXPECT_EQ(f.map(0, 2), nullptr);  // past the end it would fault
  EXPECT_EQ(f.map(100, 1), nullptr);  // not aligned
  f.close();
  EXPECT_EQ(read_file(name), "Q");
}

TEST(iofile, copies) {
  const std::string from = path("copy-from.bin"), to = path("copy-to.bin");
  std::string bytes(200000, 'a');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 23);
  write_file(from, bytes);
  iofile src, dst;
  ASSERT_TRUE(src.open(from, READ, 0644));
  ASSERT_TRUE(dst.open(to, WRITE | CREATE | TRUNCATE, 0644));
  EXPECT_EQ(dst.copy_from(src, 70000), 70000);
  EXPECT_EQ(dst.copy_all_from(src), 130000);
  dst.close();
  EXPECT_EQ(read_file(to), bytes);

  // Copying over the start of a longer file keeps its tail.
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
}
