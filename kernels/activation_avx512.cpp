// Activation kernels on sixteen lanes: four groups of 4 per register, the
// last one to three groups under a mask, then the scalar tail (activation.h).
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "kernels/activation.h"
#include "kernels/vmath_avx512.h"

namespace vantrel {

namespace {
using namespace vmath;

template <class Vec, class Tail>
void run_groups(const float* x, float* y, int32_t n, Vec vec, Tail tail) {
    int64_t groups_end = n < 0 ? 0 : int64_t(n) / 4 * 4;
    int64_t i = 0;
    for (; i + 16 <= groups_end; i += 16) _mm512_storeu_ps(y + i, vec(_mm512_loadu_ps(x + i)));
    if (i < groups_end) {
        // Masked-off lanes are neither read nor written.
        __mmask16 m = __mmask16((1u << (groups_end - i)) - 1u);
        _mm512_mask_storeu_ps(y + i, m, vec(_mm512_maskz_loadu_ps(m, x + i)));
        i = groups_end;
    }
    for (; i < n; ++i) y[i] = tail(x[i]);
}

inline __m512 neg(__m512 v) { return _mm512_xor_ps(v, _mm512_set1_ps(-0.0f)); }
}  // namespace

void k_leaky_relu_f32_avx512(const float* x, float* y, int32_t n, void*, float alpha) {
    const __m512 a = _mm512_set1_ps(alpha);
    auto vec = [a](__m512 v) {
        __mmask16 keep = _mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_GE_OQ);
        return _mm512_mask_blend_ps(keep, _mm512_mul_ps(a, v), v);
    };
    run_groups(x, y, n, vec, [alpha](float v) { return act::leaky(v, alpha); });
}

void k_exp_f32_avx512(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, [](__m512 v) { return vexp_avx512(v); }, act::exp_tail);
}

void k_sin_f32_avx512(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, [](__m512 v) { return vsin_avx512(v); }, act::sin_tail);
}

void k_sigmoid_f32_avx512(const float* x, float* y, int32_t n, void*) {
    auto vec = [](__m512 v) { return recip_avx512(_mm512_add_ps(_mm512_set1_ps(1.0f), vexp_avx512(neg(v)))); };
    run_groups(x, y, n, vec, act::sigmoid_tail);
}

void k_tanh_f32_avx512(const float* x, float* y, int32_t n, void*) {
    auto vec = [](__m512 v) {
        __m512 e = vexp_avx512(_mm512_mul_ps(_mm512_set1_ps(-2.0f), v));
        __m512 r = recip_avx512(_mm512_add_ps(_mm512_set1_ps(1.0f), e));
        return _mm512_sub_ps(_mm512_mul_ps(_mm512_set1_ps(2.0f), r), _mm512_set1_ps(1.0f));
    };
    run_groups(x, y, n, vec, act::tanh_tail);
}

void k_gelu_f32_avx512(float* x, int32_t n, void*) {
    auto vec = [](__m512 v) {
        __m512 cube = _mm512_mul_ps(_mm512_mul_ps(v, v), v);
        __m512 u = _mm512_add_ps(v, _mm512_mul_ps(_mm512_set1_ps(act::kGeluCubic), cube));
        __m512 e = vexp_avx512(_mm512_mul_ps(_mm512_set1_ps(act::kGeluScale2), u));
        __m512 r = recip_avx512(_mm512_add_ps(_mm512_set1_ps(1.0f), e));
        return _mm512_mul_ps(v, _mm512_sub_ps(_mm512_set1_ps(1.0f), r));
    };
    run_groups(x, x, n, vec, act::gelu_tail);
}

void k_silu_f32_avx512(const float* x, float* y, int32_t n, void*) {
    auto vec = [](__m512 v) {
        return _mm512_mul_ps(v, recip_avx512(_mm512_add_ps(_mm512_set1_ps(1.0f), vexp_avx512(neg(v)))));
    };
    run_groups(x, y, n, vec, act::silu_tail);
}

}  // namespace vantrel
