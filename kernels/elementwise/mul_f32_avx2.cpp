#include <immintrin.h>

#include "kernels/elementwise/mul_f32.h"

namespace vantrel {

void k_mul_f32_avx2(const float* a, const float* b, float* out, int32_t n, void*) {
    int64_t i = 0;
    for (; i + 8 <= n; i += 8)
        _mm256_storeu_ps(out + i, _mm256_mul_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
    for (; i < n; ++i) out[i] = a[i] * b[i];
}

}  // namespace vantrel
