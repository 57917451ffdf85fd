// Whole runs of the real binary on small hand-checked files: console lines,
// output files byte for byte, exit statuses, and every case that must fail.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "../timing_text.hpp"
#include "io/fs.hpp"
#include "run_binary.hpp"

using kel::testing::without_timings;
using kelcmd::testing::outcome;
using kelcmd::testing::run_kelcmd;
using kelcmd::testing::scratch;

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

// A scratch folder holding the three input files.
struct inputs : scratch {
  explicit inputs(const std::string& m = meta, const std::string& d = data, const std::string& s = select_women) {
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
    "\n"
    "(*) .gz files are automatically gunzipped.\n";

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
  } cases[] = {
      {"default", names(), 0, finished(2), expected_women},
      {"all", names({"-all"}), 0, finished(2),
       "30,f,primary,1,bad,0.5,yes\n32,f,primary,2,bad,0.5,yes\n50,f,tertiary,5,good,-1,no\n52,f,?,6,bad,0,no\n"
       "41.5,f,secondary,10,bad,0,no\n"},
      {"prevention", names({"-pre", "-all"}), 0, finished(2),
       "30,f,primary,1,good\n32,f,primary,2,good\n50,f,tertiary,5,good\n52,f,?,6,bad\n41.5,f,secondary,10,bad\n"
       "31,m,primary,3,good\n33,m,primary,4,bad\n51,m,tertiary,7,good\n?,m,tertiary,8,good\n40,?,secondary,9,bad\n"},
      {"confidence", names({"-cl", "95", "-knn", "2"}), 0, finished(0),
       "30,f,primary,1,bad,0,no\n32,f,primary,2,bad,0,no\n52,f,?,6,bad,0,no\n41.5,f,secondary,10,bad,0,no\n"},
      {"usage", {"m.meta", "d.csv", "out.csv"}, 0, usage, "-"},
      {"missing data", {"m.meta", "missing.csv", "s.sel", "out.csv"}, 1,
       "no atts: 5\nFile: missing.csv not found or inaccessible\n", "-"},
      {"missing gzip", {"m.meta", "missing.csv.gz", "s.sel", "out.csv"}, 1,
       "no atts: 5\nFile: missing.csv.gz not found or inaccessible\n", "-"},
      {"bad metadata", names(), 1, "bad syntax: sex,nominl\n", "-", "age,continuous\nsex,nominl\n"},
      {"bad row", names(), 1, "no atts: 5\nbad row: 2\n", "-", meta, "30,f,primary,1,bad\n31,m,primary,3\n"},
      {"bad item", names(), 1, "no atts: 5\nno rows: 10\nnot an itemsex<f\n", "-", meta, data,
       "sex<f\nclass=bad\nage\n"},
      {"ignored measure", names(), 1, groups_read + "attribute type ignore\n", "", meta, data,
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
      {"empty separator", names({"-md", "meta.out", "-sep", ""}), 255, "Option -sep needs a non-empty separator\n",
       "-"},
  };
  for (const auto& c : cases) {
    inputs dir(c.m, c.d, c.s);
    const outcome r = run_kelcmd(dir, c.args);
    EXPECT_EQ(r.status, c.status) << c.name;
    EXPECT_EQ(without_timings(r.out), c.console) << c.name;
    EXPECT_EQ(dir.exists("out.csv") ? dir.read("out.csv") : "-", c.output) << c.name;
    EXPECT_FALSE(dir.exists("meta.out")) << c.name;
  }
}

TEST(golden, metadata_and_distribution_files) {
  inputs dir;
  const outcome r = run_kelcmd(dir, names({"-md", "back.meta", "-dst", "d.txt"}));
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("back.meta"),
            "age,continuous\nsex,nominal,f,m\neducation,ordinal,primary,secondary,tertiary\nid,ignore\n"
            "class,nominal,bad,good\n");
  EXPECT_EQ(dir.read("d.txt"), "0.5\t2\t0.5\t0.5\t2\n0\t2\t0.5\t1\t4\n");
}

TEST(golden, gzip_input_and_separator) {
  inputs dir;
  std::string semicolons = data;
  std::replace(semicolons.begin(), semicolons.end(), ',', ';');
  gzFile gz = gzopen(dir.path("d.csv.gz").c_str(), "wb");
  gzwrite(gz, semicolons.data(), static_cast<unsigned>(semicolons.size()));
  gzclose(gz);
  const outcome r = run_kelcmd(dir, {"m.meta", "d.csv.gz", "s.sel", "out.csv", "-sep", ";"});
  EXPECT_EQ(r.status, 0) << r.out;
  EXPECT_EQ(dir.read("out.csv"), expected_women);
}

// Writes text into a FIFO once its reader is there; gives up after a while
// so that a failing run cannot hang the test.
void feed_fifo(const std::string& path, const std::string& text) {
  for (int tries = 0; tries < 1000; ++tries) {
    const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK);
    if (fd < 0) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    fcntl(fd, F_SETFL, 0);
    for (std::size_t done = 0; done < text.size();) {
      const ssize_t n = write(fd, text.data() + done, text.size() - done);
      if (n <= 0) break;
      done += static_cast<std::size_t>(n);
    }
    close(fd);
    return;
  }
}

TEST(golden, fifo_and_named_pipe_inputs) {
  inputs dir;
  ASSERT_EQ(mkfifo(dir.path("fifo.csv").c_str(), 0600), 0);
  const std::string pipe = "\\\\.\\pipe\\kel-golden-" + std::to_string(getpid());
  ASSERT_FALSE(orv::inpout::fs::pipe_path(pipe).empty());
  const struct {
    std::string name, path, output;
  } sources[] = {{"fifo.csv", dir.path("fifo.csv").string(), "out1.csv"},
                 {pipe, orv::inpout::fs::pipe_path(pipe), "out2.csv"}};
  for (const auto& [name, path, output] : sources) {
    std::thread feeder(feed_fifo, path, std::string(data));
    const outcome r = run_kelcmd(dir, {"m.meta", name, "s.sel", output});
    feeder.join();
    EXPECT_EQ(r.status, 0) << name << ": " << r.out;
    EXPECT_EQ(dir.read(output), expected_women) << name;
  }
}
