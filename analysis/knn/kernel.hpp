// Private to the scan: the distance kernels' common contract.
//
// A kernel takes one tile of a group's candidates (column-major 32-bit words,
// column j at cols + j * stride) and up to maxQueries prepared queries,
// computes every query-candidate sum of per-attribute terms in measure order,
// one float32 addition at a time, and reports each vector of candidates in
// which some sum is <= the query's threshold to the hit callback. The
// division by the count and the selection happen in the callback, so the
// kernels never divide and the common path is a compare that fails.
//
// Every kernel (scalar, AVX2, AVX-512) must give bit-identical sums: per lane
// the operations are those of rules.hpp, in the same order, with no fused
// multiply-add and no reassociation. The vector kernels exist only in x86-64 builds (KEL_X86_KERNELS).
// REQUIRES: begin and stride are multiples of alignRows (aligned vector
// loads); the words from begin up to begin + (end - begin) rounded up to
// stepRows exist in every column, those past end being padding (any value,
// but a valid index in a table column).
#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/knn/dispatch.hpp"
#include "analysis/knn/rules.hpp"

namespace kel::detail {

inline constexpr unsigned maxQueries = 8;     // queries per kernel pass
inline constexpr unsigned slotWords = 16;     // words per prepared query attribute
inline constexpr unsigned padRows = 64;       // group columns are padded to this many rows
inline constexpr unsigned alignRows = 16;     // a pass starts at a multiple of this many rows (64 bytes)
inline constexpr unsigned stepRows = 32;      // the most candidates any kernel computes per step
inline constexpr unsigned tableEntries = 16;  // largest value set a per-query table handles

enum class col_kind : std::uint8_t {
  continuous,  // float values; missing = missingValue
  nominal,     // codes compared for equality; a missing query code never matches
  table,       // ordinal, candidate words index a per-query table of terms
  generic,     // ordinal with too many distinct codes for a table: computed per lane
};

struct col_desc {
  col_kind kind = col_kind::continuous;
  std::uint32_t tableSize = 0;    // table: entries in use (1..tableEntries)
  std::uint32_t missingCode = 0;  // generic
  std::uint32_t maxCode = 0;      // generic
};

// Prepared query attribute, slotWords words:
//   continuous: [0] value bits, [1] ~0u when present, 0 when missing
//   nominal:    [0] code, or a code no candidate holds when the query's is missing
//   table:      [0..tableSize) float bits: the term against the candidate value of that index
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
  unsigned nq = 0;              // 1..maxQueries
  const std::uint32_t* query[maxQueries] = {};
  const float* thr = nullptr;   // per query bound on sums; re-read after every hit
  hit_fn hits = nullptr;
  void* ctx = nullptr;
};

using kernel_fn = void (*)(const kernel_args&);

// The kernel of a level; the portable one where the build has no other.
kernel_fn kernelFor(kernel_level level);

void kernelScalar(const kernel_args& a);
#if defined(KEL_X86_KERNELS) && KEL_X86_KERNELS
void kernelAvx2(const kernel_args& a);
void kernelAvx512(const kernel_args& a);
#endif

// Compiled into every kernel's translation unit with its own flags: internal
// linkage, no library templates.
static inline float asFloat(std::uint32_t w) { return __builtin_bit_cast(float, w); }
static inline std::uint32_t asWord(float f) { return __builtin_bit_cast(std::uint32_t, f); }

}  // namespace kel::detail
