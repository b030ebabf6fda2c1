#include <immintrin.h>

#include "kernels/elementwise/embedding_f32.h"

namespace vantrel {

void k_embedding_f32_avx2(const float* ids, const float* table, float* out, int32_t n,
                          int32_t vocab, int32_t dim) {
    if (n <= 0 || vocab <= 0 || dim <= 0) return;
    const int64_t d = dim;
    for (int64_t t = 0; t < n; ++t) {
        const float* src = table + embedding_row(ids[t], vocab) * d;
        float* dst = out + t * d;
        int64_t j = 0;
        for (; j + 8 <= d; j += 8) _mm256_storeu_ps(dst + j, _mm256_loadu_ps(src + j));
        for (; j < d; ++j) dst[j] = src[j];
    }
}

}  // namespace vantrel
