#include <immintrin.h>

#include "kernels/elementwise/embedding_f32.h"

namespace vantrel {

void k_embedding_f32_avx512(const float* ids, const float* table, float* out, int32_t n,
                            int32_t vocab, int32_t dim) {
    if (n <= 0 || vocab <= 0 || dim <= 0) return;
    const int64_t d = dim;
    for (int64_t t = 0; t < n; ++t) {
        const float* src = table + embedding_row(ids[t], vocab) * d;
        float* dst = out + t * d;
        for (int64_t j = 0; j < d; j += 16) {
            const __mmask16 k = d - j >= 16 ? __mmask16(0xFFFF) : __mmask16((1u << (d - j)) - 1u);
            _mm512_mask_storeu_ps(dst + j, k, _mm512_maskz_loadu_ps(k, src + j));
        }
    }
}

}  // namespace vantrel
