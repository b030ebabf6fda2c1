#include <arm_neon.h>
#include <math.h>

#include "kernels/norm_rows.h"
#include "kernels/norm_rows_neon.h"
#include "kernels/rms_norm_f32.h"

namespace vantrel {

namespace {

template <int R>
void rms_norm_rows_neon(const float* in, const float* gamma, float* out, int64_t r, int64_t n,
                        float inv_c, float eps) {
    const float* x[R];
    const float zero[R] = {};
    float sq[R];
    for (int i = 0; i < R; ++i) x[i] = in + (r + i) * n;
    lane4_sums_neon<R, true>(x, n, zero, sq);
    for (int i = 0; i < R; ++i) {
        const float rs = 1.0f / sqrtf(sq[i] * inv_c + eps);
        float* y = out + (r + i) * n;
        const float32x4_t vr = vdupq_n_f32(rs);
        int64_t j = 0;
        for (; j + 4 <= n; j += 4) {
            const float32x4_t g = gamma ? vld1q_f32(gamma + j) : vdupq_n_f32(1.0f);
            vst1q_f32(y + j, vmulq_f32(vmulq_f32(vld1q_f32(x[i] + j), g), vr));
        }
        for (; j < n; ++j) y[j] = (x[i][j] * (gamma ? gamma[j] : 1.0f)) * rs;
    }
}

}  // namespace

void k_rms_norm_f32_neon(const float* in, const float* gamma, float* out, int32_t rows, int32_t c,
                         void*, float eps) {
    if (rows <= 0 || c <= 0) return;
    const int64_t n = c;
    const float inv_c = 1.0f / float(c);
    norm_for_rows(rows, [&](int64_t r0, int64_t r1) {
        int64_t r = r0;
        for (; r + 4 <= r1; r += 4) rms_norm_rows_neon<4>(in, gamma, out, r, n, inv_c, eps);
        for (; r < r1; ++r) rms_norm_rows_neon<1>(in, gamma, out, r, n, inv_c, eps);
    });
}

}  // namespace vantrel
