// An output file that appears whole or not at all: the bytes go to a fresh
// temporary file beside the target, which commit() renames over the target.
// A failed or interrupted import therefore never leaves a half-written table
// where the user expects a complete one, and never empties an existing file
// before the new one is ready. Dropped without commit(), the temporary file
// is removed.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "util/nocopy.hpp"

namespace kelimport {

class staged_file : private orv::util::nocopy {
 public:
  // Throws orv::util::error "cannot create output file <target>: <reason>".
  explicit staged_file(std::string target);
  ~staged_file();

  void write(std::string_view bytes) {
    if (bytes.size() > buffer_.size() - used_) {
      flush();
      if (bytes.size() > buffer_.size()) {
        write_through(bytes);
        return;
      }
    }
    bytes.copy(buffer_.data() + used_, bytes.size());
    used_ += bytes.size();
  }
  void put(char c) {
    if (used_ == buffer_.size()) flush();
    buffer_[used_++] = c;
  }

  // Writes what is buffered and gives the file its final name. Throws
  // "cannot write output file <target>: <reason>".
  void commit();
  const std::string& target() const { return target_; }

 private:
  void flush();
  void write_through(std::string_view bytes);
  [[noreturn]] void fail(int err) const;

  std::string target_;
  std::string temporary_;
  int fd_ = -1;
  std::vector<char> buffer_;
  std::size_t used_ = 0;
};

// True when both names exist and are the same file (a link included).
bool same_file(const std::string& a, const std::string& b);

}  // namespace kelimport
