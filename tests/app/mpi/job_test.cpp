// kelcmd-mpi against kelcmd. The same command line runs in two fresh copies
// of the same inputs, once by kelcmd and once by mpiexec with 1, 2 or 3
// ranks of kelcmd-mpi (more ranks than cores: --oversubscribe); the exit
// status, the console (timings aside) and every file the runs leave behind
// must be the same. Then what only a job meets: inputs that only rank 0 can
// read, a failure on one rank, an output that fails while the others
// search, a rank that dies.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "io/fs.hpp"
#include "support/random_table.hpp"
#include "support/runs.hpp"
#include "support/support.hpp"

extern char** environ;

using namespace testing_support;

namespace {

using files = std::map<std::string, std::string>;

struct outcome {
  int status = -1;
  std::string console;  // timings as T
  std::string errors;
  files left;           // every regular file of the folder afterwards
};

// A job that hangs must fail its test, not stall the suite.
constexpr auto patience = std::chrono::seconds(120);

// A JSON summary's timings as T: the only figures that may differ.
std::string without_json_timings(const std::string& text) {
  const std::string key = "Seconds\": ";
  std::string out;
  std::size_t from = 0;
  for (auto at = text.find(key); at != std::string::npos; at = text.find(key, from)) {
    at += key.size();
    out.append(text, from, at - from).push_back('T');
    from = std::min(text.find_first_not_of("-+.0123456789eE", at), text.size());
  }
  return out.append(text, from);
}

files regular_files(const testing_support::scratch_dir& dir) {
  files out;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (entry.is_regular_file()) {
      const std::string name = entry.path().filename().string();
      out[name] = name.ends_with(".json") ? without_json_timings(dir.read(name)) : dir.read(name);
    }
  return out;
}

// Starts argv in dir, in a process group of its own, its console and error
// lines into files outside the folder, its standard input from `input`
// (a path) or /dev/null.
pid_t start(const testing_support::scratch_dir& dir, const testing_support::scratch_dir& side,
            const std::vector<std::string>& argv, const std::string& input = "/dev/null") {
  setenv("OMPI_ALLOW_RUN_AS_ROOT", "1", 1);
  setenv("OMPI_ALLOW_RUN_AS_ROOT_CONFIRM", "1", 1);
#if KEL_SANITIZED
  // Open MPI keeps memory to the end of the process, in libraries unloaded
  // by then, so its leaks cannot be told from others: memory errors and
  // undefined behaviour are still caught.
  static const bool quiet = [] {
    const char* given = std::getenv("ASAN_OPTIONS");
    return setenv("ASAN_OPTIONS", (std::string(given ? given : "") + ":detect_leaks=0").c_str(), 1) == 0;
  }();
  (void)quiet;
#endif
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addchdir_np(&actions, dir.path().c_str());
  posix_spawn_file_actions_addopen(&actions, 0, input.c_str(), O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, side.path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, 2, side.path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawnattr_t attributes;
  posix_spawnattr_init(&attributes);
  posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETPGROUP);
  posix_spawnattr_setpgroup(&attributes, 0);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, args[0], &actions, &attributes, args.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attributes);
  return pid;
}

// The exit status (128 + the signal after one), or -1 when it had to be
// stopped.
int finish(pid_t pid) {
  if (pid <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + patience;
  int status = 0;
  while (waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() > deadline) {
      kill(-pid, SIGKILL);
      waitpid(pid, &status, 0);
      ADD_FAILURE() << "stopped after " << patience.count() << " s";
      return -1;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

outcome run_in(const testing_support::scratch_dir& dir, const std::vector<std::string>& argv,
               const std::string& input = "/dev/null") {
  const testing_support::scratch_dir side;
  outcome r;
  r.status = finish(start(dir, side, argv, input));
  r.console = testing_support::without_timings(side.read("out"));
  r.errors = side.read("err");
  r.left = regular_files(dir);
  return r;
}

std::vector<std::string> kelcmd(const std::vector<std::string>& args) {
  std::vector<std::string> argv{KELCMD_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// mpiexec waits a second before it stops the other ranks of a job with a
// failed rank; they end by themselves here.
const std::vector<std::string> launcher_options{"--mca", "odls_base_sigkill_timeout", "0"};

std::vector<std::string> job(unsigned ranks, const std::vector<std::string>& args) {
  std::vector<std::string> argv{MPIEXEC_PATH, "-n", std::to_string(ranks), "--oversubscribe"};
  argv.insert(argv.end(), launcher_options.begin(), launcher_options.end());
  argv.push_back(KELCMD_MPI_PATH);
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// A fresh folder holding the inputs.
std::unique_ptr<testing_support::scratch_dir> folder_with(const files& inputs) {
  auto dir = std::make_unique<testing_support::scratch_dir>();
  for (const auto& [name, bytes] : inputs) {
    if (name.ends_with(".gz")) {
      gzFile gz = gzopen(dir->path(name).c_str(), "wb");
      gzwrite(gz, bytes.data(), static_cast<unsigned>(bytes.size()));
      gzclose(gz);
    } else {
      dir->file(name, bytes);
    }
  }
  return dir;
}

outcome run_fresh(const files& inputs, const std::vector<std::string>& argv) { return run_in(*folder_with(inputs), argv); }

// kelcmd's outcome, and the job's at each number of ranks the same.
void expect_same(const std::string& name, const files& inputs, const std::vector<std::string>& args,
                 std::initializer_list<unsigned> ranks = {1, 2, 3}) {
  const outcome want = run_fresh(inputs, kelcmd(args));
  std::vector<unsigned> counts(ranks);
#if KEL_SANITIZED
  // Under the sanitizers the paths count, not the numbers of ranks: the
  // largest takes them all (leader and workers), at a third of the starts.
  counts = {std::max(ranks)};
#endif
  for (const unsigned r : counts) {
    const outcome got = run_fresh(inputs, job(r, args));
    EXPECT_EQ(got.status, want.status) << name << ", " << r << " ranks: " << got.errors;
    EXPECT_EQ(got.console, want.console) << name << ", " << r << " ranks";
    EXPECT_EQ(got.left, want.left) << name << ", " << r << " ranks";
  }
}

files small(const std::string& m = meta, const std::string& d = data, const std::string& s = select_women) {
  return {{"m.meta", m}, {"d.csv", d}, {"s.sel", s}};
}

files random_files(std::mt19937& rng, int rows, bool continuousClass) {
  const testing_support::random_inputs t = testing_support::random_table(rng, rows, continuousClass, false);
  return small(t.meta, t.data, t.select);
}

struct golden_case {
  const char* name;
  std::vector<std::string> args;
  files inputs = small();
};

}  // namespace

// The small hand-checked table in every mode.
TEST(job, runs_as_kelcmd_runs_in_every_mode) {
  const golden_case cases[] = {
      {"default", names()},
      {"metadata and histogram", names({"-md", "back.meta", "-dst", "d.txt"})},
      {"all", names({"-all", "-knn", "3"})},
      {"prevention", names({"-pre", "-all", "-dst", "d.txt"})},
      {"confidence", names({"-cl", "95", "-thr", "0"})},
      {"max distance", names({"-mxd", "0.4", "-all"})},
      {"per-pair search", names({"-reference", "-all", "-j", "2"})},
      {"scan forced", names({"-scan", "-all", "-knn", "3", "-nbr", "n.csv"})},
      {"index forced", names({"-index", "-all", "-knn", "2", "-nbr", "n.csv", "-j", "1"})},
      {"separator and gzip", {"m.meta", "d.csv.gz", "s.sel", "out.csv", "-sep", ";"},
       {{"m.meta", meta}, {"s.sel", select_women}, {"d.csv.gz", [] {
          std::string semicolons = data;
          std::replace(semicolons.begin(), semicolons.end(), ',', ';');
          return semicolons;
        }()}}},
      {"usage", {"m.meta", "d.csv", "out.csv"}},
  };
  for (const auto& c : cases) expect_same(c.name, c.inputs, c.args);
}

// Every way a run fails: the inputs (every rank parses the same bytes and
// fails alike; only rank 0 speaks), the kinds the search refuses, the
// outputs, the command line. Three ranks only: a start of mpiexec costs a
// second, and two workers meet whatever one would.
TEST(job, fails_as_kelcmd_fails) {
  const golden_case cases[] = {
      {"unknown option", names({"-md", "meta.out", "-foo"})},
      {"k missing", names({"-knn"})},
      {"missing data", {"m.meta", "missing.csv", "s.sel", "out.csv"}},
      {"bad metadata", names(), small("age,continuous\nsex,nominl\n")},
      {"bad row", names(), small(meta, "30,f,primary,1,bad\n31,m,primary,3\n")},
      {"bad number", names(), small(meta, "30,f,primary,1,bad\n3x,m,primary,3,good\n")},
      {"bad item", names(), small(meta, data, "sex<f\nclass=bad\nage\n")},
      {"ignored measure", names(), small(meta, data, "sex=f\nclass=bad\nage,id\n")},
      {"ordinal class", names(), small(meta, data, "sex=f\neducation=primary\nage\n")},
      {"output is an input", {"m.meta", "d.csv", "s.sel", "d.csv"}},
      {"output folder", {"m.meta", "d.csv", "s.sel", "no/such/out.csv"}},
      {"full device", {"m.meta", "d.csv", "s.sel", "/dev/full"}},
      {"full device for the histogram", names({"-dst", "/dev/full"})},
      {"full device for the neighbours", names({"-nbr", "/dev/full", "-perm", "2"})},
      {"full device for the summary", names({"-json", "/dev/full", "-perm", "2"})},
      {"neighbours file is an input", names({"-nbr", "s.sel"})},
  };
  for (const auto& c : cases) expect_same(c.name, c.inputs, c.args, {3});
}

// Random tables full of ties and missing values, in every mode, with and
// without a distance bound and a confidence level, at one and two threads
// per rank and at 1, 2 and 3 ranks in turn.
TEST(job, random_tables_give_kelcmds_files) {
  std::mt19937 rng(20240617);
  std::uniform_int_distribution<int> pick(0, 99);
  for (int round = 0; round < 12; ++round) {
    const files t = random_files(rng, 30 + pick(rng) * 4, round % 3 == 0);
    std::vector<std::string> args = names({"-dst", "d.txt", "-knn", std::to_string(1 + pick(rng) % 9), "-j",
                                           round % 2 ? "2" : "1"});
    if (pick(rng) < 30) args.insert(args.end(), {"-mxd", std::to_string((pick(rng) % 5) * 0.25)});
    if (pick(rng) < 30) args.push_back("-all");
    if (pick(rng) < 25) args.push_back("-pre");
    if (pick(rng) < 25) args.insert(args.end(), {"-cl", "95"});
    expect_same("round " + std::to_string(round), t, args, {static_cast<unsigned>(round % 3 + 1)});
  }
}

// The neighbours file, the JSON summary (its input digests made on rank 0
// from the bytes it broadcast, a gzip input's after decompression) and the
// placebo runs, whose searches are spread over the ranks too: kelcmd's
// files and console, timings aside. -j is given: without it the summary
// names the threads each rank had, and Open MPI binds a rank to one core
// when there are no more ranks than cores.
TEST(job, evidence_and_placebo_runs_as_kelcmd) {
  files gz = small();
  gz["d.csv.gz"] = gz.at("d.csv");
  gz.erase("d.csv");
  expect_same("small, gzip", gz,
              {"m.meta", "d.csv.gz", "s.sel", "out.csv", "-nbr", "n.csv", "-json", "s.json", "-perm", "6", "-seed",
               "5", "-dst", "d.txt", "-j", "2"});
  std::mt19937 rng(2026);
  expect_same("random, all", random_files(rng, 400, false),
              names({"-all", "-knn", "4", "-nbr", "n.csv", "-json", "s.json", "-perm", "5", "-j", "2"}), {2});
  expect_same("random, prevention", random_files(rng, 300, true),
              names({"-pre", "-knn", "3", "-mxd", "0.5", "-nbr", "n.csv", "-perm", "4", "-seed", "9"}), {3});
}

// Enough results that every worker sends several messages, while the leader
// is still searching: the order of the output rows must survive it.
TEST(job, many_results_arrive_in_row_order) {
  std::mt19937 rng(7);
  const files t = random_files(rng, 12000, false);
  expect_same("k 40", t, names({"-all", "-knn", "40", "-dst", "d.txt", "-j", "2"}), {3});
  expect_same("k 1", t, names({"-pre", "-knn", "1", "-j", "1"}), {2});
}

// Tables large enough that the ranks read them in parts, each parsing its
// own and sharing it, and share the index's trees (forced here, as tables
// that make it pay would take long): kelcmd's files, at one and two threads
// per rank. A bad row in the middle of such a table sends every rank back
// to the one-pass read, which tells the row as kelcmd does.
TEST(job, large_tables_read_in_parts_and_index_trees_shared) {
  std::mt19937 rng(31);
  files t = random_files(rng, 64000, false);
  // Three parts of at least 512 KiB each.
  ASSERT_GT(t.at("d.csv").size(), std::size_t{3} << 19) << "too small to be read in parts by three ranks";
  expect_same("index forced", t, names({"-all", "-knn", "5", "-index", "-nbr", "n.csv", "-j", "1"}), {2, 3});
  expect_same("two threads", t, names({"-knn", "3", "-dst", "d.txt", "-j", "2", "-index"}), {2});
  std::string& d = t.at("d.csv");
  const std::size_t middle = d.find('\n', d.size() / 2) + 1;
  d.insert(middle, "x\n");
  expect_same("a bad row", t, names({"-j", "1"}), {2, 3});
}

// Fewer tuples to test than ranks: some ranks search nothing, the leader
// among them.
TEST(job, fewer_tested_tuples_than_ranks) {
  const std::string m = "g,nominal\nx,continuous\nclass,nominal\n";
  const std::string d = "p,1,bad\np,2,good\nu,3,bad\nu,4,good\np,5,good\nu,6,bad\n";
  expect_same("one tested", small(m, d, "g=p\nclass=bad\nx\n"), names({"-dst", "d.txt"}), {3});
  expect_same("two tested", small(m, d, "g=p\nclass=bad\nx\n"), names({"-all", "-knn", "1"}), {3});
  expect_same("none tested", small(m, d, "g=q\nclass=bad\nx\n"), names({"-pre", "-dst", "d.txt"}), {3});
}

// Only rank 0 reads the inputs: a FIFO, a named pipe and standard input work
// as they do for kelcmd, and a compressed input that breaks off fails after
// the same lines with the same message.
TEST(job, inputs_only_rank_zero_can_read) {
  const files inputs = small();
  const outcome want = run_fresh(inputs, kelcmd(names()));
  ASSERT_EQ(want.status, 0);
  {
    auto dir = folder_with(inputs);
    const outcome got = run_in(*dir, job(3, {"m.meta", "/dev/stdin", "s.sel", "out.csv"}), dir->path("d.csv"));
    EXPECT_EQ(got.status, 0) << got.errors;
    EXPECT_EQ(got.left.at("out.csv"), want.left.at("out.csv"));
  }
  {
    auto dir = folder_with(inputs);
    ASSERT_EQ(mkfifo(dir->path("fifo.csv").c_str(), 0600), 0);
    std::thread feeder(feed_fifo, dir->path("fifo.csv"), data);
    const outcome got = run_in(*dir, job(2, {"m.meta", "fifo.csv", "s.sel", "out.csv"}));
    feeder.join();
    EXPECT_EQ(got.status, 0) << got.errors;
    EXPECT_EQ(got.left.at("out.csv"), want.left.at("out.csv"));
  }
  {
    auto dir = folder_with(inputs);
    const std::string pipe = "\\\\.\\pipe\\kel-job-" + std::to_string(getpid());
    std::thread feeder(feed_fifo, orv::inpout::fs::pipe_path(pipe), data);
    const outcome got = run_in(*dir, job(2, {"m.meta", pipe, "s.sel", "out.csv"}));
    feeder.join();
    EXPECT_EQ(got.status, 0) << got.errors;
    EXPECT_EQ(got.left.at("out.csv"), want.left.at("out.csv"));
  }
  // A gzip file cut short: the lines before the cut are read, then the error.
  std::string long_data;
  for (int i = 0; i < 4000; ++i) long_data += data;
  auto whole = folder_with({{"d.csv.gz", long_data}});
  const std::string gz = whole->read("d.csv.gz");
  files cut = small();
  cut.erase("d.csv");
  cut["cut.csv.gz"] = gz.substr(0, gz.size() / 2);
  std::vector<std::string> args{"m.meta", "cut.csv.gz", "s.sel", "out.csv"};
  const auto fresh = [&](const std::vector<std::string>& argv) {
    auto dir = folder_with(cut);
    dir->file("cut.csv.gz", gz.substr(0, gz.size() / 2));  // as it is, not compressed again
    return run_in(*dir, argv);
  };
  const outcome alone = fresh(kelcmd(args));
  EXPECT_EQ(alone.status, 1);
  EXPECT_NE(alone.console.find("read error"), std::string::npos) << alone.console;
  for (unsigned r : {1u, 3u}) {
    const outcome got = fresh(job(r, args));
    EXPECT_EQ(got.status, alone.status) << r;
    EXPECT_EQ(got.console, alone.console) << r;
  }
#ifdef KEL_WITH_JSON
  // A select-options file that breaks off after the lines the run needs:
  // with a summary every byte goes through the digest, so the run fails as
  // kelcmd's does, on every rank.
  std::string long_select = select_women;
  for (int i = 0; i < 20000; ++i) long_select += "more " + std::to_string(i * 7919 % 10007) + "\n";
  const std::string sgz = folder_with({{"s.sel.gz", long_select}})->read("s.sel.gz");
  const std::vector<std::string> sargs{"m.meta", "d.csv", "s.sel.gz", "out.csv", "-json", "s.json"};
  const auto fresh_select = [&](const std::vector<std::string>& argv) {
    auto dir = folder_with(small());
    dir->file("s.sel.gz", sgz.substr(0, sgz.size() / 2));
    return run_in(*dir, argv);
  };
  const outcome select_alone = fresh_select(kelcmd(sargs));
  EXPECT_EQ(select_alone.status, 1);
  EXPECT_NE(select_alone.console.find("cannot read s.sel.gz"), std::string::npos) << select_alone.console;
  const outcome select_job = fresh_select(job(2, sargs));
  EXPECT_EQ(select_job.status, 1) << select_job.errors;
  EXPECT_EQ(select_job.console, select_alone.console);
  EXPECT_EQ(select_job.left, select_alone.left);
#endif
}

namespace {

// The job with rank 1 started through `wrapper` (a command and its first
// arguments, which then run kelcmd-mpi with the arguments): rank 0 first,
// rank 1 so started, any further ranks plain.
std::vector<std::string> job_with(const std::vector<std::string>& wrapper, unsigned ranks,
                                  const std::vector<std::string>& args) {
  std::vector<std::string> argv{MPIEXEC_PATH, "--oversubscribe"};
  argv.insert(argv.end(), launcher_options.begin(), launcher_options.end());
  argv.insert(argv.end(), {"-n", "1", KELCMD_MPI_PATH});
  argv.insert(argv.end(), args.begin(), args.end());
  argv.insert(argv.end(), {":", "-n", "1"});
  argv.insert(argv.end(), wrapper.begin(), wrapper.end());
  argv.push_back(KELCMD_MPI_PATH);
  argv.insert(argv.end(), args.begin(), args.end());
  if (ranks > 2) {
    argv.insert(argv.end(), {":", "-n", std::to_string(ranks - 2), KELCMD_MPI_PATH});
    argv.insert(argv.end(), args.begin(), args.end());
  }
  return argv;
}

// A wrapper that gives its program allocations of at most `bytes`.
std::vector<std::string> short_of_memory(std::size_t bytes) {
  return {"env", std::string("LD_PRELOAD=") + ALLOC_LIMIT_PATH, "KEL_ALLOC_LIMIT=" + std::to_string(bytes)};
}

}  // namespace

// One worker that runs out of memory, while reading or while searching, ends
// the job: rank 0 prints the one message a run in one process would print
// there, and every rank ends with status 1.
TEST(job, a_failure_on_one_rank_ends_the_job_with_one_message) {
#if KEL_SANITIZED
  GTEST_SKIP() << "the sanitizer's allocator must come first; nothing may be preloaded before it";
#endif
  const std::string rows = spread_table(100000);  // 1.7 MB
  const outcome reading =
      run_fresh(small(spread_meta, rows, spread_select), job_with(short_of_memory(1 << 20), 3, names()));
  EXPECT_EQ(reading.status, 1) << reading.errors;
  EXPECT_EQ(reading.console, "no atts: 4\nout of memory while reading the data file d.csv\n");
  EXPECT_FALSE(reading.left.contains("out.csv"));

  // 32 queries' neighbour lists of 1500 rows each outgrow the limit.
  const outcome searching = run_fresh(small(spread_meta, spread_table(3000), spread_select),
                                      job_with(short_of_memory(512 << 10), 2, names({"-all", "-knn", "3000"})));
  EXPECT_EQ(searching.status, 1) << searching.errors;
  EXPECT_EQ(searching.console,
            "no atts: 4\nno rows: 3000\nreading data elapsed time:  T secs.\nno. protected 1500\n"
            "no. unprotected 1500\nout of memory while testing for discrimination\n");
  EXPECT_EQ(searching.left.at("out.csv"), "");
}

// An output that fails on rank 0 while the workers search: they are stopped,
// and the job ends as kelcmd does.
TEST(job, an_output_that_fails_stops_every_rank) {
  std::mt19937 rng(11);
  expect_same("full device", random_files(rng, 12000, false), {"m.meta", "d.csv", "s.sel", "/dev/full", "-all"},
              {3});
}

// A rank that dies ends the job with a nonzero status (mpirun stops the
// others and says which rank died), and the output file holds only complete
// rows.
TEST(job, a_rank_that_dies_ends_the_job) {
  auto dir = folder_with(small(spread_meta, spread_table(60000), spread_select));
  const testing_support::scratch_dir side;
  const std::vector<std::string> record_pid{"sh", "-c", "echo $$ > worker.pid; exec \"$@\"", "sh"};
  const pid_t pid = start(*dir, side, job_with(record_pid, 2, names({"-knn", "3", "-all", "-j", "1"})));
  ASSERT_GT(pid, 0);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while ((dir->read("out.csv").size() < 200 || dir->read("worker.pid").empty()) &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  const std::string worker = dir->read("worker.pid");
  ASSERT_FALSE(worker.empty());
  kill(std::stoi(worker), SIGKILL);
  const int status = finish(pid);
  EXPECT_NE(status, 0);
  EXPECT_NE(status, -1);
  EXPECT_NE(side.read("err").find("exited on signal 9"), std::string::npos) << side.read("err");
  expect_complete_rows(dir->read("out.csv"));
}
