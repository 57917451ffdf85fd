// Private to the fast neighbour search: the distance kernels' common contract.
//
// A kernel takes one tile of a group's candidates (column-major 32-bit words,
// column j at cols + j * stride) and up to kMaxQ prepared queries, computes
// every query-candidate sum of per-attribute distances in measure order, one
// float32 addition at a time, and reports each vector of candidates in which
// some sum is <= the query's threshold to the hit callback. The division by
// the count and the selection happen in the callback, so the kernels never
// divide and the common path is a compare that fails.
//
// Every kernel (scalar, AVX2, AVX-512) must give bit-identical sums: per lane
// the operations are those of the per-attribute functions below, in the same
// order, with no fused multiply-add and no reassociation.
// REQUIRES: begin is a multiple of kPad; stride is a multiple of kPad; the
// words from begin up to end rounded up to kPad exist in every column.
#pragma once

#include <cfloat>
#include <cstddef>
#include <cstdint>

namespace kel::detail {

inline constexpr unsigned kMaxQ = 8;    // queries per kernel pass
inline constexpr unsigned kSlot = 16;   // words per prepared query attribute
inline constexpr unsigned kPad = 64;    // group columns are padded to this many rows
inline constexpr unsigned kTable = 16;  // largest value set a per-query table handles

enum class col_kind : std::uint8_t {
  continuous,  // float values; missing = FLT_MIN
  nominal,     // codes compared for equality; a missing query code never matches
  table,       // ordinal, candidate words index a per-query table of distances
  generic,     // ordinal with too many distinct codes for a table: computed per lane
};

struct col_desc {
  col_kind kind = col_kind::continuous;
  std::uint32_t table_size = 0;    // table: entries in use (1..kTable)
  std::uint32_t missing_code = 0;  // generic
  std::uint32_t max_code = 0;      // generic
};

// Prepared query attribute, kSlot words:
//   continuous: [0] value bits, [1] ~0u when present, 0 when missing
//   nominal:    [0] code, or a code no candidate holds when the query's is missing
//   table:      [0..table_size) float bits: distance to the candidate value of that index
//   generic:    [0] code

// lanes: bit i set = candidate first + i may be within the threshold.
// sums: the sums of those candidates, indexed by lane.
using hit_fn = void (*)(void* ctx, unsigned q, unsigned first, std::uint32_t lanes, const float* sums);

struct kernel_args {
  const std::uint32_t* cols = nullptr;
  std::size_t stride = 0;
  const col_desc* desc = nullptr;
  unsigned ncols = 0;
  unsigned begin = 0, end = 0;  // candidate indexes within the group
  unsigned nq = 0;              // 1..kMaxQ
  const std::uint32_t* query[kMaxQ] = {};
  const float* thr = nullptr;   // per query bound on sums; re-read after every hit
  hit_fn hits = nullptr;
  void* ctx = nullptr;
};

void kernel_scalar(const kernel_args& a);
void kernel_avx2(const kernel_args& a);
void kernel_avx512(const kernel_args& a);

// These helpers are compiled into every kernel's translation unit, each with
// its own instruction-set flags, so they have internal linkage and use no
// library templates: the linker must never hand the AVX-512 copy to the
// portable kernel.
static inline float as_float(std::uint32_t w) { return __builtin_bit_cast(float, w); }
static inline std::uint32_t as_word(float f) { return __builtin_bit_cast(std::uint32_t, f); }

// The per-attribute distances, exactly as the attribute kinds define them.
static inline float continuous_distance(float a, float b) {
  if (a == FLT_MIN || b == FLT_MIN) return 3.0f;
  return __builtin_fabsf(a - b);
}

static inline float nominal_distance(std::int32_t a, std::int32_t b, std::int32_t missing) {
  if (a == missing || b == missing) return 1.0f;
  return a == b ? 0.0f : 1.0f;
}

// A scale with one declared value (m = 0) has nothing to divide by: equal when
// both are present, as far apart as possible otherwise.
static inline float ordinal_distance(std::uint32_t a, std::uint32_t b, std::uint32_t missing,
                                     std::uint32_t m) {
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

}  // namespace kel::detail
