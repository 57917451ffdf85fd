// AVX2 distance kernel. Compiled with its own flags and entered only when the
// processor has AVX2.
//
// Lanes are candidates, two vectors (16 candidates) per step, up to three
// queries per pass. Per lane the operations are exactly the scalar kernel's,
// in the same order.
#include <immintrin.h>

#include "analysis/knn/kernel.hpp"

namespace kel::detail {

namespace {

constexpr unsigned L = 8;   // lanes per vector
constexpr unsigned V = 2;   // vectors per step
constexpr unsigned kQ = 3;  // queries per pass: more accumulators spill the 16 registers
static_assert(V * L <= stepRows && alignRows % L == 0, "steps start on vector boundaries and span at most stepRows");

// Queries q0 .. q0 + Q - 1 of the arguments.
template <unsigned Q>
void run(const kernel_args& a, unsigned q0) {
  const __m256 missingTerms = _mm256_set1_ps(missingTerm);
  const __m256 one = _mm256_set1_ps(1.0f);
  const __m256 missing = _mm256_set1_ps(missingValue);
  const __m256 magnitude = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
  alignas(32) float tmp[V * L];

  for (unsigned base = a.begin; base < a.end; base += V * L) {
    __m256 s[Q][V];
    #pragma GCC unroll 16
    for (unsigned q = 0; q < Q; ++q)
      #pragma GCC unroll 16
      for (unsigned v = 0; v < V; ++v) s[q][v] = _mm256_setzero_ps();

    const std::uint32_t* col = a.cols + base;
    for (unsigned j = 0; j < a.ncols; ++j, col += a.stride) {
      const unsigned o = j * slotWords;
      const col_desc& d = a.desc[j];
      switch (d.kind) {
        case col_kind::continuous: {
          __m256 b[V], p[V];
          #pragma GCC unroll 16
          for (unsigned v = 0; v < V; ++v) {
            b[v] = _mm256_load_ps(reinterpret_cast<const float*>(col) + v * L);
            p[v] = _mm256_cmp_ps(b[v], missing, _CMP_NEQ_UQ);
          }
          // Lanes with a missing side take the missing term. Queries rarely
          // miss a value, so their mask is applied only when one does.
          bool all_present = true;
          #pragma GCC unroll 16
          for (unsigned q = 0; q < Q; ++q) all_present &= a.query[q0 + q][o + 1] != 0;
          #pragma GCC unroll 16
          for (unsigned q = 0; q < Q; ++q) {
            const std::uint32_t* qs = a.query[q0 + q] + o;
            const __m256 av = _mm256_set1_ps(asFloat(qs[0]));
            const __m256 kq = _mm256_castsi256_ps(_mm256_set1_epi32(static_cast<int>(qs[1])));
            #pragma GCC unroll 16
            for (unsigned v = 0; v < V; ++v) {
              const __m256 t = _mm256_and_ps(_mm256_sub_ps(av, b[v]), magnitude);
              const __m256 present = all_present ? p[v] : _mm256_and_ps(p[v], kq);
              s[q][v] = _mm256_add_ps(s[q][v], _mm256_blendv_ps(missingTerms, t, present));
            }
          }
          break;
        }
        case col_kind::nominal: {
          __m256i b[V];
          #pragma GCC unroll 16
          for (unsigned v = 0; v < V; ++v)
            b[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(col + v * L));
          #pragma GCC unroll 16
          for (unsigned q = 0; q < Q; ++q) {
            const __m256i aq = _mm256_set1_epi32(static_cast<int>(a.query[q0 + q][o]));
            #pragma GCC unroll 16
            for (unsigned v = 0; v < V; ++v) {
              const __m256 eq = _mm256_castsi256_ps(_mm256_cmpeq_epi32(b[v], aq));
              s[q][v] = _mm256_add_ps(s[q][v], _mm256_andnot_ps(eq, one));
            }
          }
          break;
        }
        case col_kind::table: {
          __m256i b[V];
          #pragma GCC unroll 16
          for (unsigned v = 0; v < V; ++v)
            b[v] = _mm256_load_si256(reinterpret_cast<const __m256i*>(col + v * L));
          if (d.tableSize <= L) {
            #pragma GCC unroll 16
            for (unsigned q = 0; q < Q; ++q) {
              const __m256 tbl = _mm256_loadu_ps(reinterpret_cast<const float*>(a.query[q0 + q] + o));
              #pragma GCC unroll 16
              for (unsigned v = 0; v < V; ++v)
                s[q][v] = _mm256_add_ps(s[q][v], _mm256_permutevar8x32_ps(tbl, b[v]));
            }
          } else {
            // Sixteen entries: look up both halves, pick by bit 3 of the index.
            __m256 hi[V];
            #pragma GCC unroll 16
            for (unsigned v = 0; v < V; ++v) hi[v] = _mm256_castsi256_ps(_mm256_slli_epi32(b[v], 28));
            #pragma GCC unroll 16
            for (unsigned q = 0; q < Q; ++q) {
              const float* t = reinterpret_cast<const float*>(a.query[q0 + q] + o);
              const __m256 lo_tbl = _mm256_loadu_ps(t), hi_tbl = _mm256_loadu_ps(t + L);
              #pragma GCC unroll 16
              for (unsigned v = 0; v < V; ++v) {
                const __m256 x = _mm256_blendv_ps(_mm256_permutevar8x32_ps(lo_tbl, b[v]),
                                                  _mm256_permutevar8x32_ps(hi_tbl, b[v]), hi[v]);
                s[q][v] = _mm256_add_ps(s[q][v], x);
              }
            }
          }
          break;
        }
        case col_kind::generic: {
          #pragma GCC unroll 16
          for (unsigned q = 0; q < Q; ++q) {
            const std::uint32_t aq = a.query[q0 + q][o];
            for (unsigned w = 0; w < V * L; ++w)
              tmp[w] = ordinalTerm(aq, col[w], d.missingCode, d.maxCode);
            #pragma GCC unroll 16
            for (unsigned v = 0; v < V; ++v)
              s[q][v] = _mm256_add_ps(s[q][v], _mm256_load_ps(tmp + v * L));
          }
          break;
        }
      }
    }

    #pragma GCC unroll 16
    for (unsigned q = 0; q < Q; ++q) {
      #pragma GCC unroll 16
      for (unsigned v = 0; v < V; ++v) {
        // The threshold is read afresh: the previous hit may have lowered it.
        const __m256 le = _mm256_cmp_ps(s[q][v], _mm256_set1_ps(a.thr[q0 + q]), _CMP_LE_OQ);
        const auto in = static_cast<std::uint32_t>(_mm256_movemask_ps(le));
        if (in) {
          _mm256_store_ps(tmp, s[q][v]);
          a.hits(a.ctx, q0 + q, base + v * L, in, tmp);
        }
      }
    }
  }
}

}  // namespace

void kernelAvx2(const kernel_args& a) {
  for (unsigned q0 = 0; q0 < a.nq; q0 += kQ) {
    switch (a.nq - q0) {
      case 1: run<1>(a, q0); break;
      case 2: run<2>(a, q0); break;
      default: run<3>(a, q0); break;
    }
  }
}

}  // namespace kel::detail
