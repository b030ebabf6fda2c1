// AVX2 weight-only int8 dot products: one register holds the eight lanes.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "kernels/gemm/seq_gemm_w8.h"

namespace vantrel {

namespace {

inline __m256 codes8(const int8_t* q) {
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q))));
}

float dot_w8_avx2(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group) {
    __m256 acc = _mm256_setzero_ps();
    for (int64_t k0 = 0, g = 0; k0 < k; k0 += group, ++g) {
        const int64_t k1 = std::min(k, k0 + group);
        __m256 part = _mm256_setzero_ps();
        int64_t i = k0;
        for (; i + 8 <= k1; i += 8) part = _mm256_fmadd_ps(_mm256_loadu_ps(x + i), codes8(q + i), part);
        if (i < k1) {  // zero-padded last block of the group
            float xs[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            int8_t qs[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            std::memcpy(xs, x + i, size_t(k1 - i) * 4);
            std::memcpy(qs, q + i, size_t(k1 - i));
            part = _mm256_fmadd_ps(_mm256_loadu_ps(xs), codes8(qs), part);
        }
        acc = _mm256_fmadd_ps(part, _mm256_set1_ps(scales[g]), acc);
    }
    alignas(32) float lanes[8];
    _mm256_store_ps(lanes, acc);
    return w8_lane_total(lanes);
}

}  // namespace

void k_seq_gemm_w8_f32_avx2(const float* x, const int8_t* q, const float* scales, const float* bias,
                            float* y, int32_t t, int32_t k, int32_t n, int32_t group, void*) {
    seq_gemm_w8_rows(x, q, scales, bias, y, t, k, n, group, &dot_w8_avx2);
}

}  // namespace vantrel
