// Whole runs of the program as a careless or hostile user makes them: outputs
// that name an input or each other, outputs held by another run, errors
// found only once the search starts, named pipes, a console that cannot be
// written, hostile texts in messages, many threads. Every case checks the
// exact status and console, what the outputs hold, and that every input is
// byte for byte what it was.
//
// KELCMD in the environment runs another build of the program instead.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/runs.hpp"
#include "support/support.hpp"

using namespace testing_support;

namespace {

const std::string inputs_read = "no atts: 5\nno rows: 10\nreading data elapsed time:  T secs.\n";
const std::string groups_read = inputs_read + "no. protected 5\nno. unprotected 4\n";
const std::string finished =
    groups_read + "output: 5 acond cases, 4 class value, 2 discriminated.\nother elapsed time:  T secs.\n";

std::string kelcmd() {
  const char* other = std::getenv("KELCMD");
  return other && *other ? other : KELCMD_PATH;
}

// Where the run's standard output goes.
enum class console { pipe, full_device, closed_pipe, closed };

struct run_options {
  console out = console::pipe;
  std::vector<std::string> env = {};  // NAME=value added to the environment
  bool one_core = false;              // the run may use one processor only
  std::string input = {};             // standard input: this text through a pipe (else inherited)
  int seconds = 120;                  // then the run is killed: a hang fails, it does not stall the suite
};

struct result {
  int status = -1;  // the exit status, or 128 + the signal that ended it
  std::string out, err;
  long peak_kb = 0;  // the run's peak resident memory
};

int status_of(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

// Starts kelcmd in the folder; its stdout and stderr on pipes whose reading
// ends are returned (the stdout one -1 unless console::pipe).
pid_t start(const folder& dir, const std::vector<std::string>& args, const run_options& o, int& out, int& err) {
  int out_pipe[2] = {-1, -1}, err_pipe[2] = {-1, -1}, in_pipe[2] = {-1, -1};
  if (pipe2(err_pipe, O_CLOEXEC) != 0) return -1;
  if (!o.input.empty() && pipe2(in_pipe, O_CLOEXEC) != 0) return -1;
  if ((o.out == console::pipe || o.out == console::closed_pipe) && pipe2(out_pipe, O_CLOEXEC) != 0) return -1;
  if (o.out == console::closed_pipe) {
    close(out_pipe[0]);  // nobody will ever read the console
    out_pipe[0] = -1;
  }
  const std::string program = kelcmd();
  std::vector<std::string> words{program};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  std::vector<std::string> env_words;
  for (char** e = environ; *e; ++e) env_words.emplace_back(*e);
  env_words.insert(env_words.end(), o.env.begin(), o.env.end());
  std::vector<char*> envp;
  for (auto& w : env_words) envp.push_back(w.data());
  envp.push_back(nullptr);
  const std::string where = dir.path();
  const int full = o.out == console::full_device ? open("/dev/full", O_WRONLY | O_CLOEXEC) : -1;

  const pid_t pid = fork();
  if (pid == 0) {
    // Only calls that are safe after fork from here on.
    if (chdir(where.c_str()) != 0) _exit(126);
    if (o.one_core) {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(sched_getcpu() < 0 ? 0 : sched_getcpu(), &one);
      sched_setaffinity(0, sizeof one, &one);
    }
    if (o.out == console::closed)
      close(1);
    else
      dup2(o.out == console::full_device ? full : out_pipe[1], 1);
    dup2(err_pipe[1], 2);
    if (in_pipe[0] >= 0) dup2(in_pipe[0], 0);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
    execve(program.c_str(), argv.data(), envp.data());
    _exit(127);
  }
  if (full >= 0) close(full);
  if (out_pipe[1] >= 0) close(out_pipe[1]);
  close(err_pipe[1]);
  if (in_pipe[0] >= 0) {
    // Shorter than a pipe's buffer: written at once.
    close(in_pipe[0]);
    EXPECT_EQ(write(in_pipe[1], o.input.data(), o.input.size()), static_cast<ssize_t>(o.input.size()));
    close(in_pipe[1]);
  }
  out = out_pipe[0];
  err = err_pipe[0];
  return pid;
}

// Reads both pipes to their end, then waits for the run; kills it first if
// it takes longer than the given seconds.
result finish(pid_t pid, int out, int err, int seconds = 120) {
  result r;
  std::array<char, 65536> chunk;
  std::vector<pollfd> open;
  if (out >= 0) open.push_back({out, POLLIN, 0});
  open.push_back({err, POLLIN, 0});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!open.empty()) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    const int ready = poll(open.data(), open.size(), static_cast<int>(std::max<long>(left.count(), 0)));
    if (ready == 0) {
      ADD_FAILURE() << "the run did not end within " << seconds << " s: killed";
      kill(pid, SIGKILL);
      for (const pollfd& p : open) close(p.fd);
      break;
    }
    if (ready < 0) break;
    for (std::size_t i = open.size(); i-- > 0;) {
      if (!open[i].revents) continue;
      const ssize_t n = read(open[i].fd, chunk.data(), chunk.size());
      if (n > 0) {
        (open[i].fd == out ? r.out : r.err).append(chunk.data(), static_cast<std::size_t>(n));
      } else {
        close(open[i].fd);
        open.erase(open.begin() + static_cast<std::ptrdiff_t>(i));
      }
    }
  }
  int raw = 0;
  rusage usage{};
  if (pid > 0 && wait4(pid, &raw, 0, &usage) == pid) {
    r.status = status_of(raw);
    r.peak_kb = usage.ru_maxrss;
  }
  return r;
}

result run(const folder& dir, const std::vector<std::string>& args, const run_options& o = {}) {
  int out = -1, err = -1;
  const pid_t pid = start(dir, args, o, out, err);
  return finish(pid, out, err, o.seconds);
}

// Holds an advisory lock on a file of the folder, as another run would.
int hold(const folder& dir, const std::string& name, int how) {
  const int fd = open(dir.path(name).c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_EQ(flock(fd, how | LOCK_NB), 0) << name;
  return fd;
}

bool wait_for(const std::function<bool()>& ready) {
  for (int tries = 0; tries < 2000; ++tries) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return false;
}

// The first eight bytes of a multiplicative hash's fixed multiplier word.
const std::string crafted_word("\x2f\x64\xbd\x78\x64\x1d\x76\xa0", 8);

// Protected rows have the good class only: nothing is tested.
std::string crafted_table() {
  std::string text;
  for (int r = 0; r < 40; ++r)
    text += crafted_word + std::to_string(r % 7 * 1000) + (r % 2 ? ",p," : ",u,") + (r == 0 ? "bad" : "good") + "\n";
  return text;
}

// A field of a megabyte between two markers.
const std::string huge_field = "head-" + std::string(1 << 20, 'q') + "-tail";

}  // namespace

// One table: exact status and console (timings as T), what out.csv and the
// other named files hold afterwards ("-": no such file), and the three
// inputs unchanged.
TEST(safe_runs, nothing_lost_nothing_mixed) {
  const auto old_files = [](const folder& dir) {
    dir.file("out.csv", "old rows\n");
    dir.file("md.txt", "old metadata\n");
    return -1;
  };
  const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string console, output;
    std::vector<std::pair<std::string, std::string>> files = {};
    std::function<int(const folder&)> prepare = [](const folder&) { return -1; };
    std::string m = meta, d = data, s = select_women;
  } cases[] = {
      // An output that is also an input.
      {"output is the metadata", names({}, "m.meta"), 1, "output file m.meta is the metadata file\n", "-"},
      {"output is the data by another path", names({}, "./d.csv"), 1, "output file ./d.csv is the data file\n", "-"},
      {"output is a hard link to the data", names({}, "hard.csv"), 1, "output file hard.csv is the data file\n", "-",
       {{"hard.csv", data}},
       [](const folder& dir) { return link(dir.path("d.csv").c_str(), dir.path("hard.csv").c_str()); }},
      {"output is a symbolic link to the selection", names({}, "link.sel"), 1,
       "output file link.sel is the select-options file\n", "-", {},
       [](const folder& dir) { return symlink("s.sel", dir.path("link.sel").c_str()); }},
      {"output through a linked folder", names({}, "here/m.meta"), 1,
       "output file here/m.meta is the metadata file\n", "-", {},
       [](const folder& dir) { return symlink(".", dir.path("here").c_str()); }},
      {"-md is the data", names({"-md", "d.csv"}), 1, "output file d.csv is the data file\n", "-"},
      {"-dst is the selection", names({"-dst", "s.sel"}), 1, "output file s.sel is the select-options file\n", "-"},
      // Two outputs naming one file, whether it exists or not.
      {"-dst is the new output", names({"-dst", "out.csv"}), 1, "output file out.csv is the output data file\n", "-"},
      {"-md is the existing output", names({"-md", "./out.csv"}), 1,
       "output file out.csv is the metadata output file\n", "old rows\n", {{"md.txt", "old metadata\n"}}, old_files},
      {"-md and -dst by two spellings", names({"-md", "x.meta", "-dst", "./x.meta"}), 1,
       "output file ./x.meta is the metadata output file\n", "-", {{"x.meta", "-"}}},
      {"-dst through a dangling link to -md", names({"-md", "new.meta", "-dst", "dangling"}), 1,
       "output file dangling is the metadata output file\n", "-", {{"new.meta", "-"}},
       [](const folder& dir) { return symlink("new.meta", dir.path("dangling").c_str()); }},
      {"-nbr is the data", names({"-nbr", "d.csv"}), 1, "output file d.csv is the data file\n", "-"},
      {"-nbr is the output", names({"-nbr", "out.csv"}), 1, "output file out.csv is the output data file\n",
       "old rows\n", {}, old_files},
      {"-nbr is -dst by another spelling", names({"-dst", "x.txt", "-nbr", "./x.txt"}), 1,
       "output file ./x.txt is the distribution file\n", "-", {{"x.txt", "-"}}},
      {"devices may be shared", names({"-md", "/dev/null", "-dst", "/dev/null", "-nbr", "/dev/null"}, "/dev/null"), 0,
       finished, "-"},
      {"distinct outputs", names({"-md", "md.txt", "-dst", "dst.txt"}), 0, finished, expected_women,
       {{"md.txt", metadata_back}, {"dst.txt", histogram}}, old_files},
      // Errors the search would meet: found before any output is opened.
      {"measured ignore keeps the old outputs", names({"-md", "md.txt"}), 1, groups_read + "attribute type ignore\n",
       "old rows\n", {{"md.txt", "old metadata\n"}}, old_files, meta, data, "sex=f\nclass=bad\nage,id\n"},
      {"ordinal class keeps the old outputs", names({"-md", "md.txt", "-dst", "dst.txt"}), 1,
       groups_read + "getContinuous not accessible\n", "old rows\n", {{"md.txt", "old metadata\n"}, {"dst.txt", "-"}},
       old_files, "age,continuous\nsex,nominal\neducation,ordinal,primary,secondary,tertiary\nid,ignore\n"
                  "class,ordinal,good,bad\n"},
      {"ignored class keeps the old outputs", names(), 1, groups_read + "attribute type ignore\n", "old rows\n", {},
       old_files, "age,continuous\nsex,nominal\neducation,ordinal,primary,secondary,tertiary\nid,ignore\nclass,ignore\n"},
      {"ordinal class, nothing to test", names(), 0,
       groups_read + "output: 5 acond cases, 0 class value, 0 discriminated.\nother elapsed time:  T secs.\n", "", {},
       old_files, "age,continuous\nsex,nominal\neducation,ordinal,primary,secondary,tertiary\nid,ignore\n"
                  "class,ordinal,good,bad,worse\n", data, "sex=f\nclass=worse\nage\n"},
      // Outputs held by another run.
      {"output being written", names(), 1, groups_read + "output file out.csv is being written by another run\n",
       "old rows\n", {},
       [&](const folder& dir) { return old_files(dir), hold(dir, "out.csv", LOCK_EX); }},
      {"output being read", names(), 1, groups_read + "output file out.csv is being read by another run\n",
       "old rows\n", {},
       [&](const folder& dir) { return old_files(dir), hold(dir, "out.csv", LOCK_SH); }},
      {"-md being written", names({"-md", "md.txt"}), 1,
       inputs_read + "output file md.txt is being written by another run\n", "old rows\n",
       {{"md.txt", "old metadata\n"}}, [&](const folder& dir) { return old_files(dir), hold(dir, "md.txt", LOCK_EX); }},
      {"-nbr being written", names({"-nbr", "n.txt"}), 1,
       groups_read + "output file n.txt is being written by another run\n", "", {{"n.txt", "old neighbours\n"}},
       [&](const folder& dir) { return dir.file("n.txt", "old neighbours\n"), hold(dir, "n.txt", LOCK_EX); }},
      {"-nbr on a full device", names({"-nbr", "/dev/full"}), 1,
       groups_read + "cannot write output file /dev/full: No space left on device\n", ""},
      // Texts that collide under a fixed hash keep their codes and order.
      {"crafted texts", names({"-md", "md.txt"}), 0,
       "no atts: 3\nno rows: 40\nreading data elapsed time:  T secs.\nno. protected 20\nno. unprotected 20\n"
       "output: 20 acond cases, 0 class value, 0 discriminated.\nother elapsed time:  T secs.\n",
       "", {{"md.txt", "v,nominal," + crafted_word + "0," + crafted_word + "1000," + crafted_word + "2000," +
                           crafted_word + "3000," + crafted_word + "4000," + crafted_word + "5000," + crafted_word +
                           "6000\ng,nominal,u,p\nclass,nominal,bad,good\n"}},
       [](const folder&) { return -1; }, "v,nominal\ng,nominal\nclass,nominal\n", crafted_table(),
       "g=p\nclass=bad\nv\n"},
      // Messages that quote the input: control bytes escaped, long texts cut.
      {"escape bytes in a value", names(), 1, "no atts: 5\nno rows: 10\ncannot decode\\x1b[2J\\x07bad\n", "-", {},
       [](const folder&) { return -1; }, meta, data, "sex=f\nclass=\x1b[2J\x07" "bad\nage\n"},
      {"a megabyte value", names(), 1,
       "no atts: 5\n" + ("unknown ordinal value " + huge_field).substr(0, 384) + "[... 1048128 bytes cut ...]" +
           std::string(91, 'q') + "-tail\n",
       "-", {}, [](const folder&) { return -1; }, meta, "30,f," + huge_field + ",1,bad\n"},
      {"printable texts unchanged", names(), 1, "bad syntax: sex,nomin\xc3\xa9\tx\r\n", "-", {},
       [](const folder&) { return -1; }, "age,continuous\nsex,nomin\xc3\xa9\tx\r"},
      {"a file name with a line feed", {"m.meta", "d\n.csv", "s.sel", "out.csv"}, 1,
       "no atts: 5\nFile: d\\x0a.csv not found or inaccessible\n", "-"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    folder dir(c.m, c.d, c.s);
    const int held = c.prepare(dir);
    const result r = run(dir, c.args);
    if (held > 0) close(held);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(without_timings(r.out), c.console);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(dir.stored("out.csv"), c.output);
    for (const auto& [name, bytes] : c.files) EXPECT_EQ(dir.stored(name), bytes) << name;
    EXPECT_EQ(dir.stored("m.meta"), c.m);
    EXPECT_EQ(dir.stored("d.csv"), c.d);
    EXPECT_EQ(dir.stored("s.sel"), c.s);
  }
}

// An input that is a stream, here the data on /dev/stdin, is no file an
// output could overwrite: the name check leaves it alone.
TEST(safe_runs, a_stream_input_is_no_stored_file) {
  folder dir;
  const result r = run(dir, {"m.meta", "/dev/stdin", "s.sel", "out.csv", "-dst", "/dev/null"}, {.input = data});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(without_timings(r.out), finished);
  EXPECT_EQ(dir.stored("out.csv"), expected_women);
}

// Before the first tuple searched, the test prints a progress line every
// 100 tuples visited: an error found early comes after the same lines.
TEST(safe_runs, an_early_error_keeps_the_progress_lines) {
  std::string rows;
  for (int i = 0; i < 150; ++i) rows += "p," + std::to_string(i) + ",good\n";
  rows += "p,1,bad\nu,2,bad\nu,3,good\n";
  folder dir("g,nominal\nx,continuous\nclass,ordinal,good,bad\n", rows, "g=p\nclass=bad\nx\nfine\n");
  dir.file("out.csv", "old rows\n");
  const result r = run(dir, names({"-pre"}));
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(without_timings(r.out),
            "no atts: 3\nno rows: 153\nreading data elapsed time:  T secs.\nno. protected 151\nno. unprotected 2\n"
            "n = 100 time per 100 = T\rgetContinuous not accessible\n");
  EXPECT_EQ(dir.stored("out.csv"), "old rows\n");
}

// Standard output on a full device, into a pipe nobody reads, or closed:
// the run still writes every output file, then ends with status 1 and says
// why on stderr.
TEST(safe_runs, a_console_that_cannot_be_written_fails_the_run) {
  const struct {
    const char* name;
    console out;
    std::string err;
  } cases[] = {
      {"full device", console::full_device, "kelcmd: cannot write the console: No space left on device\n"},
      {"pipe without reader", console::closed_pipe, "kelcmd: cannot write the console: Broken pipe\n"},
      {"closed", console::closed, "kelcmd: cannot write the console: standard output is closed\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    folder dir;
    const result r = run(dir, names({"-md", "md.txt", "-dst", "dst.txt"}), {.out = c.out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(dir.stored("out.csv"), expected_women);
    EXPECT_EQ(dir.stored("md.txt"), metadata_back);
    EXPECT_EQ(dir.stored("dst.txt"), histogram);
  }
  // The usage text is a console too, and an output sent to the closed
  // stdout is a failure.
  folder dir;
  EXPECT_EQ(run(dir, {"m.meta"}, {.out = console::full_device}).status, 1);
  EXPECT_EQ(run(dir, names({}, "/dev/stdout"), {.out = console::closed}).status, 1);
}

// A named pipe is a private FIFO of this run: one that someone else may
// write to is refused, a second reader of the name is turned away at once,
// and the FIFO goes when the writer has connected or the wait is stopped.
TEST(safe_runs, named_pipes_are_private_to_one_reader) {
  folder dir;
  const std::string tmpdir = "TMPDIR=" + dir.path() + "/";
  const std::string pipe = "\\\\.\\pipe\\kel-safe";
  const std::string fifo = dir.path("kel-safe");
  const run_options in_folder{.env = {tmpdir}, .seconds = 10};

  // Paths that are not this user's private FIFO.
  const struct {
    const char* name;
    std::function<int()> make;
  } refused[] = {
      {"a FIFO others may write to", [&] { return mkfifo(fifo.c_str(), 0600) || chmod(fifo.c_str(), 0622); }},
      {"a FIFO of another user",
       [&] { return mkfifo(fifo.c_str(), 0600) || chown(fifo.c_str(), getuid() == 0 ? 65534 : 0, 0); }},
      {"a regular file", [&] { return dir.file("kel-safe", "300 rows of someone else\n"), 0; }},
  };
  for (const auto& c : refused) {
    SCOPED_TRACE(c.name);
    if (c.make() != 0) {
      std::filesystem::remove(fifo);
      continue;  // not possible for this user
    }
    const result r = run(dir, {"m.meta", pipe, "s.sel", "out.csv"}, in_folder);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "no atts: 5\nnamed pipe " + pipe + " refused: " + fifo +
                         " is not a FIFO of this user closed to other writers\n");
    EXPECT_TRUE(std::filesystem::exists(std::filesystem::symlink_status(fifo)));  // not ours to remove
    std::filesystem::remove(fifo);
  }

  // A second reader while the first waits; then the first gets its writer.
  int out = -1, err = -1;
  const pid_t first = start(dir, {"m.meta", pipe, "s.sel", "first.csv"}, in_folder, out, err);
  ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(std::filesystem::symlink_status(fifo)); }));
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const result second = run(dir, {"m.meta", pipe, "s.sel", "second.csv"}, in_folder);
  EXPECT_EQ(second.status, 1);
  EXPECT_EQ(second.out, "no atts: 5\nnamed pipe " + pipe + " is being read by another run\n");
  feed_fifo(fifo, data);
  const result done = finish(first, out, err, 10);
  EXPECT_EQ(done.status, 0);
  EXPECT_EQ(dir.stored("first.csv"), expected_women);
  EXPECT_EQ(dir.stored("second.csv"), "-");
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(fifo)));

  // Stopped while it waits: the FIFO goes with it.
  for (const int sig : {SIGINT, SIGTERM}) {
    const pid_t waiting = start(dir, {"m.meta", pipe, "s.sel", "out.csv"}, in_folder, out, err);
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(std::filesystem::symlink_status(fifo)); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // into the wait
    kill(waiting, sig);
    EXPECT_EQ(finish(waiting, out, err, 10).status, 128 + sig);
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(fifo))) << sig;
    std::filesystem::remove(fifo);
  }
}

// The data file is read in at most one part per usable core, whatever -j
// asks: here one core, so -j 1024 must cost about what -j 1 costs (each
// part would hold its own columns, dictionaries included, until merged).
TEST(safe_runs, many_threads_cost_no_more_memory_to_read) {
  std::string rows;
  rows.reserve(22 << 20);
  for (int i = 0; i < 400000; ++i)
    rows += "ID" + std::to_string(1000000 + i) + "," + std::to_string(19 + i % 46) + (i % 997 ? ",m," : ",f,") +
            std::to_string(i % 23) + "," + (i % 3 ? "hired" : "rejected") + "\n";
  folder dir("id,ignore\nage,continuous\nsex,nominal\nexperience,continuous\ndecision,nominal\n", rows,
             "sex=f,age<20\ndecision=rejected\nage,experience\n");
  const result one = run(dir, names({"-j", "1"}, "one.csv"), {.one_core = true});
  const result many = run(dir, names({"-j", "1024"}, "many.csv"), {.one_core = true});
  ASSERT_EQ(one.status, 0) << one.out;
  ASSERT_EQ(many.status, 0) << many.out;
  EXPECT_EQ(dir.stored("many.csv"), dir.stored("one.csv"));
  EXPECT_LT(static_cast<double>(many.peak_kb), 1.25 * static_cast<double>(one.peak_kb))
      << one.peak_kb << " KB with -j 1";
}

#ifdef KEL_WITH_JSON
// The summary file takes part in the same checks: it may not name an input
// or another output, another run may not hold it, and a summary that cannot
// be written fails the run after everything else was written.
TEST(safe_runs, the_summary_is_an_output_like_the_others) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string console;
    std::vector<std::pair<std::string, std::string>> files;
    bool held = false;
  } cases[] = {
      {"is the selection", names({"-json", "s.sel"}), 1, "output file s.sel is the select-options file\n", {}},
      {"is the neighbours file", names({"-nbr", "n.txt", "-json", "./n.txt"}), 1,
       "output file ./n.txt is the neighbours file\n", {{"n.txt", "-"}}},
      {"being read", names({"-json", "s.json"}), 1, groups_read + "output file s.json is being read by another run\n",
       {{"s.json", "old summary\n"}}, true},
      {"on a full device", names({"-json", "/dev/full", "-dst", "dst.txt"}), 1,
       finished + "cannot write output file /dev/full: No space left on device\n", {{"dst.txt", histogram}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    folder dir;
    int held = -1;
    if (c.held) {
      dir.file("s.json", "old summary\n");
      held = hold(dir, "s.json", LOCK_SH);
    }
    const result r = run(dir, c.args);
    if (held > 0) close(held);
    EXPECT_EQ(r.status, c.status);
    EXPECT_EQ(without_timings(r.out), c.console);
    for (const auto& [name, bytes] : c.files) EXPECT_EQ(dir.stored(name), bytes) << name;
    EXPECT_EQ(dir.stored("s.sel"), select_women);
  }
}
#endif
