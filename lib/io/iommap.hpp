// iommap: reads a file through a sliding memory-mapped view instead of a
// buffer. The view starts at a multiple of the allocation granularity
// (fs::allocation_granularity(): 64 KiB on every common system) and spans up
// to four windows; reading or seeking past it maps the next one. Seeks inside
// the view cost nothing.
//
// The view is owned by the connection and valid until the next remap; the
// line of read_line() lives in an owned buffer until the next read_line().
// Writing is not supported. A seek beyond the end lands on the end; a
// negative target is refused with -1.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "io/iofile.hpp"

namespace orv::inpout {

class iommap : public ioconn {
 public:
  iommap();
  ~iommap() override;

  void close() override;
  bool eof() override;
  bool is_open() const override { return file_.is_open(); }
  int mode() const override { return file_.mode(); }
  // Throws "iommap::write not implemented yet".
  int write(const void* buf, int n) override;
  int read(void* buf, int n) override;
  bool is_file() const override { return true; }
  std::int64_t lseek(std::int64_t offset, int whence) override;
  std::int64_t tell() override { return static_cast<std::int64_t>(start_) + cursor_; }
  std::int64_t size() override { return file_.size(); }

  // The next line without its line feed (a carriage return stays); false
  // when no data is left.
  bool read_line();
  // The line of the last successful read_line; null before the first.
  const char* line() const { return line_; }
  bool open(const std::string& name, int flags, int perm);
  int window() const { return window_; }
  // The window becomes the largest multiple of the granularity not above
  // bytes, at least one granularity; the next remap uses it.
  int set_window(int bytes);
  std::int64_t resize(std::int64_t length);
  // Maps the view at the start. Throws "iommap::remap failed." (after an "@@"
  // line on standard output) when the view cannot be mapped.
  void remap();

  // The mapped view and the cursor in it, for the integer decoders.
  const unsigned char* view() const { return view_; }
  int view_length() const { return view_length_; }
  int cursor() const { return cursor_; }
  void set_cursor(int c) { cursor_ = c; }

  // Remaps done by all iommap objects of the process.
  static long remap_count() { return remaps_.load(); }

 private:
  void unmap_view();

  iofile file_;
  unsigned char* view_ = nullptr;
  int view_length_ = 0;
  int window_;
  std::uint64_t start_ = 0;
  int cursor_ = 0;
  char* line_ = nullptr;
  int line_capacity_ = 0;

  static std::atomic<long> remaps_;
};

}  // namespace orv::inpout
