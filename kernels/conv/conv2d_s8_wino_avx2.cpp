// The int8 Winograd F(2x2, 3x3) convolution's transforms on AVX2.
// Input: B^T d B of 16 channels in 16-bit lanes, the rounding shift by 2 and
// vpacksswb's saturation, as the scalar narrow_quarter().
// Output stage, 8
// channels of a tile at a time, as the AVX-512 one (conv2d_s8_wino_avx512.cpp
// tells the steps) on 4-lane 64-bit vectors. AVX2 has no 64-bit arithmetic
// shift or min/max: the shift is the logical one between two flips by the
// sign, and the clamps compare and blend. Same bytes as the scalar stage.
#include <immintrin.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "kernels/conv/conv2d_s8_wino.h"
#include "kernels/conv/conv2d_s8_wino_rescale.h"
#include "kernels/conv/wino_patch.h"
#include "kernels/simd/requant_x86.h"

namespace vantrel {

namespace {

inline __m256i sra64(__m256i v, __m128i k) {
    const __m256i sign = _mm256_cmpgt_epi64(_mm256_setzero_si256(), v);
    return _mm256_xor_si256(_mm256_srl_epi64(_mm256_xor_si256(v, sign), k), sign);
}

inline __m256i clamp64(__m256i v, __m256i lo, __m256i hi) {
    v = _mm256_blendv_epi8(v, lo, _mm256_cmpgt_epi64(lo, v));
    return _mm256_blendv_epi8(v, hi, _mm256_cmpgt_epi64(v, hi));
}

// rescale() of one position on 4 lanes (conv2d_s8_wino_rescale.h).
struct PosRescale {
    __m256i mult, lo, hi, rnd;
    __m128i lsh, rsh;
    bool left;
};

PosRescale pos_rescale(int32_t m, int32_t e) {
    const WinoRescaleLanes w = wino_rescale_lanes(m, e);
    return PosRescale{_mm256_set1_epi64x(w.mult), _mm256_set1_epi64x(w.lo), _mm256_set1_epi64x(w.hi),
                      _mm256_set1_epi64x(w.rnd), _mm_cvtsi64_si128(w.lsh), _mm_cvtsi64_si128(w.rsh), w.left};
}

template <bool ANY_LEFT>
inline __m256i rescale(__m256i x, const PosRescale& p) {
    const __m256i t = sra64(_mm256_add_epi64(_mm256_mul_epi32(x, p.mult), p.rnd), p.rsh);
    if (!ANY_LEFT || !p.left) return t;
    const __m256i l = _mm256_sll_epi64(clamp64(t, p.lo, p.hi), p.lsh);
    return clamp64(l, _mm256_set1_epi64x(-kWinoRescaleLimit), _mm256_set1_epi64x(kWinoRescaleLimit));
}

// requantize(y, 0, multiplier, shift, out_zp) of 8 channels (m and sh hold
// their multipliers and shifts, zeros past a channel tail), and their
// biases' low words (even channels, then odd) in 64-bit lanes.
struct Block : RequantLanes8 {
    __m256i bias_even, bias_odd, keep;
    int cols;
    Block(const WinoS8Output& o, int64_t ch, const int32_t* m, const int32_t* sh)
        : RequantLanes8(m, sh, o.out_zp), cols(int(std::min<int64_t>(8, o.cout - ch))) {
        alignas(32) int32_t k[8] = {};
        alignas(32) int64_t b[8] = {};
        for (int l = 0; l < cols; ++l) {
            k[l] = -1;
            // As on the other int8 paths, bits above the bias's low word do not count.
            b[l] = o.wino_bias ? int32_t(uint32_t(uint64_t(o.wino_bias[ch + l]))) : 0;
        }
        keep = _mm256_load_si256((const __m256i*)k);
        const __m256i b0 = _mm256_load_si256((const __m256i*)b), b1 = _mm256_load_si256((const __m256i*)(b + 4));
        bias_even = _mm256_permute4x64_epi64(_mm256_unpacklo_epi64(b0, b1), _MM_SHUFFLE(3, 1, 2, 0));
        bias_odd = _mm256_permute4x64_epi64(_mm256_unpackhi_epi64(b0, b1), _MM_SHUFFLE(3, 1, 2, 0));
    }
};

template <bool ANY_LEFT>
void output_tiles(const WinoS8Output& o, const PosRescale (&pr)[16], const std::vector<Block>& blocks,
                  int64_t n0, int64_t n1) {
    const int64_t c = o.cout, pt = o.pos_stride;
    const __m256i lo = _mm256_set1_epi64x(INT32_MIN), hi = _mm256_set1_epi64x(INT32_MAX);
    for (int64_t n = n0; n < n1; ++n) {
        int8_t* dst[4];
        wino_s8_tile_outputs(o, n, dst);
        for (size_t bi = 0; bi < blocks.size(); ++bi) {
            const Block& bk = blocks[bi];
            const int64_t ch = int64_t(bi) * 8;
            const int32_t* src = o.pm + (n - n0) * c + ch;
            __m256i x[16];
            for (int t = 0; t < 16; ++t)
                x[t] = bk.cols == 8 ? _mm256_loadu_si256((const __m256i*)(src + t * pt))
                                    : _mm256_maskload_epi32(src + t * pt, bk.keep);
            __m256i s[4][2];
            for (int h = 0; h < 2; ++h) {
                __m256i r[16];
                for (int t = 0; t < 16; ++t) r[t] = rescale<ANY_LEFT>(h ? _mm256_srli_epi64(x[t], 32) : x[t], pr[t]);
                __m256i a[2][4];
                for (int j = 0; j < 4; ++j) {
                    a[0][j] = _mm256_add_epi64(_mm256_add_epi64(r[j], r[4 + j]), r[8 + j]);
                    a[1][j] = _mm256_sub_epi64(_mm256_sub_epi64(r[4 + j], r[8 + j]), r[12 + j]);
                }
                const __m256i b = h ? bk.bias_odd : bk.bias_even;
                for (int i = 0; i < 2; ++i) {
                    const __m256i* q = a[i];
                    const __m256i y0 = _mm256_add_epi64(_mm256_add_epi64(_mm256_add_epi64(q[0], q[1]), q[2]), b);
                    const __m256i y1 = _mm256_add_epi64(_mm256_sub_epi64(_mm256_sub_epi64(q[1], q[2]), q[3]), b);
                    s[2 * i][h] = clamp64(y0, lo, hi);
                    s[2 * i + 1][h] = clamp64(y1, lo, hi);
                }
            }
            for (int k = 0; k < 4; ++k) {
                if (!dst[k]) continue;
                const __m256i y = _mm256_blend_epi32(s[k][0], _mm256_slli_epi64(s[k][1], 32), 0xAA);
                const __m256i v = bk(y);
                const __m128i s16 = _mm_packs_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
                const __m128i b8 = _mm_packs_epi16(s16, s16);
                if (bk.cols == 8) {
                    _mm_storel_epi64((__m128i*)(dst[k] + ch), b8);
                } else {
                    alignas(16) int8_t tmp[16];
                    _mm_store_si128((__m128i*)tmp, b8);
                    std::memcpy(dst[k] + ch, tmp, size_t(bk.cols));
                }
            }
        }
    }
}

// (v + 2) >> 2 of 16 lanes saturated to int8.
inline __m128i narrow_quarter(__m256i v) {
    const __m256i q = _mm256_srai_epi16(_mm256_add_epi16(v, _mm256_set1_epi16(2)), 2);
    return _mm_packs_epi16(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1));
}

}  // namespace

void conv2d_s8_wino_input_avx2(VANTREL_WINO_S8_INPUT_ARGS) {
    for (int64_t n = n0; n < n1; ++n) {
        const int8_t* p[4][4];
        wino_patch(in, zp_row, h, w, c, tw, n, p);
        int8_t* dst = v + (n - n0) * c;
        for (int64_t ch = 0; ch < c; ch += 16) {
            // A channel tail goes through zero-padded copies.
            const int64_t cols = std::min<int64_t>(16, c - ch);
            alignas(16) int8_t pad[4][4][16] = {}, out[16][16];
            __m256i d[4][4];
            for (int i = 0; i < 4; ++i)
                for (int j = 0; j < 4; ++j) {
                    const int8_t* src = p[i][j] + ch;
                    if (cols < 16) src = static_cast<const int8_t*>(std::memcpy(pad[i][j], src, size_t(cols)));
                    d[i][j] = _mm256_cvtepi8_epi16(_mm_loadu_si128((const __m128i*)src));
                }
            // Rows of B^T d: r0 - r2, r1 + r2, r2 - r1, r1 - r3; then the columns.
            __m256i q[4][4];
            for (int j = 0; j < 4; ++j) {
                q[0][j] = _mm256_sub_epi16(d[0][j], d[2][j]);
                q[1][j] = _mm256_add_epi16(d[1][j], d[2][j]);
                q[2][j] = _mm256_sub_epi16(d[2][j], d[1][j]);
                q[3][j] = _mm256_sub_epi16(d[1][j], d[3][j]);
            }
            __m128i r[16];
            for (int i = 0; i < 4; ++i) {
                r[4 * i] = narrow_quarter(_mm256_sub_epi16(q[i][0], q[i][2]));
                r[4 * i + 1] = narrow_quarter(_mm256_add_epi16(q[i][1], q[i][2]));
                r[4 * i + 2] = narrow_quarter(_mm256_sub_epi16(q[i][2], q[i][1]));
                r[4 * i + 3] = narrow_quarter(_mm256_sub_epi16(q[i][1], q[i][3]));
            }
            for (int t = 0; t < 16; ++t) {
                int8_t* o = dst + int64_t(t) * vt + ch;
                if (cols == 16) {
                    _mm_storeu_si128((__m128i*)o, r[t]);
                } else {
                    _mm_store_si128((__m128i*)out[t], r[t]);
                    std::memcpy(o, out[t], size_t(cols));
                }
            }
        }
    }
}

void conv2d_s8_wino_output_avx2(VANTREL_WINO_S8_OUTPUT_ARGS) {
    if (n1 <= n0) return;
    PosRescale pr[16];
    bool any_left = false;
    for (int t = 0; t < 16; ++t) {
        pr[t] = pos_rescale(o.pos_multiplier[t], o.pos_shift[t]);
        any_left |= pr[t].left;
    }
    std::vector<Block> blocks;
    for (int64_t ch = 0; ch < o.cout; ch += 8) {
        alignas(32) int32_t m[8] = {}, sh[8] = {};
        const int64_t cols = std::min<int64_t>(8, o.cout - ch);
        std::copy(o.multiplier + ch, o.multiplier + ch + cols, m);
        std::copy(o.shift + ch, o.shift + ch + cols, sh);
        blocks.emplace_back(o, ch, m, sh);
    }
    if (any_left) output_tiles<true>(o, pr, blocks, n0, n1);
    else output_tiles<false>(o, pr, blocks, n0, n1);
}

}  // namespace vantrel
