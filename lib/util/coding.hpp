// Integer codings over raw bytes in memory; the connection-level reading and
// writing is in io/coding.hpp.
//
// Continuation-bit coding of an unsigned 32-bit value: 7-bit groups, least
// significant first, bit 7 set in every byte but the last; 1 to 5 bytes.
// A malformed run of more than five bytes decodes with the shift taken
// modulo 32.
//
// Minimal-bytes coding: every value of a sequence over [0, n) takes exactly
// bytes_needed(n) bytes, most significant first, with no header or separator.
#pragma once

#include <cstdint>

namespace orv::util::coding {

constexpr int max_cbit_bytes = 5;

// Bytes the continuation-bit coding of v takes.
int cbit_length(std::uint32_t v);

// REQUIRES: out has room for max_cbit_bytes. Returns the bytes written.
int encode_cbit(std::uint32_t v, unsigned char* out);

// Decodes one value from [p, end): the bytes consumed, or 0 when the value is
// not finished before end (v is then left alone).
int decode_cbit(const unsigned char* p, const unsigned char* end, std::uint32_t& v);

// Width of the minimal-bytes coding for values in [0, n): the bits of n - 1
// (at least one) in whole bytes; n = 0 stands for 2^64 and gives 8.
int bytes_needed(std::uint64_t n);

// REQUIRES: 1 <= width <= 8 and out has width bytes. Bits above 8 * width are
// dropped.
void encode_minimal(std::uint64_t v, int width, unsigned char* out);
std::uint64_t decode_minimal(const unsigned char* in, int width);

}  // namespace orv::util::coding
