// AVX-512 symmetric row quantisation: the same codes and scales as
// quantize_row_symmetric. vmaxps returns its second operand when the first
// is NaN, so max(|x|, amax) leaves NaN out as the scalar compare does; the
// maximum does not depend on the order it is taken in.
// GCC 12 takes the undefined pass-through operands inside its AVX-512
// intrinsic headers for uninitialised reads.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <math.h>

#include "kernels/quantize.h"

namespace vantrel {

void quantize_rows_symmetric_avx512(const float* x, int8_t* q, float* scales, int64_t rows,
                                    int64_t k) {
    const int64_t full = k / 16 * 16;
    const __m512 lo = _mm512_set1_ps(-128.0f), hi = _mm512_set1_ps(127.0f);
    for (int64_t r = 0; r < rows; ++r) {
        const float* xr = x + r * k;
        int8_t* qr = q + r * k;
        __m512 m0 = _mm512_setzero_ps(), m1 = _mm512_setzero_ps();
        int64_t i = 0;
        for (; i + 32 <= full; i += 32) {
            m0 = _mm512_max_ps(_mm512_abs_ps(_mm512_loadu_ps(xr + i)), m0);
            m1 = _mm512_max_ps(_mm512_abs_ps(_mm512_loadu_ps(xr + i + 16)), m1);
        }
        if (i < full) m0 = _mm512_max_ps(_mm512_abs_ps(_mm512_loadu_ps(xr + i)), m0);
        if (full < k) {
            // Lanes past k load as 0, which never raises the maximum.
            const __mmask16 tail = __mmask16((1u << (k - full)) - 1);
            m1 = _mm512_max_ps(_mm512_abs_ps(_mm512_maskz_loadu_ps(tail, xr + full)), m1);
        }
        float inv;
        const float scale = symmetric_row_scale(_mm512_reduce_max_ps(_mm512_max_ps(m0, m1)), inv);
        const __m512 vinv = _mm512_set1_ps(inv);
        for (i = 0; i < full; i += 16) {
            const __m512 v = _mm512_mul_ps(_mm512_loadu_ps(xr + i), vinv);
            const __mmask16 num = _mm512_cmp_ps_mask(v, v, _CMP_ORD_Q);
            const __m512 c = _mm512_min_ps(
                _mm512_max_ps(_mm512_roundscale_ps(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC), lo), hi);
            _mm_storeu_si128((__m128i*)(qr + i), _mm512_cvtepi32_epi8(_mm512_maskz_cvttps_epi32(num, c)));
        }
        for (; i < k; ++i) qr[i] = symmetric_code(::roundf(xr[i] * inv));
        scales[r] = scale;
    }
}

}  // namespace vantrel
