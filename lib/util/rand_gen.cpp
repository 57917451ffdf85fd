#include "rand_gen.hpp"

#include <cstdlib>
#include <new>

#include "error.hpp"

namespace orv::util {

rand_gen::rand_gen(double max) : max_(max) {
  if (!(max >= 0.0 && max <= 4294967296.0)) throw error("rand_gen: the upper bound must lie in [0, 2^32]");
}

std::unique_ptr<std::uint32_t[]> rand_gen::generate(unsigned count) {
  if (count >= (1u << 30)) throw std::bad_alloc();
  auto values = std::make_unique<std::uint32_t[]>(count);
  for (unsigned i = 0; i < count; ++i) {
    // The C library gives 31 bits; the top 15 make the classic 0..32767 draw.
    const int r = std::rand() >> 16;
    const double x = r / 32768.0 * max_;
    values[i] = static_cast<std::uint32_t>(x);
  }
  return values;
}

}  // namespace orv::util
