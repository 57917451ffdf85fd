// A seeded 64-bit pseudo-random sequence that this code fixes bit for bit
// (xoshiro256**, its state filled by splitmix64), so that a seeded result is
// the same with every compiler, library and thread count; the standard
// library's distributions and shuffles leave their outputs unspecified.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

namespace orv::util {

class rand64 {
 public:
  // The sequence numbered `stream` of a seed: every (seed, stream) pair has
  // a sequence of its own, so the streams can be drawn in any order or on
  // any thread.
  rand64(std::uint64_t seed, std::uint64_t stream);
  // The generator in a given state. REQUIRES: not all four words zero.
  explicit rand64(const std::array<std::uint64_t, 4>& state) : s_(state) {}

  std::uint64_t next();
  // Uniform in [0, n): draws that would favour the low values are rejected.
  // REQUIRES: n >= 1.
  std::uint64_t below(std::uint64_t n);

 private:
  std::array<std::uint64_t, 4> s_;
};

// Fisher-Yates, from the last position down: each of the n! orders equally
// likely.
template <class T>
void shuffle(std::span<T> items, rand64& random) {
  for (std::size_t i = items.size(); i > 1; --i) std::swap(items[i - 1], items[random.below(i)]);
}

}  // namespace orv::util
