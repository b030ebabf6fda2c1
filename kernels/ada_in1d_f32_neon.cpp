#include <arm_neon.h>

#include "kernels/ada_in1d_f32.h"
#include "kernels/ada_in1d_f32_loops.h"

namespace vantrel {

// Lanes run across channels; each lane does the portable path's operations.
void k_ada_in1d_f32_neon(const float* x, float* out, const float* gamma, const float* beta,
                       int32_t t, int32_t c, void*, const float* norm_w, float eps,
                       const float* norm_b) {
    constexpr int64_t W = 4;
    ada_in1d_run(
        x, out, gamma, beta, t, c, norm_w, eps, norm_b,
        [](float* acc, const float* r, int64_t n) {
            int64_t j = 0;
            for (; j + W <= n; j += W) vst1q_f32(acc + j, vaddq_f32(vld1q_f32(acc + j), vld1q_f32(r + j)));
            ada_add_tail(acc, r, j, n);
        },
        [](float* acc, const float* r, const float* m, int64_t n) {
            int64_t j = 0;
            for (; j + W <= n; j += W) {
                const float32x4_t d = vsubq_f32(vld1q_f32(r + j), vld1q_f32(m + j));
                vst1q_f32(acc + j, vaddq_f32(vld1q_f32(acc + j), vmulq_f32(d, d)));
            }
            ada_add_sq_tail(acc, r, m, j, n);
        },
        [](const float* r, float* y, const float* m, const float* rs, const float* gm, const float* b,
           const float* nw, const float* nb, int64_t n) {
            int64_t j = 0;
            if (!nw) {
                for (; j + W <= n; j += W) {
                    const float32x4_t d = vsubq_f32(vld1q_f32(r + j), vld1q_f32(m + j));
                    vst1q_f32(y + j, vaddq_f32(vld1q_f32(b + j), vmulq_f32(vmulq_f32(d, vld1q_f32(gm + j)), vld1q_f32(rs + j))));
                }
            } else {
                for (; j + W <= n; j += W) {
                    const float32x4_t d = vsubq_f32(vld1q_f32(r + j), vld1q_f32(m + j));
                    const float32x4_t xh = vaddq_f32(vld1q_f32(nb + j), vmulq_f32(vmulq_f32(vld1q_f32(nw + j), d), vld1q_f32(rs + j)));
                    vst1q_f32(y + j, vaddq_f32(vaddq_f32(vld1q_f32(b + j), xh), vmulq_f32(vld1q_f32(gm + j), xh)));
                }
            }
            ada_apply_tail(r, y, m, rs, gm, b, nw, nb, j, n);
        });
}

}  // namespace vantrel
