// The normalisation sums of norm_rows.h on 128-bit registers, for the AVX2
// and AVX-512 kernels: one register holds a row's four lanes, and R rows are
// summed side by side so their dependency chains overlap. Each row is added in
// exactly the order of lane4_sum / lane4_sum_sq.
#pragma once
#include <immintrin.h>

#include <cstdint>

namespace vantrel {
namespace {

// (l0 + l1) + (l2 + l3).
inline float lane4_pairwise_x86(__m128 v) {
    const __m128 h = _mm_hadd_ps(v, v);
    return _mm_cvtss_f32(_mm_hadd_ps(h, h));
}

// out[r] = Σ (x[r][j] - centre[r])² when squares, else Σ x[r][j].
template <int R, bool kSquares>
inline void lane4_sums_x86(const float* const* x, int64_t c, const float* centre, float* out) {
    __m128 acc[R], m[R];
    for (int r = 0; r < R; ++r) {
        acc[r] = _mm_setzero_ps();
        m[r] = _mm_set1_ps(kSquares ? centre[r] : 0.0f);
    }
    int64_t j = 0;
    for (; j + 4 <= c; j += 4)
        for (int r = 0; r < R; ++r) {
            __m128 v = _mm_loadu_ps(x[r] + j);
            if (kSquares) {
                v = _mm_sub_ps(v, m[r]);
                v = _mm_mul_ps(v, v);
            }
            acc[r] = _mm_add_ps(acc[r], v);
        }
    for (int r = 0; r < R; ++r) {
        float s = lane4_pairwise_x86(acc[r]);
        for (int64_t t = j; t < c; ++t) {
            float d = x[r][t];
            if (kSquares) {
                d = d - centre[r];
                d = d * d;
            }
            s = s + d;
        }
        out[r] = s;
    }
}

}  // namespace
}  // namespace vantrel
