// The AVX2 lane struct of the causal attention: eight lanes plus the
// horizontal sums and the row maximum in the portable order. Shared by the
// AVX2 and AVX-512 files; unnamed namespace, so each keeps its own copy.
#pragma once
#include <immintrin.h>

#include <cstdint>

#include "kernels/simd/lanes_f32_avx2.h"

namespace vantrel {
namespace {

struct CausalLanesAvx2 : LanesF32Avx2 {
    // ((l0+l1)+(l2+l3)) + ((l4+l5)+(l6+l7)), the order of the portable lanes.
    static float hsum8(const V* a) {
        const __m256 h = _mm256_hadd_ps(a[0], a[0]);
        const __m256 h2 = _mm256_hadd_ps(h, h);
        return _mm_cvtss_f32(_mm256_castps256_ps128(h2)) + _mm_cvtss_f32(_mm256_extractf128_ps(h2, 1));
    }
    // Four sums, times scale, in the same order: the pair and quad sums of each register
    // by two rounds of hadd, then the two halves added.
    static void hsum8x4_scaled(const V* a, const V* b, const V* c, const V* d, float scale, float* out) {
        const __m256 q = _mm256_hadd_ps(_mm256_hadd_ps(a[0], b[0]), _mm256_hadd_ps(c[0], d[0]));
        const __m128 sum = _mm_add_ps(_mm256_castps256_ps128(q), _mm256_extractf128_ps(q, 1));
        _mm_storeu_ps(out, _mm_mul_ps(_mm_set1_ps(scale), sum));
    }
    // m = s[0], then m = s[j] > m ? s[j] : m. maxps(x, m) is exactly that
    // choice lane by lane (a NaN x keeps m, a NaN m stays), and the lanes
    // meet by the same rule; a maximum of ordered values does not depend on
    // the order, and where +0 and -0 tie, s - m is the same either way.
    static float row_max(const float* s, int64_t n) {
        float m = s[0];
        int64_t j = 1;
        if (n >= 17) {
            __m256 v = _mm256_set1_ps(m);
            for (; j + 8 <= n; j += 8) v = _mm256_max_ps(_mm256_loadu_ps(s + j), v);
            alignas(32) float l[8];
            _mm256_store_ps(l, v);
            for (float x : l) m = x > m ? x : m;
        }
        for (; j < n; ++j) m = s[j] > m ? s[j] : m;
        return m;
    }
};

}  // namespace
}  // namespace vantrel
