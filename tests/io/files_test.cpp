// Files, pipes and gzip files, how an input name is opened, and data sources.
#include <fcntl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "io/data_source.hpp"
#include "io/fs.hpp"
#include "io/iodigest.hpp"
#include "io/iofile.hpp"
#include "io/iogz.hpp"
#include "io/open_input.hpp"
#include "io/textout.hpp"
#include "support/support.hpp"

using namespace orv::inpout;
using namespace testing_support;

namespace {
std::string path(const std::string& name) { return scratch().path(name); }
}  // namespace

TEST(iofile, opening_flags_and_sharing) {
  const std::string name = path("flags.txt");
  iofile f, g;
  char buf[16];
  EXPECT_FALSE(f.open(name, WRITE | TRUNCATE, 0644));  // TRUNCATE alone needs the file
  ASSERT_TRUE(f.open(name, WRITE | CREATE, 0644));
  EXPECT_EQ(f.write_line("hello"), 6);
  ASSERT_TRUE(f.open(name, WRITE | CREATE, 0644));
  EXPECT_EQ(f.size(), 6);
  ASSERT_TRUE(f.open(name, WRITE | APPEND, 0644));
  f.write("!", 1);
  ASSERT_TRUE(f.open(name, READ, 0644));
  EXPECT_EQ(f.read(buf, 16), 7);
  EXPECT_EQ(std::string(buf, 7), "hello\n!");
  write_file(name, "keep");  // a reader never empties a file
  EXPECT_FALSE(f.open(name, READ | TRUNCATE, 0644));
  EXPECT_EQ(read_file(name), "keep");
  ASSERT_TRUE(f.open(name, WRITE | CREATE | TRUNCATE, 0644));
  EXPECT_EQ(f.size(), 0);

  // Exclusive unless shared.
  ASSERT_TRUE(f.open(name, READ | SHARE, 0644));
  EXPECT_TRUE(g.open(name, READ | SHARE, 0644));
  EXPECT_FALSE(g.open(name, READ | WRITE, 0644));
  ASSERT_TRUE(f.open(name, READ | WRITE, 0644));
  EXPECT_FALSE(g.open(name, READ | SHARE, 0644));

  ASSERT_TRUE(f.open_std(1));
  f.close();
  EXPECT_NE(::fcntl(1, F_GETFD), -1);  // the process's own stream survives
}

TEST(iofile, positions_length_and_maps) {
  const std::string name = path("size.txt");
  write_file(name, "abcdef");
  iofile f;
  ASSERT_TRUE(f.open(name, READ, 0644));
  EXPECT_EQ(f.lseek(3, LSEEK_SET), 3);
  EXPECT_EQ(f.size(), 6);
  EXPECT_EQ(f.tell(), 3);  // size does not move the position
  EXPECT_EQ(f.resize(2), -1);  // no WRITE
  ASSERT_TRUE(f.open(name, READ | WRITE, 0644));
  f.lseek(5, LSEEK_SET);
  EXPECT_EQ(f.resize(3), 3);
  EXPECT_EQ(f.tell(), 3);  // lowered to the new end
  EXPECT_EQ(f.resize(5), 5);
  f.close();
  EXPECT_EQ(read_file(name), std::string("abc\0\0", 5));
  EXPECT_EQ(error_of([&] { f.size(); }), "iofile::size(): cannot access file size.");

  write_file(name, "");
  EXPECT_FALSE(f.open_nonempty(name, READ, 0644));  // cannot grow: no success
  ASSERT_TRUE(f.open(name, READ, 0644));
  EXPECT_EQ(error_of([&] { f.map(0, 1); }), "Could _not create memory mapping.");
  ASSERT_TRUE(f.open_nonempty(name, READ | WRITE, 0644));
  char* view = static_cast<char*>(f.map(0, 1));
  ASSERT_NE(view, nullptr);
  view[0] = 'Q';
  EXPECT_TRUE(f.flush_map(view, 1));
  EXPECT_TRUE(f.unmap(view, 1));
  EXPECT_EQ(error_of([&] { f.map(0, std::int64_t{1} << 32); }), "Could not map large files.");
  EXPECT_EQ(f.map(0, 2), nullptr);  // past the end it would fault
  f.close();
  EXPECT_EQ(read_file(name), "Q");
}

// Copies retry short writes; a copy of a whole file leaves the target
// exactly as long as what it holds up to the copy plus the copied bytes
// (shorter too), so no old tail survives after the new data; moving never
// replaces an existing file.
TEST(iofile, copies_and_moves) {
  const std::string from = path("copy-from"), to = path("copy-to");
  std::string bytes(200000, 'x');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>('a' + i % 26);
  write_file(from, bytes);
  write_file(to, std::string(300000, '#'));
  iofile src, dst;
  ASSERT_TRUE(src.open(from, READ, 0644));
  ASSERT_TRUE(dst.open(to, READ | WRITE, 0644));
  EXPECT_EQ(dst.copy_from(src, 70000), 70000);
  EXPECT_EQ(dst.copy_all_from(src), 130000);
  dst.close();
  EXPECT_EQ(read_file(to), bytes);

  write_file(to, std::string(10, '#'));
  write_file(from, "abc");
  for (const std::int64_t at : {0, 2, 12}) {
    write_file(to, std::string(10, '#'));
    ASSERT_TRUE(src.open(from, READ, 0644));
    ASSERT_TRUE(dst.open(to, READ | WRITE, 0644));
    ASSERT_EQ(dst.lseek(at, LSEEK_SET), at);
    EXPECT_EQ(dst.copy_all_from(src), 3);
    dst.close();
    std::string want = std::string(10, '#').substr(0, static_cast<std::size_t>(at));
    want.resize(static_cast<std::size_t>(at), '\0');  // past the end: a hole of zero bytes
    EXPECT_EQ(read_file(to), want + "abc") << at;
  }
  write_file(to, "abc#######");

  EXPECT_EQ(fs::move_file(from, to), 1);
  EXPECT_EQ(read_file(to), "abc#######");
  EXPECT_EQ(fs::delete_file(to), 0);
  EXPECT_EQ(fs::move_file(from, to), 0);
  EXPECT_EQ(read_file(to), "abc");
  EXPECT_EQ(fs::delete_file(from), 1);
}

// ---- named and anonymous pipes; the named ones live in the scratch directory ----

namespace {
void pause_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

class pipes : public ::testing::Test {
 protected:
  void SetUp() override { setenv("TMPDIR", scratch().path().c_str(), 1); }
};
}  // namespace

TEST_F(pipes, names) {
  EXPECT_FALSE(fs::is_pipe_name("//./pipe/data"));
  EXPECT_EQ(fs::pipe_path("\\\\.\\pipe\\data"), scratch().path("data"));
  for (const char* bad : {"\\\\.\\pipe\\", "\\\\.\\pipe\\a/b", "\\\\.\\pipe\\..", "data"})
    EXPECT_EQ(fs::pipe_path(bad), "") << bad;
  EXPECT_FALSE(fs::create_pipe("plain-name"));
  EXPECT_TRUE(fs::create_pipe("\\\\.\\pipe\\probe"));
  EXPECT_FALSE(std::filesystem::exists(path("probe")));
  EXPECT_EQ(fs::delete_file("\\\\.\\pipe\\probe"), 1);
}

// The writer may start first (it retries until the reader has made the pipe)
// or last (the reader blocks until it connects); a line sent in pieces with
// pauses between is still one line.
TEST_F(pipes, either_side_may_start_first) {
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
  std::thread writer([&] { std::ofstream(fifo) << "f1\nf2"; });
  EXPECT_EQ(read_lines(*open_input(fifo, ',')), (lines{"f1", "f2"}));
  writer.join();

  int p[2];
  ASSERT_EQ(::pipe(p), 0);
  const int saved = ::dup(0);
  ::dup2(p[0], 0);
  ::close(p[0]);
  EXPECT_EQ(::write(p[1], "s1\ns2", 5), 5);
  ::close(p[1]);
  EXPECT_EQ(read_lines(*open_input("/dev/stdin", ',')), (lines{"s1", "s2"}));
  ::dup2(saved, 0);
  ::close(saved);
}

TEST(fs, anonymous_pipes) {
  fs::connection_pair pair;
  ASSERT_TRUE(fs::make_pipe(pair));
  EXPECT_EQ(pair.second->write("ab", 2), 2);
  pair.second->close();
  char buf[4];
  EXPECT_EQ(pair.first->read(buf, 4), 2);
  EXPECT_TRUE(pair.first->eof());
  // Writing into a pipe nobody reads is an error, not the end of the process.
  ASSERT_TRUE(fs::make_pipe(pair));
  pair.first->close();
  EXPECT_EQ(pair.second->write("x", 1), -1);
}

// Linux cuts a blocked write to a pipe short when the reader closes, and
// raises SIGPIPE all the same: the count written comes back and the process
// lives on.
TEST(fs, a_write_cut_short_by_the_reader_is_survived) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    fs::connection_pair pair;
    if (!fs::make_pipe(pair)) _exit(2);
    std::thread closer([&] {
      pause_ms(200);
      pair.first->close();
    });
    const std::string bytes(300 * 1024, 'x');
    const int n = static_cast<int>(bytes.size());
    const int written = pair.second->write(bytes.data(), n);
    closer.join();
    _exit(written == -1 || (written > 0 && written < n) ? 0 : 3);
  }
  int raw = 0;
  ASSERT_EQ(waitpid(pid, &raw, 0), pid);
  ASSERT_TRUE(WIFEXITED(raw)) << "ended by signal " << WTERMSIG(raw);
  EXPECT_EQ(WEXITSTATUS(raw), 0);
}

namespace {
std::string gz_file(const std::string& name, const std::string& text) {
  iogz g;
  EXPECT_TRUE(g.open(path(name), WRITE, 9, 0));
  if (!text.empty()) g.write(text.data(), static_cast<int>(text.size()));
  return path(name);
}
}  // namespace

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
  for (auto [name, detail] : {std::pair{"corrupt.gz", ""}, {"crc.gz", ""}, {"cut.gz", "unexpected end of file"}}) {
    auto s = open_input(path(name), ',');
    const std::string msg = error_of([&] { read_lines(*s); });
    EXPECT_EQ(msg.rfind("ioconn::read_line(): read error: " + path(name) + ": ", 0), 0u) << msg;
    EXPECT_NE(msg.find(detail), std::string::npos) << msg;
  }
}

TEST(open_input, names_failures_and_file_sources) {
  ASSERT_TRUE(std::filesystem::create_directory(path("dir.gz")));
  for (const std::string& name : {std::string("missing.csv"), std::string("missing.csv.gz"), scratch().path(), path("dir.gz")})
    EXPECT_EQ(error_of([&] { open_input(name, ','); }), "File: " + name + " not found or inaccessible");

  // Only a lower-case ".gz" ending selects decompression.
  EXPECT_EQ(read_lines(*open_input(gz_file("x.gz", "packed\n"), ',')), lines{"packed"});
  EXPECT_EQ(read_lines(*open_input(gz_file("empty.gz", ""), ',')), lines{});
  for (const char* plain : {"x.GZ", "x.gz.txt", "gz"}) {
    write_file(path(plain), "plain");
    EXPECT_EQ(read_lines(*open_input(path(plain), ',')), lines{"plain"}) << plain;
  }
  // A file data source is an input with the separator of its third field.
  write_file(path("data.csv"), "a;b,c\n");
  auto s = open_data_source("FILE#" + path("data.csv") + "#;");
  ASSERT_TRUE(s->read_line());
  EXPECT_EQ(s->field_count(), 2);
  EXPECT_EQ(open_data_source("FILE#" + path("data.csv"))->separator(), '\0');
  for (const std::string spec : {"file#data.csv#;", "", "ODBC#x"})
    EXPECT_EQ(error_of([&] { open_data_source(spec); }), "Unknown data source: " + spec);
}

namespace {
std::string digest_of(const std::string& bytes) {
  orv::util::sha256 d;
  d.update(bytes.data(), bytes.size());
  return orv::util::sha256::to_hex(d.finish());
}
}  // namespace

// A digest taken while reading covers the content as read: decompressed for
// gzip, every byte to the end once read_rest has drained what the reader left;
// a read error is an error, not a shorter digest. Positions cannot move.
TEST(open_input, a_digest_covers_the_whole_content) {
  const std::string text = "first\nsecond\n" + std::string(100000, 'x') + "\nlast";
  for (const std::string& name : {path("d.txt"), gz_file("d.gz", text)}) {
    if (name == path("d.txt")) write_file(name, text);
    orv::util::sha256 d;
    auto s = open_input(name, ',', &d);
    ASSERT_TRUE(s->read_line());
    EXPECT_EQ(std::string(s->line()), "first");
    EXPECT_EQ(s->connection()->lseek(0, LSEEK_SET), -1);
    read_rest(*s->connection(), name);
    EXPECT_EQ(d.size(), text.size()) << name;
    EXPECT_EQ(orv::util::sha256::to_hex(d.finish()), digest_of(text)) << name;
  }
  std::string cut = read_file(gz_file("whole.gz", text));
  write_file(path("cut.gz"), cut.substr(0, cut.size() / 2));
  orv::util::sha256 d;
  auto s = open_input(path("cut.gz"), ',', &d);
  const std::string message = error_of([&] { read_rest(*s->connection(), "cut.gz"); });
  EXPECT_EQ(message.rfind("cannot read cut.gz: ", 0), 0u) << message;

  // A plain file's positional reads bypass the stream: digested apart.
  write_file(path("p.txt"), text);
  iofile f;
  ASSERT_TRUE(f.open(path("p.txt"), READ | SHARE, 0644));
  orv::util::sha256 whole;
  digest_positional(f, whole, "p.txt");
  EXPECT_EQ(orv::util::sha256::to_hex(whole.finish()), digest_of(text));
}

// A write that fails names the reason, whether it failed at the flush (a
// short line) or already inside the stream (a text past the buffer's chunk).
TEST(textout, a_failed_write_says_why) {
  for (const std::size_t length : {std::size_t{10}, std::size_t{5000}}) {
    orv::inpout::textout out("/dev/full");
    out.stream() << std::string(length, 'x');
    EXPECT_EQ(error_of([&] { out.finish(); }), "cannot write output file /dev/full: No space left on device")
        << length;
  }
  orv::inpout::textout out("/dev/full");
  out.stream() << std::string(5000, 'x');
  EXPECT_EQ(error_of([&] { out.end_line(); }), "cannot write output file /dev/full: No space left on device");
}

// ---- output text files ----

// Rows are held and written in batches of whole rows: a batch as large as
// batch_bytes at once, a smaller one once it has waited, with no further
// call; lines ended with end_line at once; an unfinished row never.
TEST(textout, rows_reach_the_file_whole_in_batches) {
  const std::string name = path("rows.csv");
  {
    textout out(name);
    out.stream() << "head";
    out.end_line();
    EXPECT_EQ(read_file(name), "head\n");
    const std::string row(999, 'r');  // 1000 bytes with its newline
    // The first row goes out at once (a file that cannot be written fails
    // there); the rows after it are held.
    out.stream() << row;
    out.end_row();
    EXPECT_EQ(read_file(name).size(), 1005u);
    // The size by stat: reading the growing file each time would take longer
    // than a batch may wait.
    std::size_t rows = 1;
    while (std::filesystem::file_size(name) == 1005) {
      out.stream() << row;
      out.end_row();
      ++rows;
      ASSERT_LT((rows - 1) * 1000, textout::batch_bytes + 1000) << "a full batch was not written at once";
    }
    const std::string first = read_file(name);
    EXPECT_EQ(first.size(), 5 + rows * 1000);
    EXPECT_EQ(first.back(), '\n');

    // A row, then nothing: a helper writes it once it has waited.
    out.stream() << "alone,1";
    out.end_row();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (read_file(name).size() == first.size() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_EQ(read_file(name), first + "alone,1\n");

    // Held rows reach the file when it closes; an unfinished one does not.
    out.stream() << "last,2";
    out.end_row();
    out.stream() << "unfinished";
  }
  const std::string all = read_file(name);
  EXPECT_TRUE(all.ends_with("alone,1\nlast,2\n")) << all.substr(all.size() - 20);
  std::filesystem::remove(name);
}

// A write that fails is reported with the file's name and the reason: at the
// first row, which goes out at once; later, by the next call after the batch
// was written, and by finish() at the latest.
TEST(textout, a_failed_batch_is_reported) {
  textout out("/dev/full");
  out.stream() << "row";
  EXPECT_EQ(error_of([&] { out.end_row(); }), "cannot write output file /dev/full: No space left on device");
  EXPECT_EQ(error_of([&] { out.finish(); }), "cannot write output file /dev/full: No space left on device");
  EXPECT_EQ(error_of([&] {
              for (int i = 0; i < 100000; ++i) {
                out.stream() << "row";
                out.end_row();
              }
            }),
            "cannot write output file /dev/full: No space left on device");
}
