// iodigest: a read-only connection that passes another one's bytes through
// unchanged and feeds each of them, in order, to a SHA-256, so that a run can
// name the exact content its results come from: the bytes after
// decompression for a gzip input, the bytes received for a pipe.
//
// Only read() is digested. An input with positional reads (a plain file) is
// read by parts at several offsets without read(); the caller digests it
// with digest_positional instead. lseek, rewind and writing are refused:
// bytes read twice or skipped would make the digest name other content.
//
// The connection is owned and closed with the wrapper; the digest is
// borrowed and must outlive it.
#pragma once

#include <memory>

#include "io/ioconn.hpp"
#include "util/sha256.hpp"

namespace orv::inpout {

class positional;

class iodigest : public ioconn {
 public:
  iodigest(std::unique_ptr<ioconn> conn, orv::util::sha256& digest) : conn_(std::move(conn)), digest_(digest) {}

  void close() override { conn_->close(); }
  bool eof() override { return conn_->eof(); }
  bool is_open() const override { return conn_->is_open(); }
  int mode() const override { return READ; }
  bool rewind() override { return false; }
  int write(const void*, int) override { return -1; }
  int read(void* buf, int n) override;
  bool is_file() const override { return conn_->is_file(); }
  const positional* as_positional() const override { return conn_->as_positional(); }
  std::int64_t lseek(std::int64_t, int) override { return -1; }
  std::int64_t tell() override { return static_cast<std::int64_t>(digest_.size()); }
  std::int64_t size() override { return conn_->size(); }
  std::string error_text() const override { return conn_->error_text(); }

 private:
  std::unique_ptr<ioconn> conn_;
  orv::util::sha256& digest_;
};

// Reads what is left of the connection, to its end, so that a digest over it
// covers the whole input even when its reader stopped early. Throws
// orv::util::error naming the input when a read fails.
void read_rest(ioconn& conn, const std::string& name);

// Feeds every byte of a positional input to the digest, in order. Throws
// orv::util::error naming the input when a read fails.
void digest_positional(const positional& file, orv::util::sha256& digest, const std::string& name);

}  // namespace orv::inpout
