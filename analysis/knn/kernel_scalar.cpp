// Portable distance kernel: the fallback for processors without AVX2, and the
// plain statement of what the vector kernels compute lane by lane.
#include "analysis/knn/kernel.hpp"

namespace kel::detail {

void kernelScalar(const kernel_args& a) {
  constexpr unsigned W = 16;
  static_assert(W <= stepRows);
  alignas(64) float s[W];
  for (unsigned base = a.begin; base < a.end; base += W) {
    for (unsigned q = 0; q < a.nq; ++q) {
      for (float& x : s) x = 0.0f;
      const std::uint32_t* qs = a.query[q];
      const std::uint32_t* col = a.cols + base;
      for (unsigned j = 0; j < a.ncols; ++j, qs += slotWords, col += a.stride) {
        const col_desc& d = a.desc[j];
        switch (d.kind) {
          case col_kind::continuous: {
            const float av = asFloat(qs[0]);
            if (qs[1] == 0) {
              for (unsigned w = 0; w < W; ++w) s[w] = s[w] + missingTerm;
            } else {
              for (unsigned w = 0; w < W; ++w) {
                const float b = asFloat(col[w]);
                const float t = __builtin_fabsf(av - b);
                s[w] = s[w] + (b != missingValue ? t : missingTerm);
              }
            }
            break;
          }
          case col_kind::nominal:
            for (unsigned w = 0; w < W; ++w) s[w] = s[w] + (col[w] == qs[0] ? 0.0f : 1.0f);
            break;
          case col_kind::table:
            for (unsigned w = 0; w < W; ++w) s[w] = s[w] + asFloat(qs[col[w]]);
            break;
          case col_kind::generic:
            for (unsigned w = 0; w < W; ++w)
              s[w] = s[w] + ordinalTerm(qs[0], col[w], d.missingCode, d.maxCode);
            break;
        }
      }
      const float t = a.thr[q];
      std::uint32_t lanes = 0;
      for (unsigned w = 0; w < W; ++w)
        if (s[w] <= t) lanes |= 1u << w;
      if (lanes) a.hits(a.ctx, q, base, lanes, s);
    }
  }
}

}  // namespace kel::detail
