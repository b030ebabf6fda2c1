#include <arm_neon.h>

#include "kernels/ada_layer_norm_f32.h"
#include "kernels/ada_layer_norm_f32_loops.h"
#include "kernels/norm_rows_neon.h"

namespace vantrel {

namespace {
template <int R>
void stats_neon(const float* x, int64_t r, int64_t c, float inv_c, float eps, float* mean, float* rstd) {
    const float* rows[R];
    float sq[R];
    for (int i = 0; i < R; ++i) rows[i] = x + (r + i) * c;
    lane4_sums_neon<R, false>(rows, c, nullptr, mean);
    for (int i = 0; i < R; ++i) mean[i] = mean[i] * inv_c;
    lane4_sums_neon<R, true>(rows, c, mean, sq);
    for (int i = 0; i < R; ++i) rstd[i] = ada_ln_rstd(sq[i], inv_c, eps);
}
}  // namespace

void k_ada_layer_norm_f32_neon(const float* x, float* out, const float* gamma, const float* beta,
                             int32_t t, int32_t c, void*, float eps) {
    ada_layer_norm_run(x, out, gamma, beta, t, c, eps, &stats_neon<4>, &stats_neon<1>,
                       [](const float* r, float* y, float m, float rs, const float* g1, const float* b,
                          int64_t n) {
                           constexpr int64_t W = 4;
                           const float32x4_t vm = vdupq_n_f32(m), vr = vdupq_n_f32(rs);
                           int64_t j = 0;
                           for (; j + W <= n; j += W) {
                               const float32x4_t d = vsubq_f32(vld1q_f32(r + j), vm);
                               vst1q_f32(y + j, vaddq_f32(vld1q_f32(b + j), vmulq_f32(vmulq_f32(d, vld1q_f32(g1 + j)), vr)));
                           }
                           ada_ln_apply_tail(r, y, m, rs, g1, b, j, n);
                       });
}

}  // namespace vantrel
