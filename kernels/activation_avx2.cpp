// Activation kernels on eight lanes: two groups of 4 per register, a lone
// last group in the low half, then the scalar tail (activation.h).
#include <immintrin.h>

#include "kernels/activation.h"
#include "kernels/vmath_avx2.h"

namespace vantrel {

namespace {
using namespace vmath;

template <class Vec, class Tail>
void run_groups(const float* x, float* y, int32_t n, Vec vec, Tail tail) {
    int64_t groups_end = n < 0 ? 0 : int64_t(n) / 4 * 4;
    int64_t i = 0;
    for (; i + 8 <= groups_end; i += 8) _mm256_storeu_ps(y + i, vec(_mm256_loadu_ps(x + i)));
    if (i < groups_end) {
        __m256 v = _mm256_zextps128_ps256(_mm_loadu_ps(x + i));
        _mm_storeu_ps(y + i, _mm256_castps256_ps128(vec(v)));
        i += 4;
    }
    for (; i < n; ++i) y[i] = tail(x[i]);
}

inline __m256 neg(__m256 v) { return _mm256_xor_ps(v, _mm256_set1_ps(-0.0f)); }
}  // namespace

void k_leaky_relu_f32_avx2(const float* x, float* y, int32_t n, void*, float alpha) {
    const __m256 a = _mm256_set1_ps(alpha);
    auto vec = [a](__m256 v) {
        __m256 keep = _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ);
        return _mm256_blendv_ps(_mm256_mul_ps(a, v), v, keep);
    };
    run_groups(x, y, n, vec, [alpha](float v) { return act::leaky(v, alpha); });
}

void k_exp_f32_avx2(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, [](__m256 v) { return vexp_avx2(v); }, act::exp_tail);
}

void k_sin_f32_avx2(const float* x, float* y, int32_t n, void*) {
    run_groups(x, y, n, [](__m256 v) { return vsin_avx2(v); }, act::sin_tail);
}

void k_sigmoid_f32_avx2(const float* x, float* y, int32_t n, void*) {
    auto vec = [](__m256 v) { return recip_avx2(_mm256_add_ps(_mm256_set1_ps(1.0f), vexp_avx2(neg(v)))); };
    run_groups(x, y, n, vec, act::sigmoid_tail);
}

void k_tanh_f32_avx2(const float* x, float* y, int32_t n, void*) {
    auto vec = [](__m256 v) {
        __m256 e = vexp_avx2(_mm256_mul_ps(_mm256_set1_ps(-2.0f), v));
        __m256 r = recip_avx2(_mm256_add_ps(_mm256_set1_ps(1.0f), e));
        return _mm256_sub_ps(_mm256_mul_ps(_mm256_set1_ps(2.0f), r), _mm256_set1_ps(1.0f));
    };
    run_groups(x, y, n, vec, act::tanh_tail);
}

void k_gelu_f32_avx2(float* x, int32_t n, void*) {
    auto vec = [](__m256 v) {
        __m256 cube = _mm256_mul_ps(_mm256_mul_ps(v, v), v);
        __m256 u = _mm256_add_ps(v, _mm256_mul_ps(_mm256_set1_ps(act::kGeluCubic), cube));
        __m256 e = vexp_avx2(_mm256_mul_ps(_mm256_set1_ps(act::kGeluScale2), u));
        __m256 r = recip_avx2(_mm256_add_ps(_mm256_set1_ps(1.0f), e));
        return _mm256_mul_ps(v, _mm256_sub_ps(_mm256_set1_ps(1.0f), r));
    };
    run_groups(x, x, n, vec, act::gelu_tail);
}

void k_silu_f32_avx2(const float* x, float* y, int32_t n, void*) {
    auto vec = [](__m256 v) {
        return _mm256_mul_ps(v, recip_avx2(_mm256_add_ps(_mm256_set1_ps(1.0f), vexp_avx2(neg(v)))));
    };
    run_groups(x, y, n, vec, act::silu_tail);
}

}  // namespace vantrel
