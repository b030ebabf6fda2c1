// The x86 tile of the many-token weight-only int8 product
// (seq_gemm_w8_tiled.h): eight lanes in one 256-bit register.
#pragma once
#include <immintrin.h>

#include "kernels/gemm/seq_gemm_w8_tiled.h"

namespace vantrel {
namespace {

struct W8TilesX86 : W8RowCodes {
    template <int R, int M>
    static void run(const W8TileArgs& a) {
        __m256 acc[R][M];
        for (int r = 0; r < R; ++r)
            for (int m = 0; m < M; ++m) acc[r][m] = _mm256_setzero_ps();
        // Past k the activations load as zeros, as the one-token kernel pads
        // its last block (a stray inf or NaN there would not stay zero).
        const __m256i tail =
            _mm256_cmpgt_epi32(_mm256_set1_epi32(int(a.k % 8)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
        for (int64_t k0 = 0, g = 0; k0 < a.k; k0 += a.group, ++g) {
            const int64_t k1 = std::min(a.k, k0 + a.group);
            __m256 part[R][M];
            for (int r = 0; r < R; ++r)
                for (int m = 0; m < M; ++m) part[r][m] = _mm256_setzero_ps();
            int64_t i = k0;
            for (; i + 8 <= k1; i += 8) {
                __m256 c[R];
                for (int r = 0; r < R; ++r) c[r] = _mm256_loadu_ps(a.codes + r * a.kp + i);
                for (int m = 0; m < M; ++m) {
                    const __m256 v = _mm256_loadu_ps(a.x + m * a.k + i);
                    for (int r = 0; r < R; ++r) part[r][m] = _mm256_fmadd_ps(v, c[r], part[r][m]);
                }
            }
            if (i < k1) {  // only at k (groups are whole blocks of eight)
                __m256 c[R];
                for (int r = 0; r < R; ++r) c[r] = _mm256_loadu_ps(a.codes + r * a.kp + i);
                for (int m = 0; m < M; ++m) {
                    const __m256 v = _mm256_maskload_ps(a.x + m * a.k + i, tail);
                    for (int r = 0; r < R; ++r) part[r][m] = _mm256_fmadd_ps(v, c[r], part[r][m]);
                }
            }
            for (int r = 0; r < R; ++r) {
                const __m256 s = _mm256_set1_ps(a.scales[r * a.groups + g]);
                for (int m = 0; m < M; ++m) acc[r][m] = _mm256_fmadd_ps(part[r][m], s, acc[r][m]);
            }
        }
        for (int r = 0; r < R; ++r)
            for (int m = 0; m < M; ++m) {
                alignas(32) float lanes[8];
                _mm256_store_ps(lanes, acc[r][m]);
                const float v = w8_lane_total(lanes);
                a.y[m * a.n + r] = a.bias ? v + a.bias[r] : v;
            }
    }
};

}  // namespace
}  // namespace vantrel
