// Helpers every test binary shares: a scratch folder, whole files as text,
// the message of a thrown error, console text without its timings, and
// text served through a connection in memory, in reads of any size.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "io/ioconn.hpp"
#include "io/stream.hpp"
#include "support/scratch.hpp"

namespace testing_support {

// One scratch folder for the whole test binary.
inline const scratch_dir& scratch() {
  static const scratch_dir dir;
  return dir;
}

// What write puts into a file of the name it is given.
template <class F>
std::string written(F&& write, const std::string& name = "written") {
  const std::string path = scratch().path(name);
  write(path);
  std::string bytes = read_file(path);
  std::filesystem::remove(path);
  return bytes;
}

// The message of the error a call raises, or "no error".
template <class F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "no error";
}

// Console text with the timings (which differ from run to run) replaced by T.
inline std::string without_timings(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size();) {
    if (text.compare(i, 15, "elapsed time:  ") == 0 || text.compare(i, 15, "time per 100 = ") == 0) {
      out.append(text, i, 15).push_back('T');  // both labels are 15 characters long
      i = std::min(text.find_first_not_of("0123456789.-+e", i + 15), text.size());
    } else {
      out += text[i++];
    }
  }
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

// The text as a line stream, the way the program reads its inputs, without a file.
inline std::unique_ptr<orv::inpout::stream> text_stream(const std::string& text, char separator = ',',
                                                        std::size_t chunk = 1 << 30, int capacity = 16384) {
  return std::make_unique<orv::inpout::stream>(new textconn(text, chunk), true, separator, capacity);
}

using lines = std::vector<std::string>;

inline lines read_lines(orv::inpout::stream& s) {
  lines out;
  while (s.read_line()) out.emplace_back(s.line());
  return out;
}

inline lines lines_of(const std::string& text, std::size_t chunk = 1 << 30, int capacity = 16384) {
  return read_lines(*text_stream(text, ',', chunk, capacity));
}

}  // namespace testing_support
