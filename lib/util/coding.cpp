#include "coding.hpp"

#include <cassert>

namespace orv::util::coding {

int cbit_length(std::uint32_t v) {
  int n = 1;
  while (v >= 128) {
    v >>= 7;
    ++n;
  }
  return n;
}

int encode_cbit(std::uint32_t v, unsigned char* out) {
  int n = 0;
  while (v >= 128) {
    out[n++] = static_cast<unsigned char>((v & 0x7F) | 0x80);
    v >>= 7;
  }
  out[n++] = static_cast<unsigned char>(v);
  return n;
}

int decode_cbit(const unsigned char* p, const unsigned char* end, std::uint32_t& v) {
  if (p >= end) return 0;
  const unsigned char* q = p;
  unsigned char byte = *q++;
  std::uint32_t value = byte & 0x7F;
  unsigned shift = 7;
  while (byte & 0x80) {
    if (q == end) return 0;
    byte = *q++;
    value += static_cast<std::uint32_t>(byte & 0x7F) << (shift % 32);
    shift += 7;
  }
  v = value;
  return static_cast<int>(q - p);
}

int bytes_needed(std::uint64_t n) {
  std::uint64_t m = n - 1;  // wraps for n = 0: all 64 bits
  int bits = 0;
  do {
    ++bits;
    m >>= 1;
  } while (m != 0);
  return bits / 8 + (bits % 8 != 0 ? 1 : 0);
}

void encode_minimal(std::uint64_t v, int width, unsigned char* out) {
  assert(width >= 1 && width <= 8);
  for (int k = width - 1; k >= 0; --k) *out++ = static_cast<unsigned char>((v >> (8 * k)) & 0xFF);
}

std::uint64_t decode_minimal(const unsigned char* in, int width) {
  assert(width >= 1 && width <= 8);
  std::uint64_t v = in[0];
  for (int k = 1; k < width; ++k) v = (v << 8) + in[k];
  return v;
}

}  // namespace orv::util::coding
