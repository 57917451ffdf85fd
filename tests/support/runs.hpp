// What the tests of whole runs share: the small hand-checked table and what
// the default mode makes of it, a larger table with neighbours everywhere,
// and a feeder for FIFOs.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "support/support.hpp"

namespace testing_support {

inline const char* const meta =
    "age,continuous\nsex,nominal\neducation,ordinal,primary,secondary,tertiary\nid,ignore\nclass,nominal\n";

// Women with the same education and age band as men are refused more often.
inline const char* const data =
    "30,f,primary,1,bad\n32,f,primary,2,bad\n31,m,primary,3,good\n33,m,primary,4,bad\n50,f,tertiary,5,good\n"
    "52,f,?,6,bad\n51,m,tertiary,7,good\n?,m,tertiary,8,good\n40,?,secondary,9,bad\n41.5,f,secondary,10,bad\n";

inline const char* const select_women = "sex=f\nclass=bad\nage,education\ngood\n";

// What the default mode writes for it, with -md and with -dst.
inline const char* const expected_women =
    "30,f,primary,1,bad,0.5,yes\n32,f,primary,2,bad,0.5,yes\n52,f,?,6,bad,0,no\n41.5,f,secondary,10,bad,0,no\n";
inline const char* const metadata_back =
    "age,continuous\nsex,nominal,f,m\neducation,ordinal,primary,secondary,tertiary\nid,ignore\nclass,nominal,bad,good\n";
inline const char* const histogram = "0.5\t2\t0.5\t0.5\t2\n0\t2\t0.5\t1\t4\n";

// A fresh folder holding the three inputs, removed when the object goes.
class folder : public scratch_dir {
 public:
  explicit folder(const std::string& m = meta, const std::string& d = data, const std::string& s = select_women) {
    file("m.meta", m);
    file("d.csv", d);
    file("s.sel", s);
  }
  // The file's bytes, or "-" when there is no such file.
  std::string stored(const std::string& name) const { return exists(name) ? read(name) : "-"; }
};

// The three inputs and the output, then the options.
inline std::vector<std::string> names(std::vector<std::string> options = {}, const std::string& output = "out.csv") {
  options.insert(options.begin(), {"m.meta", "d.csv", "s.sel", output});
  return options;
}

// rows lines, every other one protected, classes and values spread so that
// every tuple has neighbours in both groups.
inline std::string spread_table(unsigned rows) {
  std::string text;
  for (unsigned r = 0; r < rows; ++r)
    text += std::string(r % 2 ? "p," : "u,") + std::to_string(r % 97) + "," + (r % 3 ? "a" : "b") + "," +
            (r % 5 ? "good" : "bad") + "\n";
  return text;
}
inline const char* const spread_meta = "g,nominal\nx,continuous\ny,nominal\nclass,nominal\n";
inline const char* const spread_select = "g=p\nclass=bad\nx,y\n";

// Writes text into a FIFO once its reader is there (in one write: it is
// shorter than PIPE_BUF); gives up after a while so that a failing run cannot
// hang the test.
inline void feed_fifo(const std::string& path, const std::string& text) {
  for (int tries = 0; tries < 3000; ++tries) {
    if (const int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC); fd >= 0) {
      fcntl(fd, F_SETFL, 0);
      EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
      close(fd);
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// An output of the default modes cut off by a stop: a prefix of whole rows,
// each with the small table's four values, the diff and the verdict.
inline void expect_complete_rows(const std::string& out) {
  ASSERT_FALSE(out.empty());
  EXPECT_EQ(out.back(), '\n');
  std::istringstream rows(out);
  for (std::string row; std::getline(rows, row);) {
    EXPECT_EQ(std::count(row.begin(), row.end(), ','), 5) << row;
    EXPECT_TRUE(row.ends_with(",yes") || row.ends_with(",no")) << row;
  }
}

}  // namespace testing_support
