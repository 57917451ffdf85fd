// Shared pieces of the fuzz targets: a connection that serves the fuzzer's
// bytes in reads of random sizes (the way a pipe or a slow disk hands them
// out), a line stream over it, and a console that swallows everything.
//
// The chunk sizes come from a small generator seeded by the target, so a
// crashing input replays with the same reads. A read never returns 0 before
// the end of the bytes, since 0 means the end of the input.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <string_view>

#include "io/ioconn.hpp"
#include "io/stream.hpp"

namespace kelfuzz {

class chunkconn : public orv::inpout::ioconn {
 public:
  // max_chunk >= 1; the bytes are copied, the caller's may go away.
  chunkconn(std::string_view bytes, std::uint32_t seed, int max_chunk)
      : bytes_(bytes), state_(seed | 1u), max_chunk_(std::max(max_chunk, 1)) {}

  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  int mode() const override { return orv::inpout::SEQUENTIAL | orv::inpout::READ; }
  bool eof() override { return at_ == bytes_.size(); }
  bool rewind() override {
    at_ = 0;
    return true;
  }
  int write(const void*, int) override { return -1; }
  int read(void* buf, int n) override {
    if (n <= 0 || at_ == bytes_.size()) return 0;
    const std::size_t chunk = 1 + next() % static_cast<std::uint32_t>(max_chunk_);
    const std::size_t take = std::min({static_cast<std::size_t>(n), chunk, bytes_.size() - at_});
    std::memcpy(buf, bytes_.data() + at_, take);
    at_ += take;
    return static_cast<int>(take);
  }
  std::int64_t tell() override { return static_cast<std::int64_t>(at_); }
  std::int64_t size() override { return static_cast<std::int64_t>(bytes_.size()); }

 private:
  std::uint32_t next() {
    // xorshift32: cheap and deterministic.
    state_ ^= state_ << 13;
    state_ ^= state_ >> 17;
    state_ ^= state_ << 5;
    return state_;
  }

  std::string bytes_;
  std::size_t at_ = 0;
  std::uint32_t state_;
  int max_chunk_;
  bool open_ = true;
};

// A stream that owns a chunkconn over the bytes. The program opens every
// input with a 16,384-byte buffer; small capacities make the doubling path
// run on small inputs.
inline std::unique_ptr<orv::inpout::stream> stream_over(std::string_view bytes, char separator = ',',
                                                         int capacity = 16384, std::uint32_t seed = 1,
                                                         int max_chunk = 16384) {
  return std::make_unique<orv::inpout::stream>(new chunkconn(bytes, seed, max_chunk), true, separator, capacity);
}

// An ostream without a buffer: everything written to it is dropped.
inline std::ostream& null_console() {
  static std::ostream console(nullptr);
  console.clear();
  return console;
}

// Aborts with a message, so that a broken property shows up as a crash.
[[noreturn]] inline void broken(const char* what) {
  std::fputs(what, stderr);
  std::fputc('\n', stderr);
  std::abort();
}

}  // namespace kelfuzz
