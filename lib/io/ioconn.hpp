// The byte connection: one abstract interface through which every byte of the
// program is read or written, whatever lies behind it (a file, a pipe, a gzip
// file, a memory map, a memory block, a buffer over another connection).
//
// Contract of the operations:
// - read(buf, n) hands out at most n bytes: the count, 0 at the end of the
//   data (or for n <= 0), -1 on failure. A short read is not the end; only 0
//   is. write(buf, n) answers the count written (n <= 0 writes nothing) or -1.
// - Positions, sizes and offsets are signed 64-bit; lseek answers the new
//   position or -1, and connections without positions throw
//   "lseek not available".
// - open() of every concrete class closes first and answers a bool; opening
//   failures are never thrown. close() releases everything, the object can be
//   opened again; destructors close.
// Connections are never copied: they are handled by pointer, and whoever
// wraps one (a buffer, a line stream) is told by an owner flag whether it
// closes and deletes it.
#pragma once

#include <cstdint>
#include <string>

#include "util/nocopy.hpp"

namespace orv::inpout {

// Open flags, a plain int bit set.
constexpr int SEQUENTIAL = 1;  // access hint: sequential scan
constexpr int READ = 2;
constexpr int WRITE = 4;
constexpr int APPEND = 8;      // position at the end after opening
constexpr int SHARE = 16;      // let other openers share the access requested
constexpr int CREATE = 32;     // create a missing file
constexpr int TRUNCATE = 64;   // empty the file on opening

// Seek origins.
constexpr int LSEEK_SET = 0;
constexpr int LSEEK_CUR = 1;
constexpr int LSEEK_END = 2;

class positional;

class ioconn : public orv::util::nocopy {
 public:
  virtual ~ioconn() = default;

  virtual void close() = 0;
  // Default: tell() == size().
  virtual bool eof();
  virtual bool is_open() const = 0;
  virtual int mode() const = 0;
  // Default: lseek(0, LSEEK_SET) == 0.
  virtual bool rewind();
  virtual int write(const void* buf, int n) = 0;
  // The text up to its zero, then one line feed, as two writes; the sum of
  // both results.
  virtual int write_line(const char* text);
  // Copies up to n bytes of src through a 64 KiB buffer; answers the bytes
  // written. Stops early at the end of src or when a write fails.
  virtual std::int64_t copy_from(ioconn& src, std::int64_t n);
  // Copies everything src still yields; answers the bytes written.
  virtual std::int64_t copy_all_from(ioconn& src);
  virtual int read(void* buf, int n) = 0;
  virtual bool is_file() const { return false; }
  // The connection's positional reads when it can be read at any offset by
  // several threads at once; null otherwise (the default).
  virtual const positional* as_positional() const { return nullptr; }
  // Default: throws "lseek not available".
  virtual std::int64_t lseek(std::int64_t offset, int whence);
  virtual std::int64_t tell() { return lseek(0, LSEEK_CUR); }
  // Default: the end position, the current position restored.
  virtual std::int64_t size();

  // Why the last read or write failed, for messages: empty when unknown.
  virtual std::string error_text() const { return {}; }

 protected:
  ioconn() = default;
};

}  // namespace orv::inpout
