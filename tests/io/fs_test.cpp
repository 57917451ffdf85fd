#include "io/fs.hpp"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "io/iofile.hpp"
#include "io/open_input.hpp"
#include "io/stream.hpp"
#include "testing.hpp"
#include "util/error.hpp"

using namespace orv::inpout;
using iotest::path;

namespace {

// Named pipes of these tests live in the scratch directory.
class pipes : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TMPDIR", iotest::scratch().c_str(), 1); }
};

std::vector<std::string> read_all(stream& s) {
  std::vector<std::string> out;
  while (s.read_line()) out.emplace_back(s.line());
  return out;
}

using lines = std::vector<std::string>;

}  // namespace

TEST_F(pipes, names) {
  EXPECT_TRUE(fs::is_pipe_name("\\\\.\\pipe\\data"));
  EXPECT_FALSE(fs::is_pipe_name("\\\\.\\pipe"));
  EXPECT_FALSE(fs::is_pipe_name("//./pipe/data"));
  EXPECT_EQ(fs::pipe_path("\\\\.\\pipe\\data"), iotest::scratch() + "/data");
  EXPECT_EQ(fs::pipe_path("\\\\.\\pipe\\"), "");
  EXPECT_EQ(fs::pipe_path("\\\\.\\pipe\\a/b"), "");
  EXPECT_EQ(fs::pipe_path("\\\\.\\pipe\\.."), "");
  EXPECT_EQ(fs::pipe_path("data"), "");
}

TEST_F(pipes, create_and_delete_leave_no_trace) {
  EXPECT_FALSE(fs::create_pipe("plain-name"));
  EXPECT_TRUE(fs::create_pipe("\\\\.\\pipe\\probe"));
  EXPECT_FALSE(std::filesystem::exists(path("probe")));
  EXPECT_EQ(fs::delete_file("\\\\.\\pipe\\probe"), 1);
}

// The writer starts first and waits for the reader to make the pipe.
TEST_F(pipes, named_pipe_writer_waits_for_reader) {
  const std::string name = "\\\\.\\pipe\\kel-w";
  std::thread writer([&] {
    iofile w;
    ASSERT_TRUE(w.open(name, WRITE, 0644));
    EXPECT_FALSE(w.is_file());
    w.write_line("x,y");
    w.write_line("z");
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(150));
  auto s = open_input(name, ',');
  EXPECT_EQ(read_all(*s), (lines{"x,y", "z"}));
  writer.join();
  EXPECT_TRUE(s->eof());
  s.reset();
  EXPECT_FALSE(std::filesystem::exists(path("kel-w")));  // the reader's FIFO goes with it
}

// The reader starts first and blocks until a writer connects.
TEST_F(pipes, named_pipe_reader_waits_for_writer) {
  const std::string name = "\\\\.\\pipe\\kel-r";
  std::vector<std::string> got;
  std::thread reader([&] {
    auto s = open_input(name, ',');
    got = read_all(*s);
  });
  iofile w;
  ASSERT_TRUE(w.open(name, WRITE | SHARE, 0644));
  w.write_line("one");
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  w.write("tw", 2);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  w.write("o\n", 2);
  w.close();
  reader.join();
  EXPECT_EQ(got, (lines{"one", "two"}));
}

// A line written in two pieces with a pause between is still one line.
TEST_F(pipes, fifo_path_with_a_pausing_writer) {
  const std::string fifo = path("plain.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  std::thread writer([&] {
    const int fd = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(::write(fd, "abc", 3), 3);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(::write(fd, "def\n", 4), 4);
    ::close(fd);
  });
  auto s = open_input(fifo, ',');
  EXPECT_EQ(read_all(*s), (lines{"abcdef"}));
  writer.join();
}

TEST(fs, dev_stdin_is_an_input) {
  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  const int saved = ::dup(0);
  ASSERT_EQ(::dup2(p[0], 0), 0);
  ::close(p[0]);
  ASSERT_EQ(::write(p[1], "s1\ns2", 5), 5);
  ::close(p[1]);
  std::vector<std::string> got;
  try {
    auto s = open_input("/dev/stdin", ',');
    got = read_all(*s);
  } catch (...) {
  }
  ::dup2(saved, 0);
  ::close(saved);
  EXPECT_EQ(got, (lines{"s1", "s2"}));
}

TEST(fs, move_and_delete) {
  const std::string a = path("move-a"), b = path("move-b");
  iotest::write_file(a, "A");
  iotest::write_file(b, "B");
  EXPECT_EQ(fs::move_file(a, b), 1);  // never replaces
  EXPECT_EQ(iotest::read_file(b), "B");
  EXPECT_EQ(fs::delete_file(b), 0);
  EXPECT_EQ(fs::move_file(a, b), 0);
  EXPECT_EQ(iotest::read_file(b), "A");
  EXPECT_EQ(fs::delete_file(a), 1);
  EXPECT_EQ(fs::delete_file(b), 0);
}

TEST(fs, make_pipe_and_descriptor_rules) {
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
  EXPECT_FALSE(pair.first->is_file());
  try {
    pair.first->tell();
    FAIL() << "tell on a descriptor";
  } catch (const orv::util::error& e) {
    EXPECT_STREQ(e.what(), "lseek not available");
  }
  // Writing into a pipe nobody reads is an error, not the end of the process.
  ASSERT_TRUE(fs::make_pipe(pair));
  pair.first->close();
  EXPECT_EQ(pair.second->write("x", 1), -1);
  fs::iofd none;
  EXPECT_FALSE(none.open(-1, READ));
}

TEST(fs, spawn_on_both_pipes) {
  fs::connection_pair pair;
  ASSERT_TRUE(fs::spawn(pair, "cat", {"cat"}, READ | WRITE));
  ASSERT_TRUE(pair.first && pair.second);
  pair.second->write_line("hello");
  pair.second->write_line("world");
  pair.second.reset();  // the child sees the end of its input
  stream s(pair.first.release(), true, ',', 16384);
  EXPECT_EQ(read_all(s), (lines{"hello", "world"}));

  ASSERT_TRUE(fs::spawn(pair, "echo", {"echo", "only", "out"}, READ));
  EXPECT_EQ(pair.second, nullptr);
  stream t(pair.first.release(), true, ',', 16384);
  EXPECT_EQ(read_all(t), (lines{"only out"}));

  EXPECT_FALSE(fs::spawn(pair, "kel-no-such-program", {}, READ | WRITE));
}
