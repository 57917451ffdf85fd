// rand_gen: arrays of random integers in [0, max) drawn from the C library's
// pseudo-random sequence, 15 bits per draw, so at most 32,768 distinct
// values. It does not seed the sequence; callers seed it (srand) as they wish.
#pragma once

#include <cstdint>
#include <memory>

namespace orv::util {

class rand_gen {
 public:
  // Throws orv::util::error unless 0 <= max <= 2^32 (values must fit).
  explicit rand_gen(double max);
  virtual ~rand_gen() = default;

  // count values, each (r / 32768) * max truncated, r the next draw in
  // [0, 32767]. Throws std::bad_alloc for count >= 2^30.
  std::unique_ptr<std::uint32_t[]> generate(unsigned count);

  double max() const { return max_; }

 private:
  double max_;
};

}  // namespace orv::util
