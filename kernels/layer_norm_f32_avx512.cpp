#include <immintrin.h>
#include <math.h>

#include "kernels/layer_norm_f32.h"
#include "kernels/norm_rows.h"
#include "kernels/norm_rows_x86.h"

namespace vantrel {

namespace {

template <int R>
void layer_norm_rows_avx512(const float* in, const float* gamma, const float* beta, float* out,
                            int64_t r, int64_t n, float inv_c, float eps) {
    const float* x[R];
    float mean[R], sq[R];
    for (int i = 0; i < R; ++i) x[i] = in + (r + i) * n;
    lane4_sums_x86<R, false>(x, n, nullptr, mean);
    for (int i = 0; i < R; ++i) mean[i] = mean[i] * inv_c;
    lane4_sums_x86<R, true>(x, n, mean, sq);
    for (int i = 0; i < R; ++i) {
        const float rstd = 1.0f / sqrtf(fmaf(sq[i], inv_c, eps));
        float* y = out + (r + i) * n;
        const __m512 vm = _mm512_set1_ps(mean[i]), vr = _mm512_set1_ps(rstd);
        for (int64_t j = 0; j < n; j += 16) {
            const __mmask16 k = n - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (n - j)) - 1u);
            const __m512 g = gamma ? _mm512_maskz_loadu_ps(k, gamma + j) : _mm512_set1_ps(1.0f);
            const __m512 b = beta ? _mm512_maskz_loadu_ps(k, beta + j) : _mm512_setzero_ps();
            const __m512 d = _mm512_sub_ps(_mm512_maskz_loadu_ps(k, x[i] + j), vm);
            _mm512_mask_storeu_ps(y + j, k, _mm512_fmadd_ps(_mm512_mul_ps(vr, g), d, b));
        }
    }
}

}  // namespace

void k_layer_norm_f32_avx512(const float* in, const float* gamma, const float* beta, float* out,
                             int32_t rows, int32_t c, void*, float eps) {
    if (rows <= 0 || c <= 0) return;
    const int64_t n = c;
    const float inv_c = 1.0f / float(c);
    norm_for_rows(rows, [&](int64_t r0, int64_t r1) {
        int64_t r = r0;
        for (; r + 4 <= r1; r += 4) layer_norm_rows_avx512<4>(in, gamma, beta, out, r, n, inv_c, eps);
        for (; r < r1; ++r) layer_norm_rows_avx512<1>(in, gamma, beta, out, r, n, inv_c, eps);
    });
}

}  // namespace vantrel
