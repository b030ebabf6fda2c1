// The normalisation sums of norm_rows.h on Advanced SIMD registers: one
// register holds a row's four lanes, and R rows are summed side by side so
// their dependency chains overlap. Each row is added in exactly the order of
// lane4_sum / lane4_sum_sq.
#pragma once
#include <arm_neon.h>

#include <cstdint>

namespace vantrel {
namespace {

// (l0 + l1) + (l2 + l3).
inline float lane4_pairwise_neon(float32x4_t v) {
    const float32x2_t p = vpadd_f32(vget_low_f32(v), vget_high_f32(v));
    return vget_lane_f32(p, 0) + vget_lane_f32(p, 1);
}

// out[r] = Σ (x[r][j] - centre[r])² when squares, else Σ x[r][j]. The square
// is a multiply then an add (vfmaq would round once and differ).
template <int R, bool kSquares>
inline void lane4_sums_neon(const float* const* x, int64_t c, const float* centre, float* out) {
    float32x4_t acc[R], m[R];
    for (int r = 0; r < R; ++r) {
        acc[r] = vdupq_n_f32(0.0f);
        m[r] = vdupq_n_f32(kSquares ? centre[r] : 0.0f);
    }
    int64_t j = 0;
    for (; j + 4 <= c; j += 4)
        for (int r = 0; r < R; ++r) {
            float32x4_t v = vld1q_f32(x[r] + j);
            if (kSquares) {
                v = vsubq_f32(v, m[r]);
                v = vmulq_f32(v, v);
            }
            acc[r] = vaddq_f32(acc[r], v);
        }
    for (int r = 0; r < R; ++r) {
        float s = lane4_pairwise_neon(acc[r]);
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
