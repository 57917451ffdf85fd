#include "rand64.hpp"

namespace orv::util {

namespace {

constexpr std::uint64_t golden_gamma = 0x9e3779b97f4a7c15;

// splitmix64's output function: a bijection that scatters nearby inputs.
std::uint64_t mix(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9;
  z = (z ^ (z >> 27)) * 0x94d049bb133111eb;
  return z ^ (z >> 31);
}

inline std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }

}  // namespace

rand64::rand64(std::uint64_t seed, std::uint64_t stream) {
  // Streams start at scattered points of splitmix64's sequence; starting
  // them at neighbouring points would make stream i + 1's state that of
  // stream i moved by one word.
  std::uint64_t x = mix(mix(seed) + stream);
  for (std::uint64_t& word : s_) {
    x += golden_gamma;
    word = mix(x);
  }
}

std::uint64_t rand64::next() {
  const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
  const std::uint64_t t = s_[1] << 17;
  s_[2] ^= s_[0];
  s_[3] ^= s_[1];
  s_[1] ^= s_[2];
  s_[0] ^= s_[3];
  s_[2] ^= t;
  s_[3] = rotl(s_[3], 45);
  return result;
}

std::uint64_t rand64::below(std::uint64_t n) {
  // 2^64 mod n: the draws below it are the surplus that would be folded
  // onto the low values.
  const std::uint64_t surplus = (0 - n) % n;
  for (;;) {
    const std::uint64_t r = next();
    if (r >= surplus) return r % n;
  }
}

}  // namespace orv::util
