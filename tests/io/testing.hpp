// Helpers of the io tests: scratch files, thrown messages, lines, a chunked or failing connection.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "io/stream.hpp"
#include "util/error.hpp"

namespace iotest {

// A fresh directory, removed with its contents when the binary ends.
inline const std::string& scratch() {
  static struct dir {
    std::string path = std::filesystem::temp_directory_path() / "kel-io-test-XXXXXX";
    dir() { EXPECT_NE(mkdtemp(path.data()), nullptr) << path; }
    ~dir() { std::filesystem::remove_all(path); }
  } d;
  return d.path;
}

inline std::string path(const std::string& name) { return scratch() + "/" + name; }
inline void write_file(const std::string& name, const std::string& bytes) {
  std::ofstream(name, std::ios::binary | std::ios::trunc) << bytes;
}
inline std::string read_file(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

inline std::string thrown(auto&& f) {
  try {
    f();
  } catch (const orv::util::error& e) {
    return e.what();
  }
  return "(nothing thrown)";
}

using lines = std::vector<std::string>;
inline lines read_lines(orv::inpout::stream& s) {
  lines out;
  while (s.read_line()) out.emplace_back(s.line());
  return out;
}

// Serves text at most chunk bytes per read; reads at or past fail_at fail.
class textconn : public orv::inpout::ioconn {
 public:
  explicit textconn(std::string text, std::size_t chunk = 1 << 30, std::size_t fail_at = std::string::npos)
      : text_(std::move(text)), chunk_(chunk), fail_at_(fail_at) {}
  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  int mode() const override { return orv::inpout::READ; }
  int write(const void*, int) override { return -1; }
  int read(void* buf, int n) override {
    if (n <= 0) return 0;
    if (pos_ >= fail_at_) return -1;
    const std::size_t take = std::min({static_cast<std::size_t>(n), chunk_, text_.size() - pos_, fail_at_ - pos_});
    std::memcpy(buf, text_.data() + pos_, take);
    pos_ += take;
    return static_cast<int>(take);
  }
  std::string error_text() const override { return "test: broken"; }

 private:
  std::string text_;
  std::size_t pos_ = 0, chunk_, fail_at_;
  bool open_ = true;
};

inline lines lines_of(const std::string& text, std::size_t chunk = 1 << 30, int capacity = 16384) {
  orv::inpout::stream s(new textconn(text, chunk), true, ',', capacity);
  return read_lines(s);
}

}  // namespace iotest
