#include <immintrin.h>

#include "kernels/elementwise/add_f32.h"

namespace vantrel {

namespace {
// Keeps s where !(s <= 0), i.e. s > 0 or NaN; everything else becomes +0.
inline __m512 relu_group(__m512 s) {
    return _mm512_maskz_mov_ps(_mm512_cmp_ps_mask(s, _mm512_setzero_ps(), _CMP_NLE_UQ), s);
}
}  // namespace

void k_add_f32_avx512(const float* a, const float* b, float* out, int32_t n, bool relu, void*) {
    int64_t end = n < 0 ? 0 : n;
    // Without ReLU every element is a plain sum; with it only whole groups
    // take the vector rule.
    int64_t vec_end = relu ? end / 4 * 4 : end;
    int64_t i = 0;
    for (; i + 16 <= vec_end; i += 16) {
        __m512 s = _mm512_add_ps(_mm512_loadu_ps(a + i), _mm512_loadu_ps(b + i));
        _mm512_storeu_ps(out + i, relu ? relu_group(s) : s);
    }
    if (i < vec_end) {
        __mmask16 m = __mmask16((1u << (vec_end - i)) - 1u);
        __m512 s = _mm512_add_ps(_mm512_maskz_loadu_ps(m, a + i), _mm512_maskz_loadu_ps(m, b + i));
        _mm512_mask_storeu_ps(out + i, m, relu ? relu_group(s) : s);
        i = vec_end;
    }
    for (; i < end; ++i) out[i] = add_f32::relu_tail(a[i] + b[i]);
}

}  // namespace vantrel
