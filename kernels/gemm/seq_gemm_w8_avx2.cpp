// AVX2 weight-only int8 dot products: one register holds the eight lanes of
// a token; each block of eight codes is widened once for up to four tokens.
#include <immintrin.h>

#include <algorithm>
#include <cstring>

#include "kernels/gemm/seq_gemm_w8.h"
#include "kernels/gemm/seq_gemm_w8_tiles_x86.h"

namespace vantrel {

namespace {

inline __m256 codes8(const int8_t* q) {
    return _mm256_cvtepi32_ps(_mm256_cvtepi8_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(q))));
}

template <int M>
void dot_w8_tokens_avx2(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group,
                        float* out) {
    __m256 acc[M];
    for (int m = 0; m < M; ++m) acc[m] = _mm256_setzero_ps();
    for (int64_t k0 = 0, g = 0; k0 < k; k0 += group, ++g) {
        const int64_t k1 = std::min(k, k0 + group);
        __m256 part[M];
        for (int m = 0; m < M; ++m) part[m] = _mm256_setzero_ps();
        int64_t i = k0;
        for (; i + 8 <= k1; i += 8) {
            const __m256 c = codes8(q + i);
            for (int m = 0; m < M; ++m) part[m] = _mm256_fmadd_ps(_mm256_loadu_ps(x + m * k + i), c, part[m]);
        }
        if (i < k1) {  // zero-padded last block of the group
            int8_t qs[8] = {0, 0, 0, 0, 0, 0, 0, 0};
            std::memcpy(qs, q + i, size_t(k1 - i));
            const __m256 c = codes8(qs);
            for (int m = 0; m < M; ++m) {
                float xs[8] = {0, 0, 0, 0, 0, 0, 0, 0};
                std::memcpy(xs, x + m * k + i, size_t(k1 - i) * 4);
                part[m] = _mm256_fmadd_ps(_mm256_loadu_ps(xs), c, part[m]);
            }
        }
        const __m256 s = _mm256_set1_ps(scales[g]);
        for (int m = 0; m < M; ++m) acc[m] = _mm256_fmadd_ps(part[m], s, acc[m]);
    }
    for (int m = 0; m < M; ++m) {
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, acc[m]);
        out[m] = w8_lane_total(lanes);
    }
}

void dot_w8_avx2(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group, int tokens,
                 float* out) {
    switch (tokens) {
        case 4: dot_w8_tokens_avx2<4>(x, q, scales, k, group, out); break;
        case 3: dot_w8_tokens_avx2<3>(x, q, scales, k, group, out); break;
        case 2: dot_w8_tokens_avx2<2>(x, q, scales, k, group, out); break;
        default: dot_w8_tokens_avx2<1>(x, q, scales, k, group, out); break;
    }
}

}  // namespace

void k_seq_gemm_w8_f32_avx2(const float* x, const int8_t* q, const float* scales, const float* bias,
                            float* y, int32_t t, int32_t k, int32_t n, int32_t group, void*) {
    // Two rows by three tokens: twelve sums, two code vectors and one
    // activation vector of the sixteen registers.
    if (t > 1) return seq_gemm_w8_tiled<W8TilesX86, 2, 3>(x, q, scales, bias, y, t, k, n, group);
    seq_gemm_w8_rows(x, q, scales, bias, y, t, k, n, group, &dot_w8_avx2);
}

}  // namespace vantrel
