#include <immintrin.h>

#include "kernels/elementwise/scale_f32.h"

namespace vantrel {

void k_scale_f32_avx512(const float* x, float* y, int32_t n, void*, float scalar) {
    const __m512 s = _mm512_set1_ps(scalar);
    int64_t i = 0;
    for (; i + 16 <= n; i += 16) _mm512_storeu_ps(y + i, _mm512_mul_ps(_mm512_loadu_ps(x + i), s));
    if (i < n) {
        __mmask16 m = __mmask16((1u << (n - i)) - 1u);
        _mm512_mask_storeu_ps(y + i, m, _mm512_mul_ps(_mm512_maskz_loadu_ps(m, x + i), s));
    }
}

}  // namespace vantrel
