// AVX-512 weight-only int8 product. The order is one of eight lanes, so a
// 512-bit register holds two sums side by side: rows 2p and 2p + 1 of a
// tile in its low and high halves, each half taking exactly the operations
// of the AVX2 kernel. Tiles of six rows by four tokens fill 28 of the 32
// registers.
#include <immintrin.h>

#include "kernels/gemm/seq_gemm_w8.h"
#include "kernels/gemm/seq_gemm_w8_tiled.h"

namespace vantrel {

namespace {

// Sixteen codes as floats. (The zero-masked forms with every lane kept: the
// plain ones read an undefined register, which GCC 12 warns about.)
inline __m512 widen16(__m128i b) {
    return _mm512_maskz_cvtepi32_ps(0xFFFF, _mm512_maskz_cvtepi8_epi32(0xFFFF, b));
}

struct W8TilesAvx512 {
    // Row pairs, block by block: the eight codes of row 2p, then those of
    // row 2p + 1 (zeros for a row past `rows` and past k). Sixteen codes a
    // store: widening one at a time cost as much as the tiles' products.
    static void widen(const int8_t* q, int64_t k, int rows, int R, float* codes, int64_t kp) {
        for (int p = 0; 2 * p < R; ++p) {
            const int8_t* lo = 2 * p < rows ? q + 2 * p * k : nullptr;
            const int8_t* hi = 2 * p + 1 < rows ? q + (2 * p + 1) * k : nullptr;
            float* dst = codes + p * 2 * kp;
            for (int64_t b = 0; b < kp; b += 8) {
                // Masked loads never touch the bytes past k.
                const __mmask16 m = b + 8 <= k ? __mmask16(0xFF) : __mmask16((1u << (k - b)) - 1);
                const __m128i a = lo ? _mm_maskz_loadu_epi8(m, lo + b) : _mm_setzero_si128();
                const __m128i c = hi ? _mm_maskz_loadu_epi8(m, hi + b) : _mm_setzero_si128();
                _mm512_storeu_ps(dst + b * 2, widen16(_mm_unpacklo_epi64(a, c)));
            }
        }
    }

    template <int R, int M>
    static void run(const W8TileArgs& a) {
        constexpr int P = (R + 1) / 2;
        __m512 acc[P][M];
        for (int p = 0; p < P; ++p)
            for (int m = 0; m < M; ++m) acc[p][m] = _mm512_setzero_ps();
        // Past k the activations load as zeros, as the one-token kernel
        // pads its last block. (The broadcasts are the zero-masked form with
        // every lane kept: the plain one reads an undefined register.)
        const __mmask8 tail = __mmask8((1u << (a.k % 8)) - 1);
        for (int64_t k0 = 0, g = 0; k0 < a.k; k0 += a.group, ++g) {
            const int64_t k1 = std::min(a.k, k0 + a.group);
            __m512 part[P][M];
            for (int p = 0; p < P; ++p)
                for (int m = 0; m < M; ++m) part[p][m] = _mm512_setzero_ps();
            int64_t i = k0;
            for (; i + 8 <= k1; i += 8) {
                __m512 c[P];
                for (int p = 0; p < P; ++p) c[p] = _mm512_loadu_ps(a.codes + p * 2 * a.kp + i * 2);
                for (int m = 0; m < M; ++m) {
                    const __m512 v = _mm512_maskz_broadcast_f32x8(0xFFFF, _mm256_loadu_ps(a.x + m * a.k + i));
                    for (int p = 0; p < P; ++p) part[p][m] = _mm512_fmadd_ps(v, c[p], part[p][m]);
                }
            }
            if (i < k1) {  // only at k (groups are whole blocks of eight)
                __m512 c[P];
                for (int p = 0; p < P; ++p) c[p] = _mm512_loadu_ps(a.codes + p * 2 * a.kp + i * 2);
                for (int m = 0; m < M; ++m) {
                    const __m256 x8 = _mm256_maskz_loadu_ps(tail, a.x + m * a.k + i);
                    const __m512 v = _mm512_maskz_broadcast_f32x8(0xFFFF, x8);
                    for (int p = 0; p < P; ++p) part[p][m] = _mm512_fmadd_ps(v, c[p], part[p][m]);
                }
            }
            for (int p = 0; p < P; ++p) {
                const float hi = 2 * p + 1 < R ? a.scales[(2 * p + 1) * a.groups + g] : 0.0f;
                const __m512 s = _mm512_insertf32x8(_mm512_set1_ps(a.scales[2 * p * a.groups + g]),
                                                    _mm256_set1_ps(hi), 1);
                for (int m = 0; m < M; ++m) acc[p][m] = _mm512_fmadd_ps(part[p][m], s, acc[p][m]);
            }
        }
        for (int p = 0; p < P; ++p)
            for (int m = 0; m < M; ++m) {
                alignas(64) float lanes[16];
                _mm512_store_ps(lanes, acc[p][m]);
                for (int h = 0; h < 2 && 2 * p + h < R; ++h) {
                    const int r = 2 * p + h;
                    const float v = w8_lane_total(lanes + 8 * h);
                    a.y[m * a.n + r] = a.bias ? v + a.bias[r] : v;
                }
            }
    }
};

// One token, P row pairs: row 2p in the low half of a register and 2p + 1 in
// the high half, so P registers carry 2P independent chains per lane. The
// codes of both rows are widened together straight from the int8 rows. With
// Odd, the last row pairs with a copy of itself, whose result is dropped.
// (Rows at fixed multiples of k from one moving pointer keep the addresses
// in a few registers.)
//
// Groups whose size is a multiple of 16 go two at a time: the partial sums
// of group g and g + 1 are separate chains, so 2P chains are in flight
// instead of P, and sixteen codes of a row come in one load (split into
// two blocks of eight by the unpacks that pair the rows anyway). Each chain
// still takes its group's blocks in increasing k, so the sums are the same;
// the rest of k (an odd group, a partial one) goes one group at a time.
template <int P, bool Odd>
void dot_w8_pairs(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group, float* out) {
    constexpr int R = 2 * P - (Odd ? 1 : 0);
    const int64_t groups = (k + group - 1) / group, whole = k / 8 * 8;
    // The high row of pair p.
    auto hi = [](int p) { return Odd && p == P - 1 ? 2 * p : 2 * p + 1; };
    // The rows two passes ahead, fetched while this pass runs: across the
    // interleaved rows the hardware prefetcher lags, and a step waited on
    // memory for half its time without this. Per k of the pass, 2P bytes.
    const uintptr_t ahead = uintptr_t(q) + uintptr_t(2 * 2 * P * k);
    auto prefetch = [&](int64_t from, int64_t codes) {
        for (int64_t j = 0; j < 2 * P * codes; j += 64)
            _mm_prefetch(reinterpret_cast<const char*>(ahead + uintptr_t(2 * P * from + j)), _MM_HINT_T0);
    };
    // Group g's scales of both rows of pair p: low half, then high half.
    auto scale = [&](int p, int64_t g) {
        return _mm512_mask_broadcastss_ps(_mm512_set1_ps(scales[2 * p * groups + g]), __mmask16(0xFF00),
                                          _mm_load_ss(scales + hi(p) * groups + g));
    };
    // Past k the activations and codes load as zeros (masked loads never
    // touch the bytes they skip).
    const __mmask8 tail8 = __mmask8((1u << (k % 8)) - 1);
    const __mmask16 tail16 = __mmask16((1u << (k % 8)) - 1);
    __m512 acc[P];
    for (int p = 0; p < P; ++p) acc[p] = _mm512_setzero_ps();
    int64_t k0 = 0, g = 0;
    if (group % 16 == 0)
        for (; k0 + 2 * group <= k; k0 += 2 * group, g += 2) {
            __m512 pa[P], pb[P];
            for (int p = 0; p < P; ++p) pa[p] = pb[p] = _mm512_setzero_ps();
            for (int64_t i = k0; i < k0 + group; i += 16) {
                const int64_t j = i + group;
                prefetch(k0 + 2 * (i - k0), 32);
                const __m512 va0 = _mm512_maskz_broadcast_f32x8(0xFFFF, _mm256_loadu_ps(x + i));
                const __m512 va1 = _mm512_maskz_broadcast_f32x8(0xFFFF, _mm256_loadu_ps(x + i + 8));
                const __m512 vb0 = _mm512_maskz_broadcast_f32x8(0xFFFF, _mm256_loadu_ps(x + j));
                const __m512 vb1 = _mm512_maskz_broadcast_f32x8(0xFFFF, _mm256_loadu_ps(x + j + 8));
#pragma GCC unroll 8
                for (int p = 0; p < P; ++p) {
                    const int8_t* lo_row = q + 2 * p * k;
                    const int8_t* hi_row = q + hi(p) * k;
                    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo_row + i));
                    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi_row + i));
                    pa[p] = _mm512_fmadd_ps(va0, widen16(_mm_unpacklo_epi64(a, b)), pa[p]);
                    pa[p] = _mm512_fmadd_ps(va1, widen16(_mm_unpackhi_epi64(a, b)), pa[p]);
                    a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(lo_row + j));
                    b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(hi_row + j));
                    pb[p] = _mm512_fmadd_ps(vb0, widen16(_mm_unpacklo_epi64(a, b)), pb[p]);
                    pb[p] = _mm512_fmadd_ps(vb1, widen16(_mm_unpackhi_epi64(a, b)), pb[p]);
                }
            }
#pragma GCC unroll 8
            for (int p = 0; p < P; ++p) {
                acc[p] = _mm512_fmadd_ps(pa[p], scale(p, g), acc[p]);
                acc[p] = _mm512_fmadd_ps(pb[p], scale(p, g + 1), acc[p]);
            }
        }
    for (; k0 < k; k0 += group, ++g) {
        const int64_t k1 = std::min(whole, k0 + group);
        __m512 part[P];
        for (int p = 0; p < P; ++p) part[p] = _mm512_setzero_ps();
        for (int64_t i = k0; i < k1; i += 8) {
            const __m512 v = _mm512_maskz_broadcast_f32x8(0xFFFF, _mm256_loadu_ps(x + i));
            prefetch(i, 8);
            const int8_t* qi = q + i;
#pragma GCC unroll 8
            for (int p = 0; p < P; ++p) {
                const __m128i b = _mm_unpacklo_epi64(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(qi + 2 * p * k)),
                                                     _mm_loadl_epi64(reinterpret_cast<const __m128i*>(qi + hi(p) * k)));
                part[p] = _mm512_fmadd_ps(v, widen16(b), part[p]);
            }
        }
        if (k0 + group > k && whole < k) {  // the zero-padded block at k
            const __m512 v = _mm512_maskz_broadcast_f32x8(0xFFFF, _mm256_maskz_loadu_ps(tail8, x + whole));
            for (int p = 0; p < P; ++p) {
                const __m128i b = _mm_unpacklo_epi64(_mm_maskz_loadu_epi8(tail16, q + 2 * p * k + whole),
                                                     _mm_maskz_loadu_epi8(tail16, q + hi(p) * k + whole));
                part[p] = _mm512_fmadd_ps(v, widen16(b), part[p]);
            }
        }
#pragma GCC unroll 8
        for (int p = 0; p < P; ++p) acc[p] = _mm512_fmadd_ps(part[p], scale(p, g), acc[p]);
    }
    for (int p = 0; p < P; ++p) {
        alignas(64) float lanes[16];
        _mm512_store_ps(lanes, acc[p]);
        out[2 * p] = w8_lane_total(lanes);
        if (2 * p + 1 < R) out[2 * p + 1] = w8_lane_total(lanes + 8);
    }
}

// Groups taken two at a time: one pair, two rows per pass. Each row is a
// stream of its own, and with fewer streams at once the memory keeps up
// better: a decoding step's products on two threads took 0.77-0.90 of the
// time they took at eight rows per pass, and the two chains per lane are
// enough while memory sets the pace. Other groups have one chain per pair
// and keep four pairs: eight chains per lane, where sixteen rows per pass
// measured slower.
constexpr int kAvx512PairsTwoGroups = 1;
constexpr int kAvx512Pairs = 4;

template <int P>
void dot_w8_pairs_upto(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group, int rows,
                       float* out) {
    if constexpr (P > 1)
        if (rows <= 2 * (P - 1)) return dot_w8_pairs_upto<P - 1>(x, q, scales, k, group, rows, out);
    if (rows % 2) return dot_w8_pairs<P, true>(x, q, scales, k, group, out);
    dot_w8_pairs<P, false>(x, q, scales, k, group, out);
}

}  // namespace

void k_seq_gemm_w8_f32_avx512(const float* x, const int8_t* q, const float* scales, const float* bias,
                              float* y, int32_t t, int32_t k, int32_t n, int32_t group, void*) {
    if (t > 1) return seq_gemm_w8_tiled<W8TilesAvx512, 6, 4>(x, q, scales, bias, y, t, k, n, group);
    if (t != 1) return;
    if (group % 16 == 0 && k >= 2 * group)
        return seq_gemm_w8_one(x, q, scales, bias, y, k, n, group, 2 * kAvx512PairsTwoGroups,
                               &dot_w8_pairs_upto<kAvx512PairsTwoGroups>);
    seq_gemm_w8_one(x, q, scales, bias, y, k, n, group, 2 * kAvx512Pairs, &dot_w8_pairs_upto<kAvx512Pairs>);
}

}  // namespace vantrel
