#include <arm_neon.h>

#include "kernels/elementwise/row_sum_f32.h"

namespace vantrel {

void k_row_sum_f32_neon(const float* in, float* out, int32_t rows, int32_t n) {
    if (rows <= 0) return;
    const int64_t len = n < 0 ? 0 : n, body = len / 4 * 4;
    for (int64_t r = 0; r < rows; ++r) {
        const float* x = in + r * len;
        float32x4_t l = vdupq_n_f32(0.0f);
        for (int64_t i = 0; i < body; i += 4) l = vaddq_f32(l, vld1q_f32(x + i));
        // Pairwise: (l0 + l1) + (l2 + l3).
        const float32x2_t p = vpadd_f32(vget_low_f32(l), vget_high_f32(l));
        float s = vget_lane_f32(vpadd_f32(p, p), 0);
        for (int64_t i = body; i < len; ++i) s = s + x[i];
        out[r] = s;
    }
}

}  // namespace vantrel
