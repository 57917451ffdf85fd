// AVX-512 distance kernel (AVX-512F only). Compiled with its own flags and
// entered only when the processor has AVX-512F.
//
// Lanes are candidates, two vectors (32 candidates) per step, and Q queries
// per pass so that every loaded candidate word serves Q queries. Per lane the
// operations are exactly the scalar kernel's, in the same order.
#include <immintrin.h>

#include "analysis/knn/kernel.hpp"

namespace kel::detail {

static_assert(missingTerm > 0.0f, "abs() must keep the missing term");

namespace {

constexpr unsigned V = 2;    // vectors per step
constexpr unsigned L = 16;   // lanes per vector
static_assert(V * L <= stepRows && alignRows % L == 0, "steps start on vector boundaries and span at most stepRows");

template <unsigned Q>
void run(const kernel_args& a) {
  const __m512 missingTerms = _mm512_set1_ps(missingTerm);
  const __m512 one = _mm512_set1_ps(1.0f);
  const __m512 missing = _mm512_set1_ps(missingValue);
  alignas(64) float tmp[V * L];

  for (unsigned base = a.begin; base < a.end; base += V * L) {
    __m512 s[Q][V];
    #pragma GCC unroll 16
    for (unsigned q = 0; q < Q; ++q)
      #pragma GCC unroll 16
      for (unsigned v = 0; v < V; ++v) s[q][v] = _mm512_setzero_ps();

    const std::uint32_t* col = a.cols + base;
    for (unsigned j = 0; j < a.ncols; ++j, col += a.stride) {
      const unsigned o = j * slotWords;
      const col_desc& d = a.desc[j];
      switch (d.kind) {
        case col_kind::continuous: {
          __m512 b[V];
          __mmask16 p[V];
          #pragma GCC unroll 16
          for (unsigned v = 0; v < V; ++v) {
            b[v] = _mm512_load_ps(reinterpret_cast<const float*>(col) + v * L);
            p[v] = _mm512_cmp_ps_mask(b[v], missing, _CMP_NEQ_UQ);
          }
          // Lanes with a missing side keep the missing term (positive, so abs
          // keeps it). Queries rarely miss a value, so their mask is applied
          // only when one does.
          bool all_present = true;
          #pragma GCC unroll 16
          for (unsigned q = 0; q < Q; ++q) all_present &= a.query[q][o + 1] != 0;
          if (all_present) {
            #pragma GCC unroll 16
            for (unsigned q = 0; q < Q; ++q) {
              const __m512 av = _mm512_set1_ps(asFloat(a.query[q][o]));
              #pragma GCC unroll 16
              for (unsigned v = 0; v < V; ++v) {
                const __m512 t = _mm512_abs_ps(_mm512_mask_sub_ps(missingTerms, p[v], av, b[v]));
                s[q][v] = _mm512_add_ps(s[q][v], t);
              }
            }
          } else {
            #pragma GCC unroll 16
            for (unsigned q = 0; q < Q; ++q) {
              const __m512 av = _mm512_set1_ps(asFloat(a.query[q][o]));
              const auto kq = static_cast<__mmask16>(a.query[q][o + 1]);
              #pragma GCC unroll 16
              for (unsigned v = 0; v < V; ++v) {
                const __mmask16 k = _kand_mask16(p[v], kq);
                const __m512 t = _mm512_abs_ps(_mm512_mask_sub_ps(missingTerms, k, av, b[v]));
                s[q][v] = _mm512_add_ps(s[q][v], t);
              }
            }
          }
          break;
        }
        case col_kind::nominal: {
          __m512i b[V];
          #pragma GCC unroll 16
          for (unsigned v = 0; v < V; ++v) b[v] = _mm512_load_si512(col + v * L);
          #pragma GCC unroll 16
          for (unsigned q = 0; q < Q; ++q) {
            const __m512i aq = _mm512_set1_epi32(static_cast<int>(a.query[q][o]));
            #pragma GCC unroll 16
            for (unsigned v = 0; v < V; ++v) {
              // sum + 0 is sum (sums are never -0), so only the unequal lanes add.
              const __mmask16 ne = _mm512_cmpneq_epi32_mask(b[v], aq);
              s[q][v] = _mm512_mask_add_ps(s[q][v], ne, s[q][v], one);
            }
          }
          break;
        }
        case col_kind::table: {
          __m512i b[V];
          #pragma GCC unroll 16
          for (unsigned v = 0; v < V; ++v) b[v] = _mm512_load_si512(col + v * L);
          #pragma GCC unroll 16
          for (unsigned q = 0; q < Q; ++q) {
            const __m512 tbl = _mm512_loadu_ps(reinterpret_cast<const float*>(a.query[q] + o));
            // maskz with every lane set is the plain permute; it avoids g++ 12's
            // false uninitialized warning on _mm512_permutexvar_ps.
            #pragma GCC unroll 16
            for (unsigned v = 0; v < V; ++v)
              s[q][v] = _mm512_add_ps(s[q][v], _mm512_maskz_permutexvar_ps(0xffff, b[v], tbl));
          }
          break;
        }
        case col_kind::generic: {
          #pragma GCC unroll 16
          for (unsigned q = 0; q < Q; ++q) {
            const std::uint32_t aq = a.query[q][o];
            for (unsigned w = 0; w < V * L; ++w)
              tmp[w] = ordinalTerm(aq, col[w], d.missingCode, d.maxCode);
            #pragma GCC unroll 16
            for (unsigned v = 0; v < V; ++v)
              s[q][v] = _mm512_add_ps(s[q][v], _mm512_load_ps(tmp + v * L));
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
        const __mmask16 in = _mm512_cmp_ps_mask(s[q][v], _mm512_set1_ps(a.thr[q]), _CMP_LE_OQ);
        if (in) {
          _mm512_store_ps(tmp, s[q][v]);
          a.hits(a.ctx, q, base + v * L, in, tmp);
        }
      }
    }
  }
}

}  // namespace

void kernelAvx512(const kernel_args& a) {
  switch (a.nq) {
    case 1: run<1>(a); break;
    case 2: run<2>(a); break;
    case 3: run<3>(a); break;
    case 4: run<4>(a); break;
    case 5: run<5>(a); break;
    case 6: run<6>(a); break;
    case 7: run<7>(a); break;
    default: run<8>(a); break;
  }
}

}  // namespace kel::detail
