// AVX2 symmetric row quantisation: the same codes and scales as
// quantize_row_symmetric (see quantize_avx512.cpp for why the vector
// maximum matches the scalar one).
#include <immintrin.h>

#include <math.h>

#include "kernels/quantize.h"

namespace vantrel {

void quantize_rows_symmetric_avx2(const float* x, int8_t* q, float* scales, int64_t rows, int64_t k) {
    const int64_t full = k / 16 * 16;
    const __m256 lo = _mm256_set1_ps(-128.0f), hi = _mm256_set1_ps(127.0f);
    const __m256 absmask = _mm256_castsi256_ps(_mm256_set1_epi32(0x7fffffff));
    for (int64_t r = 0; r < rows; ++r) {
        const float* xr = x + r * k;
        int8_t* qr = q + r * k;
        __m256 m0 = _mm256_setzero_ps(), m1 = _mm256_setzero_ps();
        int64_t i = 0;
        for (; i < full; i += 16) {
            m0 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(xr + i), absmask), m0);
            m1 = _mm256_max_ps(_mm256_and_ps(_mm256_loadu_ps(xr + i + 8), absmask), m1);
        }
        __m256 m = _mm256_max_ps(m0, m1);
        __m128 h = _mm_max_ps(_mm256_castps256_ps128(m), _mm256_extractf128_ps(m, 1));
        h = _mm_max_ps(h, _mm_movehl_ps(h, h));
        h = _mm_max_ss(h, _mm_shuffle_ps(h, h, 1));
        float amax = _mm_cvtss_f32(h);
        for (; i < k; ++i) {
            const float a = ::fabsf(xr[i]);
            amax = a > amax ? a : amax;
        }
        float inv;
        const float scale = symmetric_row_scale(amax, inv);
        const __m256 vinv = _mm256_set1_ps(inv);
        for (i = 0; i < full; i += 8) {
            const __m256 v = _mm256_mul_ps(_mm256_loadu_ps(xr + i), vinv);
            const __m256 num = _mm256_cmp_ps(v, v, _CMP_ORD_Q);
            const __m256 c = _mm256_min_ps(
                _mm256_max_ps(_mm256_round_ps(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC), lo), hi);
            const __m256i n32 = _mm256_cvttps_epi32(_mm256_and_ps(c, num));
            const __m128i w = _mm_packs_epi32(_mm256_castsi256_si128(n32), _mm256_extracti128_si256(n32, 1));
            _mm_storel_epi64((__m128i*)(qr + i), _mm_packs_epi16(w, w));
        }
        for (; i < k; ++i) qr[i] = symmetric_code(::roundf(xr[i] * inv));
        scales[r] = scale;
    }
}

}  // namespace vantrel
