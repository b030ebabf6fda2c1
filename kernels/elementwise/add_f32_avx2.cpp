#include <immintrin.h>

#include "kernels/elementwise/add_f32.h"

namespace vantrel {

namespace {
// Keeps s where !(s <= 0), i.e. s > 0 or NaN; everything else becomes +0.
inline __m256 relu_group(__m256 s) {
    return _mm256_and_ps(s, _mm256_cmp_ps(s, _mm256_setzero_ps(), _CMP_NLE_UQ));
}
}  // namespace

void k_add_f32_avx2(const float* a, const float* b, float* out, int32_t n, bool relu, void*) {
    int64_t i = 0;
    if (!relu) {
        for (; i + 8 <= n; i += 8)
            _mm256_storeu_ps(out + i, _mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i)));
        for (; i < n; ++i) out[i] = a[i] + b[i];
        return;
    }
    int64_t groups_end = n < 0 ? 0 : int64_t(n) / 4 * 4;
    for (; i + 8 <= groups_end; i += 8)
        _mm256_storeu_ps(out + i, relu_group(_mm256_add_ps(_mm256_loadu_ps(a + i), _mm256_loadu_ps(b + i))));
    if (i < groups_end) {
        __m128 s = _mm_add_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i));
        _mm_storeu_ps(out + i, _mm_and_ps(s, _mm_cmpnle_ps(s, _mm_setzero_ps())));
        i += 4;
    }
    for (; i < n; ++i) out[i] = add_f32::relu_tail(a[i] + b[i]);
}

}  // namespace vantrel
