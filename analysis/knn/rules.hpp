// The rules every neighbour search applies, in one place: each measured
// attribute's term of the distance, by kind, and the test of whether a
// neighbour's class outcome matches the query's.
//
// The kernels are compiled with different instruction sets, so these
// functions have internal linkage and use no library templates: the linker
// must never hand one kernel's copy to another. The attribute model states
// the same terms for the per-pair search; the table, which sees both, checks
// that the constants agree.
#pragma once

#include <cfloat>
#include <cstdint>

namespace kel {

// A missing continuous value: the smallest positive normal float
// (0x00800000). Standardization never produces it from a present value.
inline constexpr float missingValue = FLT_MIN;
static_assert(__builtin_bit_cast(std::uint32_t, missingValue) == 0x00800000u);

// The term of a continuous attribute with a missing value on either side.
inline constexpr float missingTerm = 3.0f;

static inline float continuousTerm(float a, float b) {
  if (a == missingValue || b == missingValue) return missingTerm;
  return __builtin_fabsf(a - b);
}

// A missing value on either side counts as different, even on both sides.
static inline float nominalTerm(std::int32_t a, std::int32_t b, std::int32_t missing) {
  if (a == missing || b == missing) return 1.0f;
  return a == b ? 0.0f : 1.0f;
}

// |a - b| / m on the scale of codes 0..m; one side missing: the distance to
// the farther end of the scale; both missing: 1. A scale with one declared
// value (m = 0) has nothing to divide by: equal when both are present, as far
// apart as possible otherwise.
static inline float ordinalTerm(std::uint32_t a, std::uint32_t b, std::uint32_t missing, std::uint32_t m) {
  const bool am = a == missing, bm = b == missing;
  if (am && bm) return 1.0f;
  if (m == 0) return (am || bm) ? 1.0f : 0.0f;
  if (am || bm) {
    const float r = static_cast<float>(am ? b : a) / static_cast<float>(m);
    const float f = 1.0f - r;
    return r < f ? f : r;  // the larger of the two
  }
  return static_cast<float>(a > b ? a - b : b - a) / static_cast<float>(m);
}

// A neighbour's class outcome matches the query's: for a nominal class, equal
// codes (two missing codes are equal); otherwise the neighbour's stored value
// is not below the query's, the missing marker compared as the number it is.
static inline bool outcomeMatches(std::int32_t query, std::int32_t neighbour) { return neighbour == query; }
static inline bool outcomeMatches(float query, float neighbour) { return neighbour >= query; }

}  // namespace kel
