// memory_input: an input whose bytes were read elsewhere and are held in
// memory, as a connection the line stream reads and as positional reads the
// parallel data reader cuts into parts. When the reading that produced the
// bytes failed, the connection fails the same way after the last byte: its
// read answers -1 with the original reason as error_text, and it offers no
// positional reads, so a stream over it meets the same lines and then the
// same read error as a stream over the original input.
//
// It borrows the bytes. REQUIRES: they outlive the connection.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "io/ioconn.hpp"
#include "io/positional.hpp"

namespace kelcmd::mpi {

class memory_input final : public orv::inpout::ioconn, public orv::inpout::positional {
 public:
  // failure: why reading the original input stopped after these bytes.
  explicit memory_input(std::span<const char> bytes, std::optional<std::string> failure = std::nullopt)
      : bytes_(bytes), failure_(std::move(failure)) {}

  void close() override { open_ = false; }
  bool is_open() const override { return open_; }
  int mode() const override { return open_ ? orv::inpout::READ : 0; }
  int write(const void*, int) override { return -1; }
  int read(void* buf, int n) override;
  std::int64_t lseek(std::int64_t offset, int whence) override;
  std::int64_t tell() override { return position_; }
  std::int64_t size() override { return static_cast<std::int64_t>(bytes_.size()); }
  const orv::inpout::positional* as_positional() const override { return failure_ ? nullptr : this; }
  std::string error_text() const override { return failure_.value_or(std::string()); }

  int pread(void* buf, int n, std::int64_t offset) const override;
  std::int64_t length() const override { return static_cast<std::int64_t>(bytes_.size()); }

 private:
  std::span<const char> bytes_;
  std::optional<std::string> failure_;
  std::uint64_t position_ = 0;
  bool open_ = true;
};

}  // namespace kelcmd::mpi
