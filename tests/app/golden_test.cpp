// Whole runs of the program: small hand-checked files (console lines and
// output files byte for byte, exit statuses, every case that must fail), and
// big or hostile inputs: an allocation that fails, the largest k, a run
// killed halfway, a caller that closed stdout. The heavy measurements (a
// million rows, 10,000 columns) are in bench/big_inputs.sh.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <limits>
#include <new>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "io/fs.hpp"
#include "run.hpp"
#include "support/support.hpp"

extern char** environ;

using testing_support::without_timings;

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

namespace {

const char* const meta =
    "age,continuous\nsex,nominal\neducation,ordinal,primary,secondary,tertiary\nid,ignore\nclass,nominal\n";

// Women with the same education and age band as men are refused more often.
const char* const data =
    "30,f,primary,1,bad\n32,f,primary,2,bad\n31,m,primary,3,good\n33,m,primary,4,bad\n50,f,tertiary,5,good\n"
    "52,f,?,6,bad\n51,m,tertiary,7,good\n?,m,tertiary,8,good\n40,?,secondary,9,bad\n41.5,f,secondary,10,bad\n";

const char* const select_women = "sex=f\nclass=bad\nage,education\ngood\n";

// What the default mode writes for it.
const char* const expected_women =
    "30,f,primary,1,bad,0.5,yes\n32,f,primary,2,bad,0.5,yes\n52,f,?,6,bad,0,no\n41.5,f,secondary,10,bad,0,no\n";

// A fresh folder holding the three input files, removed when the object goes.
class folder : public testing_support::scratch_dir {
 public:
  explicit folder(const std::string& m = meta, const std::string& d = data, const std::string& s = select_women) {
    file("m.meta", m);
    file("d.csv", d);
    file("s.sel", s);
  }
};

std::vector<std::string> names(std::vector<std::string> options = {}) {
  options.insert(options.begin(), {"m.meta", "d.csv", "s.sel", "out.csv"});
  return options;
}

const std::string groups_read =
    "no atts: 5\nno rows: 10\nreading data elapsed time:  T secs.\nno. protected 5\nno. unprotected 4\n";

std::string finished(int discriminated) {
  return groups_read + "output: 5 acond cases, 4 class value, " + std::to_string(discriminated) +
         " discriminated.\nother elapsed time:  T secs.\n";
}

const char* const usage =
    "Command line: kelcmd <metadata> <inputdata> <selectopt> <outputdata> [options]\n"
    "Options\n"
    "  -sep <c>    column separator in files (default ',')\n"
    "  -knn <n>    k value in kNN (default 2)\n"
    "  -mxd <d>    max distance in kNN (default infty)\n"
    "  -thr <d>    diff() threshold (default 0.10)\n"
    "  -cl <d>     confidence level (default 95)\n"
    "  -md <file>  output metadata to <file>\n"
    "  -dst <file> output distribution to <file>\n"
    "  -all        output rows for all c-cond\n"
    "  -pre        output for discrimination prevention\n"
    "  -j <n>      worker threads (default: all cores)\n"
    "  -nbr <file> output the neighbours of each tested tuple to <file>\n"
    "  -json <file> output a summary in JSON to <file>\n"
    "  -perm <n>   placebo runs with the groups shuffled (default 0)\n"
    "  -seed <n>   seed of the placebo shuffles (default 1)\n"
    "\n"
    "(*) .gz files are automatically gunzipped.\n";

// Education alone measured: its distances are 0, 0.5 and 1, so neighbours
// tie often and the bound 0.5 empties the unprotected neighbourhood of row 6.
const char* const select_education = "sex=f\nclass=bad\neducation\n";

const char* const neighbours_education =
    "row,group,rank,neighbour,distance,match\n"
    "1,protected,1,2,0,1\n1,protected,2,10,0.5,1\n1,unprotected,1,3,0,0\n1,unprotected,2,4,0,1\n"
    "2,protected,1,1,0,1\n2,protected,2,10,0.5,1\n2,unprotected,1,3,0,0\n2,unprotected,2,4,0,1\n"
    "6,protected,1,10,0.5,1\n"
    "10,protected,1,1,0.5,1\n10,protected,2,2,0.5,1\n10,unprotected,1,3,0.5,0\n10,unprotected,2,4,0.5,1\n";

// The same with -all: row 5 (class good) is searched too.
const char* const neighbours_education_all =
    "row,group,rank,neighbour,distance,match\n"
    "1,protected,1,2,0,1\n1,protected,2,10,0.5,1\n1,unprotected,1,3,0,0\n1,unprotected,2,4,0,1\n"
    "2,protected,1,1,0,1\n2,protected,2,10,0.5,1\n2,unprotected,1,3,0,0\n2,unprotected,2,4,0,1\n"
    "5,protected,1,10,0.5,0\n5,unprotected,1,7,0,1\n5,unprotected,2,8,0,1\n"
    "6,protected,1,10,0.5,1\n"
    "10,protected,1,1,0.5,1\n10,protected,2,2,0.5,1\n10,unprotected,1,3,0.5,0\n10,unprotected,2,4,0.5,1\n";

std::string tested(int class_value, int discriminated, const std::string& placebo = "") {
  return groups_read + "output: 5 acond cases, " + std::to_string(class_value) + " class value, " +
         std::to_string(discriminated) + " discriminated.\n" + placebo + "other elapsed time:  T secs.\n";
}

// rows lines, every other one protected, classes and values spread so that
// every tuple has neighbours in both groups.
std::string big_table(unsigned rows) {
  std::string text;
  for (unsigned r = 0; r < rows; ++r)
    text += std::string(r % 2 ? "p," : "u,") + std::to_string(r % 97) + "," + (r % 3 ? "a" : "b") + "," +
            (r % 5 ? "good" : "bad") + "\n";
  return text;
}
const char* const big_meta = "g,nominal\nx,continuous\ny,nominal\nclass,nominal\n";
const char* const big_select = "g=p\nclass=bad\nx,y\n";

int wait_status(pid_t pid) {
  int status = 0;
  if (pid <= 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Starts kelcmd in the folder with its console on a pipe (the reading end put
// in *console) or, without console, with stdout closed.
pid_t start_kelcmd(const folder& dir, const std::vector<std::string>& args, int* console = nullptr) {
  int fds[2] = {-1, -1};
  if (console != nullptr && pipe2(fds, O_CLOEXEC) != 0) return -1;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
  if (console != nullptr)
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  else
    posix_spawn_file_actions_addclose(&actions, 1);
  std::vector<char*> argv{const_cast<char*>(KELCMD_PATH)};
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawn(&pid, KELCMD_PATH, &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (console != nullptr) {
    close(fds[1]);
    *console = fds[0];
  }
  return pid;
}

// Runs kelcmd in the folder: its exit status and console.
std::pair<int, std::string> run_kelcmd(const folder& dir, const std::vector<std::string>& args) {
  int console = -1;
  const pid_t pid = start_kelcmd(dir, args, &console);
  std::string out;
  std::array<char, 4096> chunk;
  for (ssize_t n; (n = read(console, chunk.data(), chunk.size())) > 0;) out.append(chunk.data(), n);
  close(console);
  return {wait_status(pid), out};
}

// Runs the program in this process: its exit status and console.
std::pair<int, std::string> run_in_process(const std::vector<std::string>& args) {
  std::vector<const char*> argv{"kelcmd"};
  for (const auto& a : args) argv.push_back(a.c_str());
  std::ostringstream out;
  const int status = kelcmd::main_program(static_cast<int>(argv.size()), argv.data(), out);
  return {status, out.str()};
}

// Writes text into a FIFO once its reader is there (in one write: it is
// shorter than PIPE_BUF); gives up after a while so that a failing run cannot
// hang the test.
void feed_fifo(const std::string& path, const std::string& text) {
  for (int tries = 0; tries < 1000; ++tries) {
    if (const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK); fd >= 0) {
      fcntl(fd, F_SETFL, 0);
      EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
      close(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

// Exit status, console (timings as T) and out.csv byte for byte ("-": never
// created) for every mode, failure and rejected command line; rejected ones
// open nothing, not even the -md file.
TEST(golden, runs) {
  const struct {
    const char* name;
    std::vector<std::string> args;
    int status;
    std::string console, output;
    std::string m = meta, d = data, s = select_women;
    std::vector<std::pair<std::string, std::string>> files = {};  // other files, byte for byte ("-": none)
  } cases[] = {
      {"default", names(), 0, finished(2), expected_women},
      {"metadata and histogram", names({"-md", "back.meta", "-dst", "d.txt"}), 0, finished(2), expected_women, meta,
       data, select_women,
       {{"back.meta", "age,continuous\nsex,nominal,f,m\neducation,ordinal,primary,secondary,tertiary\nid,ignore\n"
                      "class,nominal,bad,good\n"},
        {"d.txt", "0.5\t2\t0.5\t0.5\t2\n0\t2\t0.5\t1\t4\n"}}},
      {"all", names({"-all"}), 0, finished(2),
       "30,f,primary,1,bad,0.5,yes\n32,f,primary,2,bad,0.5,yes\n50,f,tertiary,5,good,-1,no\n52,f,?,6,bad,0,no\n"
       "41.5,f,secondary,10,bad,0,no\n"},
      {"prevention", names({"-pre", "-all"}), 0, finished(2),
       "30,f,primary,1,good\n32,f,primary,2,good\n50,f,tertiary,5,good\n52,f,?,6,bad\n41.5,f,secondary,10,bad\n"
       "31,m,primary,3,good\n33,m,primary,4,bad\n51,m,tertiary,7,good\n?,m,tertiary,8,good\n40,?,secondary,9,bad\n"},
      {"confidence", names({"-cl", "95", "-knn", "2"}), 0, finished(0),
       "30,f,primary,1,bad,0,no\n32,f,primary,2,bad,0,no\n52,f,?,6,bad,0,no\n41.5,f,secondary,10,bad,0,no\n"},
      // x is standardized with mean 20.5 / 7 -> 0x403b6db7 and mad = the sum
      // of the rounded terms |x - mean| / 7 -> 0x3f705399 (worked out step
      // by step in float): 1 comes back as (1 - mean) / mad * mad + mean,
      // one unit below 1. No diff reaches 2, so every row is unchanged.
      {"standardized write-back", names({"-pre", "-thr", "2"}), 0,
       "no atts: 3\nno rows: 7\nreading data elapsed time:  T secs.\nno. protected 4\nno. unprotected 3\n"
       "output: 4 acond cases, 3 class value, 0 discriminated.\nother elapsed time:  T secs.\n",
       "0.99999988079071044921875,p,bad\n3,p,good\n4,p,bad\n2.5,p,bad\n2,u,bad\n3,u,good\n5,u,good\n",
       "x,continuous\ng,nominal\nclass,nominal\n", "1,p,bad\n2,u,bad\n3,p,good\n3,u,good\n4,p,bad\n5,u,good\n2.5,p,bad\n",
       "g=p\nclass=bad\nx\ngood\n"},
      // The neighbours behind each verdict; without -mxd row 6 is tested too.
      {"neighbours", names({"-mxd", "0.5", "-nbr", "n.csv"}), 0, tested(3, 3),
       "30,f,primary,1,bad,0.5,yes\n32,f,primary,2,bad,0.5,yes\n41.5,f,secondary,10,bad,0.5,yes\n", meta, data,
       select_education, {{"n.csv", neighbours_education}}},
      {"neighbours of all rows", names({"-all", "-mxd", "0.5", "-nbr", "n.csv"}), 0, tested(3, 3),
       "30,f,primary,1,bad,0.5,yes\n32,f,primary,2,bad,0.5,yes\n50,f,tertiary,5,good,-1,no\n"
       "41.5,f,secondary,10,bad,0.5,yes\n",
       meta, data, select_education, {{"n.csv", neighbours_education_all}}},
      // Placebo runs, worked out apart with the same shuffles: under seed 1
      // the five shuffles test 3, 3, 3, 2, 3 tuples and flag 3, 0, 1, 0, 0.
      {"placebo", names({"-perm", "5"}), 0,
       tested(4, 4, "placebo: 5 runs, flagged share 0.2667 (mean of shuffles), 95th percentile 0.8667, real 1.0000, "
                    "excess 3 tuples, p = 0.3333\n"),
       "30,f,primary,1,bad,0.5,yes\n32,f,primary,2,bad,0.5,yes\n52,f,?,6,bad,0.5,yes\n41.5,f,secondary,10,bad,0.5,yes\n",
       meta, data, select_education},
      {"placebo, another seed", names({"-seed", "7", "-perm", "7", "-j", "2"}), 0,
       tested(4, 4, "placebo: 7 runs, flagged share 0.6190 (mean of shuffles), 95th percentile 1.0000, real 1.0000, "
                    "excess 2 tuples, p = 0.5000\n"),
       "30,f,primary,1,bad,0.5,yes\n32,f,primary,2,bad,0.5,yes\n52,f,?,6,bad,0.5,yes\n41.5,f,secondary,10,bad,0.5,yes\n",
       meta, data, select_education},
      {"no placebo run", names({"-perm", "0", "-seed", "3"}), 0, finished(2), expected_women},
      {"usage", {"m.meta", "d.csv", "out.csv"}, 0, usage, "-"},
      {"missing data", {"m.meta", "missing.csv", "s.sel", "out.csv"}, 1,
       "no atts: 5\nFile: missing.csv not found or inaccessible\n", "-"},
      {"missing gzip", {"m.meta", "missing.csv.gz", "s.sel", "out.csv"}, 1,
       "no atts: 5\nFile: missing.csv.gz not found or inaccessible\n", "-"},
      {"bad metadata", names(), 1, "bad syntax: sex,nominl\n", "-", "age,continuous\nsex,nominl\n"},
      {"bad row", names(), 1, "no atts: 5\nbad row: 2\n", "-", meta, "30,f,primary,1,bad\n31,m,primary,3\n"},
      {"bad item", names(), 1, "no atts: 5\nno rows: 10\nnot an itemsex<f\n", "-", meta, data,
       "sex<f\nclass=bad\nage\n"},
      {"ignored measure", names(), 1, groups_read + "attribute type ignore\n", "-", meta, data,
       "sex=f\nclass=bad\nage,id\n"},
      {"output folder", {"m.meta", "d.csv", "s.sel", "no/such/out.csv"}, 1,
       groups_read + "cannot create output file no/such/out.csv: No such file or directory\n", "-"},
      {"full device", {"m.meta", "d.csv", "s.sel", "/dev/full"}, 1,
       groups_read + "cannot write output file /dev/full: No space left on device\n", "-"},
      {"unknown option", names({"-md", "meta.out", "-foo"}), 255, "Unknown command: -foo\n", "-"},
      {"max distance", names({"-md", "meta.out", "-mxd", "-1"}), 255, "Max distance must be greater than 0\n", "-"},
      {"confidence level", names({"-md", "meta.out", "-cl", "94"}), 255, "Confidence level must be in [95,99]\n",
       "-"},
      {"k not a number", names({"-md", "meta.out", "-knn", "3x"}), 255, "3x: _not an int\n", "-"},
      {"k missing", names({"-md", "meta.out", "-knn"}), 255, "Option -knn needs a value\n", "-"},
      {"too many placebo runs", names({"-md", "meta.out", "-nbr", "n.csv", "-perm", "1000001"}), 255,
       "Placebo runs must be between 0 and 1000000\n", "-", meta, data, select_women, {{"n.csv", "-"}}},
      {"neighbours file missing", names({"-md", "meta.out", "-nbr"}), 255, "Option -nbr needs a value\n", "-"},
      {"empty separator", names({"-md", "meta.out", "-sep", ""}), 255, "Option -sep needs a non-empty separator\n",
       "-"},
  };
  for (const auto& c : cases) {
    folder dir(c.m, c.d, c.s);
    const auto [status, out] = run_kelcmd(dir, c.args);
    EXPECT_EQ(status, c.status) << c.name;
    EXPECT_EQ(without_timings(out), c.console) << c.name;
    EXPECT_EQ(dir.exists("out.csv") ? dir.read("out.csv") : "-", c.output) << c.name;
    EXPECT_FALSE(dir.exists("meta.out")) << c.name;
    for (const auto& [name, bytes] : c.files)
      EXPECT_EQ(dir.exists(name) ? dir.read(name) : "-", bytes) << c.name << " " << name;
  }
}

// Inputs other than a plain file: gzip (here with another separator), a
// FIFO and a named pipe (both fed while the run reads them).
TEST(golden, gzip_fifo_and_named_pipe_inputs) {
  folder dir;
  std::string semicolons = data;
  std::replace(semicolons.begin(), semicolons.end(), ',', ';');
  gzFile gz = gzopen(dir.path("d.csv.gz").c_str(), "wb");
  gzwrite(gz, semicolons.data(), static_cast<unsigned>(semicolons.size()));
  gzclose(gz);
  ASSERT_EQ(mkfifo(dir.path("fifo.csv").c_str(), 0600), 0);
  const std::string pipe = "\\\\.\\pipe\\kel-golden-" + std::to_string(getpid());
  ASSERT_FALSE(orv::inpout::fs::pipe_path(pipe).empty());
  const struct {
    std::string name, fed, separator, output;
  } sources[] = {{"d.csv.gz", "", ";", "out1.csv"},
                 {"fifo.csv", dir.path("fifo.csv"), ",", "out2.csv"},
                 {pipe, orv::inpout::fs::pipe_path(pipe), ",", "out3.csv"}};
  for (const auto& [name, fed, separator, output] : sources) {
    std::thread feeder;
    if (!fed.empty()) feeder = std::thread(feed_fifo, fed, std::string(data));
    const auto [status, out] = run_kelcmd(dir, {"m.meta", name, "s.sel", output, "-sep", separator});
    if (feeder.joinable()) feeder.join();
    EXPECT_EQ(status, 0) << name << ": " << out;
    EXPECT_EQ(dir.read(output), expected_women) << name;
  }
}

TEST(big_inputs, running_out_of_memory_names_the_stage) {
  // A 3 MB line needs a line buffer of 4 MB.
  folder dir(big_meta, "p,1," + std::string(3 << 20, 'v') + ",good\nu,2,b,bad\n", big_select);
  const std::vector<std::string> args{dir.path("m.meta"), dir.path("d.csv"), dir.path("s.sel"), dir.path("out.csv")};
  const auto [status, console] = run_in_process(args);
  EXPECT_EQ(status, 0) << console;
  allocation_limit = 1 << 20;
  const auto [failed, message] = run_in_process(args);
  allocation_limit = std::numeric_limits<std::size_t>::max();
  EXPECT_EQ(failed, 1);
  EXPECT_EQ(message, "no atts: 4\nout of memory while reading the data file " + args[1] + "\n");
}

TEST(big_inputs, the_largest_k_takes_every_neighbour) {
  folder dir(big_meta, big_table(60), big_select);
  auto run = [&](const std::string& k, const std::string& out) {
    const auto [status, console] = run_kelcmd(dir, {"m.meta", "d.csv", "s.sel", out, "-knn", k, "-all"});
    EXPECT_EQ(status, 0) << console;
    return dir.read(out);
  };
  const std::string every = run("60", "every.csv");
  EXPECT_EQ(run("4294967295", "largest.csv"), every);
  EXPECT_NE(run("1", "one.csv"), every);
}

// The hidden -scan and -reference choose the search, never the result: the
// same output, histogram and console as the run's own choice.
TEST(big_inputs, every_search_writes_the_same_bytes) {
  folder dir(big_meta, big_table(3000), big_select);
  std::string first;
  for (const char* search : {"", "-scan", "-reference"}) {
    std::vector<std::string> args{"m.meta", "d.csv", "s.sel", "out.csv", "-knn", "5", "-all", "-dst", "out.dst"};
    if (*search) args.push_back(search);
    const auto [status, console] = run_kelcmd(dir, args);
    EXPECT_EQ(status, 0) << console;
    const std::string all = dir.read("out.csv") + "--\n" + dir.read("out.dst") + "--\n" + without_timings(console);
    if (first.empty()) first = all;
    EXPECT_EQ(all, first) << search;
  }
}

// Each row reaches the file whole: a run stopped by a signal leaves a prefix
// of complete rows (four values, the diff and the verdict). The per-pair
// search keeps the run going long after its first rows are on disk.
TEST(big_inputs, a_killed_run_leaves_only_complete_rows) {
  for (const int signal : {SIGTERM, SIGINT}) {
    folder dir(big_meta, big_table(40000), big_select);
    int console = -1;
    const pid_t pid = start_kelcmd(dir, names({"-knn", "3", "-all", "-reference"}), &console);
    ASSERT_GT(pid, 0);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (dir.read("out.csv").size() < 200 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    kill(pid, signal);
    EXPECT_EQ(wait_status(pid), 128 + signal);
    close(console);
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
// file the run opens in its place, the output files are whole, and the run
// ends with status 1 for the lost console; an output sent to the closed
// stdout is a failure too.
TEST(big_inputs, a_closed_stdout_leaves_the_output_files_clean) {
  folder dir(big_meta, big_table(300), big_select);
  const auto [status, console] = run_kelcmd(dir, {"m.meta", "d.csv", "s.sel", "out1", "-md", "md1", "-dst", "dst1"});
  ASSERT_EQ(status, 0) << console;
  ASSERT_FALSE(dir.read("out1").empty());
  EXPECT_EQ(wait_status(start_kelcmd(dir, {"m.meta", "d.csv", "s.sel", "out2", "-md", "md2", "-dst", "dst2"})), 1);
  for (const char* name : {"out", "md", "dst"})
    EXPECT_EQ(dir.read(name + std::string("2")), dir.read(name + std::string("1"))) << name;
  EXPECT_EQ(wait_status(start_kelcmd(dir, {"m.meta", "d.csv", "s.sel", "/dev/stdout"})), 1);
}
