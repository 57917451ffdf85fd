#include "io/fs.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "io/iofile.hpp"
#include "io/open_input.hpp"
#include "testing.hpp"

using namespace orv::inpout;
using namespace iotest;

namespace {
void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Named pipes of these tests live in the scratch directory.
class pipes : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TMPDIR", scratch().c_str(), 1); }
};
}  // namespace

TEST_F(pipes, names) {
  EXPECT_TRUE(fs::is_pipe_name("\\\\.\\pipe\\data"));
  EXPECT_FALSE(fs::is_pipe_name("//./pipe/data"));
  EXPECT_EQ(fs::pipe_path("\\\\.\\pipe\\data"), scratch() + "/data");
  for (const char* bad : {"\\\\.\\pipe\\", "\\\\.\\pipe\\a/b", "\\\\.\\pipe\\..", "data"})
    EXPECT_EQ(fs::pipe_path(bad), "") << bad;
  EXPECT_FALSE(fs::create_pipe("plain-name"));
  EXPECT_TRUE(fs::create_pipe("\\\\.\\pipe\\probe"));
  EXPECT_FALSE(std::filesystem::exists(path("probe")));
  EXPECT_EQ(fs::delete_file("\\\\.\\pipe\\probe"), 1);
}

// The writer starts first and retries until the reader has made the pipe.
TEST_F(pipes, writer_waits_for_reader) {
  std::thread writer([] {
    iofile w;
    ASSERT_TRUE(w.open("\\\\.\\pipe\\kel-w", WRITE, 0644));
    w.write_line("x,y");
    w.write_line("z");
  });
  pause_ms(150);
  auto s = open_input("\\\\.\\pipe\\kel-w", ',');
  EXPECT_EQ(read_lines(*s), (lines{"x,y", "z"}));
  writer.join();
  EXPECT_TRUE(s->eof());
  s.reset();
  EXPECT_FALSE(std::filesystem::exists(path("kel-w")));  // the reader's FIFO goes with it
}

// The reader starts first and blocks until a writer connects; a line sent in
// pieces with pauses between is still one line.
TEST_F(pipes, reader_waits_for_writer) {
  lines got;
  std::thread reader([&] { got = read_lines(*open_input("\\\\.\\pipe\\kel-r", ',')); });
  pause_ms(100);
  iofile w;
  ASSERT_TRUE(w.open("\\\\.\\pipe\\kel-r", WRITE, 0644));
  w.write("abc", 3);
  pause_ms(100);
  w.write("def\nx", 5);
  pause_ms(50);
  w.write("\n", 1);
  w.close();
  reader.join();
  EXPECT_EQ(got, (lines{"abcdef", "x"}));
}

TEST(fs, fifo_and_stdin_paths_are_inputs) {
  const std::string fifo = path("plain.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    EXPECT_EQ(::write(fd, "f1\nf2", 5), 5);
    ::close(fd);
  });
  EXPECT_EQ(read_lines(*open_input(fifo, ',')), (lines{"f1", "f2"}));
  writer.join();

  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  const int saved = ::dup(0);
  ::dup2(p[0], 0);
  ::close(p[0]);
  EXPECT_EQ(::write(p[1], "s1\ns2", 5), 5);
  ::close(p[1]);
  lines got;
  const std::string error = thrown([&] { got = read_lines(*open_input("/dev/stdin", ',')); });
  ::dup2(saved, 0);
  ::close(saved);
  EXPECT_EQ(error, "(nothing thrown)");
  EXPECT_EQ(got, (lines{"s1", "s2"}));
}

TEST(fs, move_and_delete) {
  const std::string a = path("move-a"), b = path("move-b");
  write_file(a, "A");
  write_file(b, "B");
  EXPECT_EQ(fs::move_file(a, b), 1);  // never replaces
  EXPECT_EQ(fs::delete_file(b), 0);
  EXPECT_EQ(fs::move_file(a, b), 0);
  EXPECT_EQ(read_file(b), "A");
  EXPECT_EQ(fs::delete_file(a), 1);
}

TEST(fs, anonymous_pipes_and_descriptors) {
  fs::connection_pair pair;
  ASSERT_TRUE(fs::make_pipe(pair));
  EXPECT_EQ(pair.first->mode(), READ);
  EXPECT_EQ(pair.second->mode(), WRITE);
  EXPECT_EQ(pair.second->write("ab", 2), 2);
  EXPECT_FALSE(pair.first->eof());
  pair.second->close();
  char buf[4];
  EXPECT_EQ(pair.first->read(buf, 4), 2);
  EXPECT_TRUE(pair.first->eof());
  EXPECT_EQ(thrown([&] { pair.first->tell(); }), "lseek not available");
  // Writing into a pipe nobody reads is an error, not the end of the process.
  ASSERT_TRUE(fs::make_pipe(pair));
  pair.first->close();
  EXPECT_EQ(pair.second->write("x", 1), -1);
}

TEST(fs, spawn) {
  fs::connection_pair pair;
  ASSERT_TRUE(fs::spawn(pair, "cat", {"cat"}, READ | WRITE));
  pair.second->write_line("hello");
  pair.second->write_line("world");
  pair.second.reset();  // the child sees the end of its input
  stream s(pair.first.release(), true, ',', 16384);
  EXPECT_EQ(read_lines(s), (lines{"hello", "world"}));

  ASSERT_TRUE(fs::spawn(pair, "echo", {"echo", "only", "out"}, READ));
  EXPECT_EQ(pair.second, nullptr);
  stream t(pair.first.release(), true, ',', 16384);
  EXPECT_EQ(read_lines(t), (lines{"only out"}));
  EXPECT_FALSE(fs::spawn(pair, "kel-no-such-program", {}, READ | WRITE));
}
