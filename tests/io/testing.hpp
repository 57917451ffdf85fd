// Helpers shared by the io tests: a scratch directory per test binary and a
// text connection that hands out its bytes in chunks of a chosen size, with an
// optional failure, for testing readers without the disk.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "io/ioconn.hpp"

namespace iotest {

// A fresh directory, removed with everything in it at the end of the binary.
inline const std::string& scratch() {
  static struct dir {
    std::string path;
    dir() {
      const char* t = getenv("TMPDIR");
      std::string tmpl = std::string(t && *t ? t : "/tmp") + "/kel-io-test-XXXXXX";
      path = mkdtemp(tmpl.data());
    }
    ~dir() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
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

// Serves text at most chunk bytes per read; after fail_after bytes, reads
// fail with -1.
class textconn : public orv::inpout::ioconn {
 public:
  explicit textconn(std::string text, int chunk = 1 << 30, long fail_after = -1, bool* deleted = nullptr)
      : text_(std::move(text)), chunk_(chunk), fail_after_(fail_after), deleted_(deleted) {}
  ~textconn() override {
    if (deleted_) *deleted_ = true;
  }
  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  int mode() const override { return orv::inpout::READ; }
  int write(const void*, int) override { return -1; }
  int read(void* buf, int n) override {
    if (n <= 0) return 0;
    if (fail_after_ >= 0 && static_cast<long>(pos_) >= fail_after_) return -1;
    std::size_t take = std::min<std::size_t>({static_cast<std::size_t>(n), static_cast<std::size_t>(chunk_),
                                              text_.size() - pos_});
    if (fail_after_ >= 0) take = std::min<std::size_t>(take, static_cast<std::size_t>(fail_after_) - pos_);
    std::memcpy(buf, text_.data() + pos_, take);
    pos_ += take;
    return static_cast<int>(take);
  }
  std::int64_t lseek(std::int64_t offset, int whence) override {
    std::int64_t base = whence == orv::inpout::LSEEK_SET ? 0
                        : whence == orv::inpout::LSEEK_CUR ? static_cast<std::int64_t>(pos_)
                                                           : static_cast<std::int64_t>(text_.size());
    pos_ = static_cast<std::size_t>(base + offset);
    return base + offset;
  }
  std::string error_text() const override { return "test: broken"; }

 private:
  std::string text_;
  std::size_t pos_ = 0;
  int chunk_;
  long fail_after_;
  bool* deleted_;
  bool open_ = true;
};

}  // namespace iotest
