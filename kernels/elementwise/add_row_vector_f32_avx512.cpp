#include <immintrin.h>

#include "kernels/elementwise/add_row_vector_f32.h"

namespace vantrel {

void k_add_row_vector_f32_avx512(float* x, const float* v, int32_t rows, int32_t n) {
    if (rows <= 0 || n <= 0) return;
    for (int64_t r = 0; r < rows; ++r) {
        float* row = x + r * int64_t(n);
        for (int64_t j = 0; j < n; j += 16) {
            const __mmask16 k = n - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (n - j)) - 1u);
            const __m512 s = _mm512_add_ps(_mm512_maskz_loadu_ps(k, row + j), _mm512_maskz_loadu_ps(k, v + j));
            _mm512_mask_storeu_ps(row + j, k, s);
        }
    }
}

}  // namespace vantrel
