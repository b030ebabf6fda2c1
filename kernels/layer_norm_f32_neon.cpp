#include <arm_neon.h>
#include <math.h>

#include "kernels/layer_norm_f32.h"
#include "kernels/norm_rows.h"
#include "kernels/norm_rows_neon.h"

namespace vantrel {

namespace {

template <int R>
void layer_norm_rows_neon(const float* in, const float* gamma, const float* beta, float* out,
                          int64_t r, int64_t n, float inv_c, float eps) {
    const float* x[R];
    float mean[R], sq[R];
    for (int i = 0; i < R; ++i) x[i] = in + (r + i) * n;
    lane4_sums_neon<R, false>(x, n, nullptr, mean);
    for (int i = 0; i < R; ++i) mean[i] = mean[i] * inv_c;
    lane4_sums_neon<R, true>(x, n, mean, sq);
    for (int i = 0; i < R; ++i) {
        const float rstd = 1.0f / sqrtf(fmaf(sq[i], inv_c, eps));
        float* y = out + (r + i) * n;
        const float32x4_t vm = vdupq_n_f32(mean[i]), vr = vdupq_n_f32(rstd);
        int64_t j = 0;
        for (; j + 4 <= n; j += 4) {
            const float32x4_t g = gamma ? vld1q_f32(gamma + j) : vdupq_n_f32(1.0f);
            const float32x4_t b = beta ? vld1q_f32(beta + j) : vdupq_n_f32(0.0f);
            const float32x4_t d = vsubq_f32(vld1q_f32(x[i] + j), vm);
            vst1q_f32(y + j, vfmaq_f32(b, vmulq_f32(vr, g), d));
        }
        for (; j < n; ++j) {
            const float g = gamma ? gamma[j] : 1.0f;
            const float b = beta ? beta[j] : 0.0f;
            y[j] = fmaf(rstd * g, x[i][j] - mean[i], b);
        }
    }
}

}  // namespace

void k_layer_norm_f32_neon(const float* in, const float* gamma, const float* beta, float* out,
                           int32_t rows, int32_t c, void*, float eps) {
    if (rows <= 0 || c <= 0) return;
    const int64_t n = c;
    const float inv_c = 1.0f / float(c);
    norm_for_rows(rows, [&](int64_t r0, int64_t r1) {
        int64_t r = r0;
        for (; r + 4 <= r1; r += 4) layer_norm_rows_neon<4>(in, gamma, beta, out, r, n, inv_c, eps);
        for (; r < r1; ++r) layer_norm_rows_neon<1>(in, gamma, beta, out, r, n, inv_c, eps);
    });
}

}  // namespace vantrel
