#include <immintrin.h>
#include <math.h>

#include "kernels/norm_rows.h"
#include "kernels/norm_rows_x86.h"
#include "kernels/rms_norm_f32.h"

namespace vantrel {

namespace {

template <int R>
void rms_norm_rows_avx512(const float* in, const float* gamma, float* out, int64_t r, int64_t n,
                          float inv_c, float eps) {
    const float* x[R];
    const float zero[R] = {};
    float sq[R];
    for (int i = 0; i < R; ++i) x[i] = in + (r + i) * n;
    lane4_sums_x86<R, true>(x, n, zero, sq);
    for (int i = 0; i < R; ++i) {
        const float rs = 1.0f / sqrtf(sq[i] * inv_c + eps);
        float* y = out + (r + i) * n;
        const __m512 vr = _mm512_set1_ps(rs);
        for (int64_t j = 0; j < n; j += 16) {
            const __mmask16 k = n - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (n - j)) - 1u);
            const __m512 g = gamma ? _mm512_maskz_loadu_ps(k, gamma + j) : _mm512_set1_ps(1.0f);
            const __m512 v = _mm512_mul_ps(_mm512_maskz_loadu_ps(k, x[i] + j), g);
            _mm512_mask_storeu_ps(y + j, k, _mm512_mul_ps(v, vr));
        }
    }
}

}  // namespace

void k_rms_norm_f32_avx512(const float* in, const float* gamma, float* out, int32_t rows,
                           int32_t c, void*, float eps) {
    if (rows <= 0 || c <= 0) return;
    const int64_t n = c;
    const float inv_c = 1.0f / float(c);
    norm_for_rows(rows, [&](int64_t r0, int64_t r1) {
        int64_t r = r0;
        for (; r + 4 <= r1; r += 4) rms_norm_rows_avx512<4>(in, gamma, out, r, n, inv_c, eps);
        for (; r < r1; ++r) rms_norm_rows_avx512<1>(in, gamma, out, r, n, inv_c, eps);
    });
}

}  // namespace vantrel
