// Big and hostile inputs through the whole program: an allocation that
// fails, the largest k, a run killed halfway, a caller that closed stdout.
// The heavy measurements (a million rows, 10,000 columns) are in
// bench/big_inputs.sh.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <limits>
#include <new>
#include <sstream>
#include <thread>

#include "run.hpp"
#include "run_binary.hpp"

extern char** environ;

namespace {
// Allocations above this size fail, as they would in a process that has run
// out of memory. Lifted except inside the test that lowers it.
std::atomic<std::size_t> allocation_limit{std::numeric_limits<std::size_t>::max()};
}  // namespace

// Every allocation comes from malloc and goes back to free.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(std::size_t n) {
  if (n > allocation_limit.load(std::memory_order_relaxed)) throw std::bad_alloc();
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

using kelcmd::testing::scratch;

namespace {

// A folder with the inputs: rows lines, every other one protected, classes
// and values spread so that every tuple has neighbours in both groups.
struct inputs : scratch {
  explicit inputs(unsigned rows, const std::string& data = "") {
    file("m.meta", "g,nominal\nx,continuous\ny,nominal\nclass,nominal\n");
    file("s.sel", "g=p\nclass=bad\nx,y\n");
    std::string text = data;
    for (unsigned r = 0; r < rows; ++r)
      text += std::string(r % 2 ? "p," : "u,") + std::to_string(r % 97) + "," + (r % 3 ? "a" : "b") + "," +
              (r % 5 ? "good" : "bad") + "\n";
    file("d.csv", text);
  }
  // The four names as full paths, then the options.
  std::vector<std::string> args(const std::string& out, std::vector<std::string> options = {}) const {
    options.insert(options.begin(), {path("m.meta"), path("d.csv"), path("s.sel"), path(out)});
    return options;
  }
};

int run_in_process(const std::vector<std::string>& args, std::string& console) {
  std::vector<const char*> argv{"kelcmd"};
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out;
  const int status = kelcmd::main_program(static_cast<int>(argv.size()), argv.data(), out);
  console = out.str();
  return status;
}

// Starts kelcmd with its console on /dev/null, or closed.
pid_t spawn_kelcmd(const std::vector<std::string>& args, bool close_stdout) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (close_stdout)
    posix_spawn_file_actions_addclose(&actions, 1);
  else
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  std::vector<std::string> full{KELCMD_PATH};
  full.insert(full.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : full) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, KELCMD_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int wait_status(pid_t pid) {
  int status = 0;
  waitpid(pid, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(big_inputs, running_out_of_memory_names_the_stage) {
  // A 3 MB line needs a line buffer of 4 MB.
  inputs dir(0, "p,1," + std::string(3 << 20, 'v') + ",good\nu,2,b,bad\n");
  std::string console;
  EXPECT_EQ(run_in_process(dir.args("out.csv"), console), 0) << console;
  allocation_limit = 1 << 20;
  const int status = run_in_process(dir.args("out.csv"), console);
  allocation_limit = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(status, 1);
  EXPECT_EQ(console, "no atts: 4\nout of memory while reading the data file " + dir.path("d.csv").string() + "\n");
}

TEST(big_inputs, the_largest_k_takes_every_neighbour) {
  inputs dir(60);
  auto run = [&](const std::string& k, const std::string& out) {
    std::string console;
    EXPECT_EQ(run_in_process(dir.args(out, {"-knn", k, "-all"}), console), 0) << console;
    return dir.read(out);
  };
  const std::string every = run("60", "every.csv");
  EXPECT_EQ(run("4294967295", "largest.csv"), every);
  EXPECT_NE(run("1", "one.csv"), every);
}

// Each row reaches the file whole: a run stopped by a signal leaves a prefix
// of complete rows (four values, the diff and the verdict).
TEST(big_inputs, a_killed_run_leaves_only_complete_rows) {
  for (const int signal : {SIGTERM, SIGINT}) {
    inputs dir(40000);
    const pid_t pid = spawn_kelcmd(dir.args("out.csv", {"-knn", "3", "-all"}), false);
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (dir.read("out.csv").size() < 200 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(pid, signal);
    EXPECT_EQ(wait_status(pid), 128 + signal);
    const std::string out = dir.read("out.csv");
    ASSERT_FALSE(out.empty());
    EXPECT_EQ(out.back(), '\n');
    std::istringstream rows(out);
    for (std::string row; std::getline(rows, row);) {
      EXPECT_EQ(std::count(row.begin(), row.end(), ','), 5) << row;
      EXPECT_TRUE(row.ends_with(",yes") || row.ends_with(",no")) << row;
    }
  }
}

// With stdout closed, the console lines go nowhere; they never land in a
// file the run opens in its place, and an output sent to the closed stdout
// is a failure, not a success.
TEST(big_inputs, a_closed_stdout_leaves_the_output_files_clean) {
  inputs dir(300);
  for (const bool closed : {false, true}) {
    const std::string n = closed ? "2" : "1";
    const auto args = dir.args("out" + n, {"-md", dir.path("md" + n), "-dst", dir.path("dst" + n)});
    EXPECT_EQ(wait_status(spawn_kelcmd(args, closed)), 0) << "closed " << closed;
  }
  ASSERT_FALSE(dir.read("out1").empty());
  for (const char* name : {"out", "md", "dst"})
    EXPECT_EQ(dir.read(name + std::string("2")), dir.read(name + std::string("1"))) << name;
  EXPECT_EQ(wait_status(spawn_kelcmd(dir.args("/dev/stdout"), true)), 1);
}
