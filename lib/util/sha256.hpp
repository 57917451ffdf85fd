// SHA-256 (FIPS 180-4) of a byte sequence fed in pieces of any size, so that
// a run can name exactly the input bytes its results come from. Portable
// code, no dependency; about as fast as a disk reads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace orv::util {

class sha256 {
 public:
  using digest = std::array<std::uint8_t, 32>;

  sha256();
  void update(const void* bytes, std::size_t n);
  // The digest of everything given so far. The object must not be updated
  // afterwards; reset() starts again.
  digest finish();
  void reset();
  // Bytes given so far.
  std::uint64_t size() const { return length_; }

  // Lower-case hexadecimal, 64 characters.
  static std::string to_hex(const digest& d);

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 8> state_;
  std::array<std::uint8_t, 64> block_;
  std::size_t filled_ = 0;  // bytes waiting in block_
  std::uint64_t length_ = 0;
};

}  // namespace orv::util
