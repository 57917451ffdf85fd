// Whole runs of the real binary on small hand-checked files: console lines,
// output files byte for byte, exit statuses, and every case that must fail.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <thread>

#include "../timing_text.hpp"
#include "io/fs.hpp"

#include "run_binary.hpp"

using kelcmd::testing::outcome;
using kelcmd::testing::run_kelcmd;
using kelcmd::testing::scratch;
using kel::testing::without_timings;

namespace {

const char* const meta =
    "age,continuous\n"
    "sex,nominal\n"
    "education,ordinal,primary,secondary,tertiary\n"
    "id,ignore\n"
    "class,nominal\n";

// Women with the same education and age band as men are refused more often.
const char* const data =
    "30,f,primary,1,bad\n"
    "32,f,primary,2,bad\n"
    "31,m,primary,3,good\n"
    "33,m,primary,4,bad\n"
    "50,f,tertiary,5,good\n"
    "52,f,?,6,bad\n"
    "51,m,tertiary,7,good\n"
    "?,m,tertiary,8,good\n"
    "40,?,secondary,9,bad\n"
    "41.5,f,secondary,10,bad\n";

const char* const select_women = "sex=f\nclass=bad\nage,education\ngood\n";

// What the default mode writes for it.
const char* const expected_women =
    "30,f,primary,1,bad,0.5,yes\n32,f,primary,2,bad,0.5,yes\n52,f,?,6,bad,0,no\n"
    "41.5,f,secondary,10,bad,0,no\n";

struct golden {
  const char* name;
  std::vector<std::string> options;
  std::string console;
  std::string output;
};

}  // namespace

TEST(golden, modes_on_a_small_table) {
  const std::string header =
      "no atts: 5\nno rows: 10\nreading data elapsed time:  T secs.\nno. protected 5\nno. unprotected 4\n";
  const golden cases[] = {
      {"default",
       {},
       header + "output: 5 acond cases, 4 class value, 2 discriminated.\nother elapsed time:  T secs.\n",
       "30,f,primary,1,bad,0.5,yes\n"
       "32,f,primary,2,bad,0.5,yes\n"
       "52,f,?,6,bad,0,no\n"
       "41.5,f,secondary,10,bad,0,no\n"},
      {"all",
       {"-all"},
       header + "output: 5 acond cases, 4 class value, 2 discriminated.\nother elapsed time:  T secs.\n",
       "30,f,primary,1,bad,0.5,yes\n"
       "32,f,primary,2,bad,0.5,yes\n"
       "50,f,tertiary,5,good,-1,no\n"
       "52,f,?,6,bad,0,no\n"
       "41.5,f,secondary,10,bad,0,no\n"},
      {"prevention",
       {"-pre", "-all"},
       header + "output: 5 acond cases, 4 class value, 2 discriminated.\nother elapsed time:  T secs.\n",
       "30,f,primary,1,good\n"
       "32,f,primary,2,good\n"
       "50,f,tertiary,5,good\n"
       "52,f,?,6,bad\n"
       "41.5,f,secondary,10,bad\n"
       "31,m,primary,3,good\n"
       "33,m,primary,4,bad\n"
       "51,m,tertiary,7,good\n"
       "?,m,tertiary,8,good\n"
       "40,?,secondary,9,bad\n"},
      {"confidence",
       {"-cl", "95", "-knn", "2"},
       header + "output: 5 acond cases, 4 class value, 0 discriminated.\nother elapsed time:  T secs.\n",
       "30,f,primary,1,bad,0,no\n"
       "32,f,primary,2,bad,0,no\n"
       "52,f,?,6,bad,0,no\n"
       "41.5,f,secondary,10,bad,0,no\n"},
  };
  for (const auto& c : cases) {
    scratch dir;
    dir.file("m.meta", meta);
    dir.file("d.csv", data);
    dir.file("s.sel", select_women);
    std::vector<std::string> args{"m.meta", "d.csv", "s.sel", "out.csv"};
    args.insert(args.end(), c.options.begin(), c.options.end());
    const outcome r = run_kelcmd(dir, args);
    EXPECT_EQ(r.status, 0) << c.name;
    EXPECT_EQ(without_timings(r.out), c.console) << c.name;
    EXPECT_EQ(dir.read("out.csv"), c.output) << c.name;
  }
}

TEST(golden, metadata_and_distribution_files) {
  scratch dir;
  dir.file("m.meta", meta);
  dir.file("d.csv", data);
  dir.file("s.sel", select_women);
  const outcome r = run_kelcmd(dir, {"m.meta", "d.csv", "s.sel", "out.csv", "-md", "back.meta", "-dst", "d.txt"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("back.meta"),
            "age,continuous\nsex,nominal,f,m\neducation,ordinal,primary,secondary,tertiary\nid,ignore\n"
            "class,nominal,bad,good\n");
  EXPECT_EQ(dir.read("d.txt"), "0.5\t2\t0.5\t0.5\t2\n0\t2\t0.5\t1\t4\n");
}

TEST(golden, gzip_input_and_separator) {
  scratch dir;
  dir.file("m.meta", meta);
  std::string semicolons = data;
  for (char& ch : semicolons)
    if (ch == ',') ch = ';';
  gzFile gz = gzopen(dir.path("d.csv.gz").c_str(), "wb");
  gzwrite(gz, semicolons.data(), static_cast<unsigned>(semicolons.size()));
  gzclose(gz);
  dir.file("s.sel", select_women);
  const outcome r = run_kelcmd(dir, {"m.meta", "d.csv.gz", "s.sel", "out.csv", "-sep", ";"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("out.csv"), expected_women);
}

namespace {

// Writes text into a FIFO once its reader is there; gives up after a while
// so that a failing run cannot hang the test.
void feed_fifo(const std::string& path, const std::string& text) {
  for (int tries = 0; tries < 1000; ++tries) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd >= 0) {
      fcntl(fd, F_SETFL, 0);
      for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
      close(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

}  // namespace

TEST(golden, fifo_and_named_pipe_inputs) {
  scratch dir;
  dir.file("m.meta", meta);
  dir.file("s.sel", select_women);

  ASSERT_EQ(mkfifo(dir.path("fifo.csv").c_str(), 0600), 0);
  std::thread plain(feed_fifo, dir.path("fifo.csv").string(), std::string(data));
  outcome r = run_kelcmd(dir, {"m.meta", "fifo.csv", "s.sel", "out.csv"});
  plain.join();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("out.csv"), expected_women);

  const std::string name = "\\\\.\\pipe\\kel-golden-" + std::to_string(getpid());
  const std::string path = orv::inpout::fs::pipe_path(name);
  ASSERT_FALSE(path.empty());
  std::thread named(feed_fifo, path, std::string(data));
  r = run_kelcmd(dir, {"m.meta", name, "s.sel", "out2.csv"});
  named.join();
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("out2.csv"), expected_women);
}

TEST(golden, failures_end_with_their_message_and_status_1) {
  const struct {
    const char* name;
    std::string meta, data, select;
    std::vector<std::string> files;  // overrides of the four names when not empty
    std::string console;
    bool output_created;
  } cases[] = {
      {"missing data", meta, "", select_women, {"m.meta", "missing.csv", "s.sel", "out.csv"},
       "no atts: 5\nFile: missing.csv not found or inaccessible\n", false},
      {"missing gzip", meta, "", select_women, {"m.meta", "missing.csv.gz", "s.sel", "out.csv"},
       "no atts: 5\nFile: missing.csv.gz not found or inaccessible\n", false},
      {"bad metadata", "age,continuous\nsex,nominl\n", data, select_women, {},
       "bad syntax: sex,nominl\n", false},
      {"bad row", meta, "30,f,primary,1,bad\n31,m,primary,3\n", select_women, {},
       "no atts: 5\nbad row: 2\n", false},
      {"bad item", meta, data, "sex<f\nclass=bad\nage\n", {}, "no atts: 5\nno rows: 10\nnot an itemsex<f\n", false},
      {"ignored measure", meta, data, "sex=f\nclass=bad\nage,id\n", {},
       "no atts: 5\nno rows: 10\nreading data elapsed time:  T secs.\nno. protected 5\nno. unprotected 4\n"
       "attribute type ignore\n",
       true},
      {"output folder", meta, data, select_women, {"m.meta", "d.csv", "s.sel", "no/such/out.csv"},
       "no atts: 5\nno rows: 10\nreading data elapsed time:  T secs.\nno. protected 5\nno. unprotected 4\n"
       "cannot create output file no/such/out.csv: No such file or directory\n",
       false},
      {"full device", meta, data, select_women, {"m.meta", "d.csv", "s.sel", "/dev/full"},
       "no atts: 5\nno rows: 10\nreading data elapsed time:  T secs.\nno. protected 5\nno. unprotected 4\n"
       "cannot write output file /dev/full: No space left on device\n",
       false},
  };
  for (const auto& c : cases) {
    scratch dir;
    dir.file("m.meta", c.meta);
    dir.file("d.csv", c.data);
    dir.file("s.sel", c.select);
    const std::vector<std::string> args =
        c.files.empty() ? std::vector<std::string>{"m.meta", "d.csv", "s.sel", "out.csv"} : c.files;
    const outcome r = run_kelcmd(dir, args);
    EXPECT_EQ(r.status, 1) << c.name;
    EXPECT_EQ(without_timings(r.out), c.console) << c.name;
    EXPECT_EQ(dir.exists("out.csv"), c.output_created) << c.name;
  }
}
