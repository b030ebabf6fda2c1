// AVX2 weight-only int8 product: one register holds the eight lanes of one
// row and token.
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

// One token, R rows: R independent chains per lane hide the FMA latency a
// single row waits on. The codes are widened straight from the int8 rows.
template <int R>
void dot_w8_rows_avx2(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group,
                      float* out) {
    const int64_t groups = (k + group - 1) / group, whole = k / 8 * 8;
    // Past k the activations load as zeros, and so do the codes below.
    const __m256i tail =
        _mm256_cmpgt_epi32(_mm256_set1_epi32(int(k % 8)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7));
    // The rows two passes ahead, fetched while this pass runs: across the
    // interleaved rows the hardware prefetcher lags behind.
    const uintptr_t ahead = uintptr_t(q) + uintptr_t(2 * R * k);
    __m256 acc[R];
    for (int r = 0; r < R; ++r) acc[r] = _mm256_setzero_ps();
    for (int64_t k0 = 0, g = 0; k0 < k; k0 += group, ++g) {
        const int64_t k1 = std::min(whole, k0 + group);
        __m256 part[R];
        for (int r = 0; r < R; ++r) part[r] = _mm256_setzero_ps();
        for (int64_t i = k0; i < k1; i += 8) {
            const __m256 v = _mm256_loadu_ps(x + i);
            for (int j = 0; j < 8 * R; j += 64)
                _mm_prefetch(reinterpret_cast<const char*>(ahead + uintptr_t(R * i + j)), _MM_HINT_T0);
            for (int r = 0; r < R; ++r) part[r] = _mm256_fmadd_ps(v, codes8(q + r * k + i), part[r]);
        }
        if (k0 + group > k && whole < k) {  // the zero-padded block at k
            const __m256 v = _mm256_maskload_ps(x + whole, tail);
            for (int r = 0; r < R; ++r) {
                int8_t qs[8] = {0, 0, 0, 0, 0, 0, 0, 0};
                std::memcpy(qs, q + r * k + whole, size_t(k - whole));
                part[r] = _mm256_fmadd_ps(v, codes8(qs), part[r]);
            }
        }
        for (int r = 0; r < R; ++r)
            acc[r] = _mm256_fmadd_ps(part[r], _mm256_set1_ps(scales[r * groups + g]), acc[r]);
    }
    for (int r = 0; r < R; ++r) {
        alignas(32) float lanes[8];
        _mm256_store_ps(lanes, acc[r]);
        out[r] = w8_lane_total(lanes);
    }
}

// Four rows: each row is a stream of its own, and with fewer streams at
// once the memory keeps up better (a decoding step's products 0.75-0.89 of
// the time with six rows on two threads, 0.67-0.73 on one, on an AVX-512
// machine running this path); two and three rows measured about the same.
constexpr int kAvx2Rows = 4;

template <int R>
void dot_w8_upto_avx2(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group, int rows,
                      float* out) {
    if constexpr (R > 1)
        if (rows < R) return dot_w8_upto_avx2<R - 1>(x, q, scales, k, group, rows, out);
    dot_w8_rows_avx2<R>(x, q, scales, k, group, out);
}

}  // namespace

void k_seq_gemm_w8_f32_avx2(const float* x, const int8_t* q, const float* scales, const float* bias,
                            float* y, int32_t t, int32_t k, int32_t n, int32_t group, void*) {
    // Two rows by three tokens: twelve sums, two code vectors and one
    // activation vector of the sixteen registers.
    if (t > 1) return seq_gemm_w8_tiled<W8TilesX86, 2, 3>(x, q, scales, bias, y, t, k, n, group);
    if (t == 1) seq_gemm_w8_one(x, q, scales, bias, y, k, n, group, kAvx2Rows, &dot_w8_upto_avx2<kAvx2Rows>);
}

}  // namespace vantrel
