#include <immintrin.h>

#include "kernels/elementwise/mul_f32.h"

namespace vantrel {

void k_mul_f32_avx512(const float* a, const float* b, float* out, int32_t n, void*) {
    int64_t i = 0;
    for (; i + 16 <= n; i += 16)
        _mm512_storeu_ps(out + i, _mm512_mul_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i)));
    if (i < n) {
        const __mmask16 m = __mmask16((1u << (n - i)) - 1u);
        _mm512_mask_storeu_ps(out + i, m, _mm512_mul_ps(_mm512_maskz_loadu_ps(m, a + i),
                                                        _mm512_maskz_loadu_ps(m, b + i)));
    }
}

}  // namespace vantrel
