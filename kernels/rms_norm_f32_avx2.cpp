#include <immintrin.h>
#include <math.h>

#include "kernels/norm_rows.h"
#include "kernels/norm_rows_x86.h"
#include "kernels/rms_norm_f32.h"

namespace vantrel {

namespace {

template <int R>
void rms_norm_rows_avx2(const float* in, const float* gamma, float* out, int64_t r, int64_t n,
                        float inv_c, float eps) {
    const float* x[R];
    const float zero[R] = {};
    float sq[R];
    for (int i = 0; i < R; ++i) x[i] = in + (r + i) * n;
    lane4_sums_x86<R, true>(x, n, zero, sq);
    for (int i = 0; i < R; ++i) {
        const float rs = 1.0f / sqrtf(sq[i] * inv_c + eps);
        float* y = out + (r + i) * n;
        const __m256 vr = _mm256_set1_ps(rs);
        int64_t j = 0;
        for (; j + 8 <= n; j += 8) {
            const __m256 g = gamma ? _mm256_loadu_ps(gamma + j) : _mm256_set1_ps(1.0f);
            _mm256_storeu_ps(y + j, _mm256_mul_ps(_mm256_mul_ps(_mm256_loadu_ps(x[i] + j), g), vr));
        }
        for (; j < n; ++j) y[j] = (x[i][j] * (gamma ? gamma[j] : 1.0f)) * rs;
    }
}

}  // namespace

void k_rms_norm_f32_avx2(const float* in, const float* gamma, float* out, int32_t rows, int32_t c,
                         void*, float eps) {
    if (rows <= 0 || c <= 0) return;
    const int64_t n = c;
    const float inv_c = 1.0f / float(c);
    norm_for_rows(rows, [&](int64_t r0, int64_t r1) {
        int64_t r = r0;
        for (; r + 4 <= r1; r += 4) rms_norm_rows_avx2<4>(in, gamma, out, r, n, inv_c, eps);
        for (; r < r1; ++r) rms_norm_rows_avx2<1>(in, gamma, out, r, n, inv_c, eps);
    });
}

}  // namespace vantrel
