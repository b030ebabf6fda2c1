#include <immintrin.h>

#include "kernels/elementwise/scale_f32.h"

namespace vantrel {

void k_scale_f32_avx2(const float* x, float* y, int32_t n, void*, float scalar) {
    const __m256 s = _mm256_set1_ps(scalar);
    int64_t i = 0;
    for (; i + 8 <= n; i += 8) _mm256_storeu_ps(y + i, _mm256_mul_ps(_mm256_loadu_ps(x + i), s));
    for (; i < n; ++i) y[i] = x[i] * scalar;
}

}  // namespace vantrel
