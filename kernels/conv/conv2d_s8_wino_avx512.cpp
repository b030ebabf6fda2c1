// The int8 Winograd F(2x2, 3x3) convolution's transforms on AVX-512.
// Input: B^T d B of 32 channels in 16-bit lanes, the rounding shift by 2
// and vpmovswb's saturation, as the scalar narrow_quarter().
// Output stage, 16 channels of a tile at a time: the per-position rescale
// in 64-bit lanes (vpmuldq on the even and odd channels, then rescale()'s
// clamps as lane min/max and its shifts as vpsllq/vpsraq by the position's
// counts), A^T r A and saturate32 on 64-bit lanes, then requantize on 16
// int32 lanes. Each step gives the scalar stage's integer result, so the
// bytes are the same.
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include <algorithm>
#include <vector>

#include "kernels/conv/conv2d_s8_wino.h"
#include "kernels/conv/conv2d_s8_wino_rescale.h"
#include "kernels/conv/wino_patch.h"
#include "kernels/simd/requant_x86.h"

namespace vantrel {

namespace {

// rescale() of one position on 16 lanes (conv2d_s8_wino_rescale.h).
struct PosRescale {
    __m512i mult, lo, hi, rnd;
    __m128i lsh, rsh;
    bool left, plain;
};

PosRescale pos_rescale(int32_t m, int32_t e) {
    const WinoRescaleLanes w = wino_rescale_lanes(m, e);
    return PosRescale{_mm512_set1_epi64(w.mult), _mm512_set1_epi64(w.lo), _mm512_set1_epi64(w.hi),
                      _mm512_set1_epi64(w.rnd), _mm_cvtsi64_si128(w.lsh), _mm_cvtsi64_si128(w.rsh), w.left,
                      w.plain};
}

// ANY_LEFT: some position shifts left, so this one's direction is tested.
// A plain left shift skips the clamps that cannot act (half the steps; the
// usual int8 weights shift left at most positions).
template <bool ANY_LEFT>
inline __m512i rescale(__m512i x, const PosRescale& p) {
    const __m512i t = _mm512_sra_epi64(_mm512_add_epi64(_mm512_mul_epi32(x, p.mult), p.rnd), p.rsh);
    if (!ANY_LEFT || !p.left) return t;
    if (p.plain) return _mm512_sll_epi64(t, p.lsh);
    const __m512i l = _mm512_sll_epi64(_mm512_min_epi64(_mm512_max_epi64(t, p.lo), p.hi), p.lsh);
    return _mm512_min_epi64(_mm512_max_epi64(l, _mm512_set1_epi64(-kWinoRescaleLimit)),
                            _mm512_set1_epi64(kWinoRescaleLimit));
}

// requantize(y, 0, multiplier, shift, out_zp) of 16 channels (the lanes in
// keep), with the low 32 bits of their Winograd bias.
struct Requant16 : RequantLanes16 {
    __m512i bias_even, bias_odd, bias32;
    __mmask16 keep;
    Requant16(const WinoS8Output& o, int64_t ch, __mmask16 k)
        : RequantLanes16(o.multiplier + ch, o.shift + ch, o.out_zp, k), keep(k) {
        const __m512i z = _mm512_setzero_si512();
        // The bias's low 32 bits, signed, in 64-bit lanes: even channels,
        // then odd ones.
        bias_even = bias_odd = z;
        if (o.wino_bias) {
            const __m512i b0 = _mm512_maskz_loadu_epi64(__mmask8(k), o.wino_bias + ch);
            const __m512i b1 = _mm512_maskz_loadu_epi64(__mmask8(k >> 8), o.wino_bias + ch + 8);
            const __m512i even = _mm512_setr_epi64(0, 2, 4, 6, 8, 10, 12, 14);
            const __m512i odd = _mm512_setr_epi64(1, 3, 5, 7, 9, 11, 13, 15);
            bias_even = _mm512_srai_epi64(_mm512_slli_epi64(_mm512_permutex2var_epi64(b0, even, b1), 32), 32);
            bias_odd = _mm512_srai_epi64(_mm512_slli_epi64(_mm512_permutex2var_epi64(b0, odd, b1), 32), 32);
        }
        bias32 = _mm512_mask_blend_epi32(__mmask16(0xAAAA), bias_even, _mm512_slli_epi64(bias_odd, 32));
    }
};

// The four outputs of one tile's 16 channels from ch, as saturated int32:
// even and odd channels in the 64-bit lanes of two halves.
template <bool ANY_LEFT>
inline void tile_block(const int32_t* src, int64_t pt, const PosRescale (&pr)[16], const Requant16& rq,
                       __m512i (&y)[4]) {
    __m512i s[4][2];
    __m512i x[16];
    for (int t = 0; t < 16; ++t) x[t] = _mm512_maskz_loadu_epi32(rq.keep, src + t * pt);
    for (int h = 0; h < 2; ++h) {
        __m512i r[16];
        for (int t = 0; t < 16; ++t) r[t] = rescale<ANY_LEFT>(h ? _mm512_srli_epi64(x[t], 32) : x[t], pr[t]);
        // Rows of A^T r: r0 + r1 + r2, r1 - r2 - r3; then the same on columns.
        __m512i a0[4], a1[4];
        for (int j = 0; j < 4; ++j) {
            a0[j] = _mm512_add_epi64(_mm512_add_epi64(r[j], r[4 + j]), r[8 + j]);
            a1[j] = _mm512_sub_epi64(_mm512_sub_epi64(r[4 + j], r[8 + j]), r[12 + j]);
        }
        const __m512i b = h ? rq.bias_odd : rq.bias_even;
        const __m512i* a[2] = {a0, a1};
        const __m512i lo = _mm512_set1_epi64(INT32_MIN), hi = _mm512_set1_epi64(INT32_MAX);
        for (int i = 0; i < 2; ++i) {
            const __m512i* q = a[i];
            const __m512i y0 = _mm512_add_epi64(_mm512_add_epi64(_mm512_add_epi64(q[0], q[1]), q[2]), b);
            const __m512i y1 = _mm512_add_epi64(_mm512_sub_epi64(_mm512_sub_epi64(q[1], q[2]), q[3]), b);
            s[2 * i][h] = _mm512_min_epi64(_mm512_max_epi64(y0, lo), hi);
            s[2 * i + 1][h] = _mm512_min_epi64(_mm512_max_epi64(y1, lo), hi);
        }
    }
    // saturate32 done; the low words of the even and odd lanes interleave back.
    for (int k = 0; k < 4; ++k)
        y[k] = _mm512_mask_blend_epi32(__mmask16(0xAAAA), s[k][0], _mm512_slli_epi64(s[k][1], 32));
}

// tile_block when no sum can leave int32 (narrow_sums): the rescaled
// products packed back into 32-bit lanes, A^T r A and the bias on 16
// channels at once, no saturation needed.
template <bool ANY_LEFT>
inline void tile_block_narrow(const int32_t* src, int64_t pt, const PosRescale (&pr)[16], const Requant16& rq,
                              __m512i (&y)[4]) {
    __m512i r[16];
    for (int t = 0; t < 16; ++t) {
        const __m512i x = _mm512_maskz_loadu_epi32(rq.keep, src + t * pt);
        r[t] = _mm512_mask_blend_epi32(__mmask16(0xAAAA), rescale<ANY_LEFT>(x, pr[t]),
                                       _mm512_slli_epi64(rescale<ANY_LEFT>(_mm512_srli_epi64(x, 32), pr[t]), 32));
    }
    __m512i a0[4], a1[4];
    for (int j = 0; j < 4; ++j) {
        a0[j] = _mm512_add_epi32(_mm512_add_epi32(r[j], r[4 + j]), r[8 + j]);
        a1[j] = _mm512_sub_epi32(_mm512_sub_epi32(r[4 + j], r[8 + j]), r[12 + j]);
    }
    const __m512i b = rq.bias32;
    const __m512i* a[2] = {a0, a1};
    for (int i = 0; i < 2; ++i) {
        const __m512i* q = a[i];
        y[2 * i] = _mm512_add_epi32(_mm512_add_epi32(_mm512_add_epi32(q[0], q[1]), q[2]), b);
        y[2 * i + 1] = _mm512_add_epi32(_mm512_sub_epi32(_mm512_sub_epi32(q[1], q[2]), q[3]), b);
    }
}

// Whether every partial and whole sum of A^T r A plus the bias stays inside
// int32 for products up to o.product_bound: each output sums 9 rescaled
// products of at most (bound + 1) << lsh, and the clamps of a left shift
// that is not plain could act.
bool narrow_sums(const WinoS8Output& o, const PosRescale (&pr)[16]) {
    if (o.product_bound <= 0 || o.product_bound >= (int64_t(1) << 31)) return false;
    int64_t r[16];
    for (int t = 0; t < 16; ++t) {
        if (pr[t].left && !pr[t].plain) return false;
        r[t] = (o.product_bound + 1) << (pr[t].left ? _mm_cvtsi128_si64(pr[t].lsh) : 0);
    }
    std::sort(r, r + 16);
    int64_t sum = 0;
    for (int t = 7; t < 16; ++t) sum += r[t];
    int64_t bias = 0;
    for (int64_t c = 0; o.wino_bias && c < o.cout; ++c)
        bias = std::max<int64_t>(bias, std::abs(int64_t(int32_t(uint32_t(uint64_t(o.wino_bias[c]))))));
    return sum + bias <= INT32_MAX;
}

template <bool ANY_LEFT, bool NARROW>
void output_tiles(const WinoS8Output& o, const PosRescale (&pr)[16], const std::vector<Requant16>& rqs,
                  int64_t n0, int64_t n1) {
    const int64_t c = o.cout;
    for (int64_t n = n0; n < n1; ++n) {
        int8_t* dst[4];
        wino_s8_tile_outputs(o, n, dst);
        const int32_t* src = o.pm + (n - n0) * c;
        for (size_t b = 0; b < rqs.size(); ++b) {
            const Requant16& rq = rqs[b];
            const int64_t ch = int64_t(b) * 16;
            __m512i y[4];
            if constexpr (NARROW) tile_block_narrow<ANY_LEFT>(src + ch, o.pos_stride, pr, rq, y);
            else tile_block<ANY_LEFT>(src + ch, o.pos_stride, pr, rq, y);
            for (int k = 0; k < 4; ++k) {
                if (!dst[k]) continue;
                const __m128i v = rq.rare ? rq.apply<true>(y[k]) : rq.apply<false>(y[k]);
                if (rq.keep == 0xFFFF) _mm_storeu_si128((__m128i*)(dst[k] + ch), v);
                else _mm_mask_storeu_epi8(dst[k] + ch, rq.keep, v);
            }
        }
    }
}

// (v + 2) >> 2 saturated to int8.
inline __m256i narrow_quarter(__m512i v) {
    return _mm512_cvtsepi16_epi8(_mm512_srai_epi16(_mm512_add_epi16(v, _mm512_set1_epi16(2)), 2));
}

}  // namespace

void conv2d_s8_wino_input_avx512(VANTREL_WINO_S8_INPUT_ARGS) {
    for (int64_t n = n0; n < n1; ++n) {
        const int8_t* p[4][4];
        wino_patch(in, zp_row, h, w, c, tw, n, p);
        int8_t* dst = v + (n - n0) * c;
        for (int64_t ch = 0; ch < c; ch += 32) {
            const __mmask32 k = c - ch >= 32 ? ~__mmask32(0) : __mmask32((uint32_t(1) << (c - ch)) - 1);
            __m512i d[4][4];
            for (int i = 0; i < 4; ++i)
                for (int j = 0; j < 4; ++j)
                    d[i][j] = _mm512_cvtepi8_epi16(_mm256_maskz_loadu_epi8(k, p[i][j] + ch));
            // Rows of B^T d: r0 - r2, r1 + r2, r2 - r1, r1 - r3; then the columns.
            __m512i q[4][4];
            for (int j = 0; j < 4; ++j) {
                q[0][j] = _mm512_sub_epi16(d[0][j], d[2][j]);
                q[1][j] = _mm512_add_epi16(d[1][j], d[2][j]);
                q[2][j] = _mm512_sub_epi16(d[2][j], d[1][j]);
                q[3][j] = _mm512_sub_epi16(d[1][j], d[3][j]);
            }
            for (int i = 0; i < 4; ++i) {
                int8_t* o = dst + int64_t(4 * i) * vt + ch;
                _mm256_mask_storeu_epi8(o, k, narrow_quarter(_mm512_sub_epi16(q[i][0], q[i][2])));
                _mm256_mask_storeu_epi8(o + vt, k, narrow_quarter(_mm512_add_epi16(q[i][1], q[i][2])));
                _mm256_mask_storeu_epi8(o + 2 * vt, k, narrow_quarter(_mm512_sub_epi16(q[i][2], q[i][1])));
                _mm256_mask_storeu_epi8(o + 3 * vt, k, narrow_quarter(_mm512_sub_epi16(q[i][1], q[i][3])));
            }
        }
    }
}

void conv2d_s8_wino_output_avx512(VANTREL_WINO_S8_OUTPUT_ARGS) {
    if (n1 <= n0) return;
    PosRescale pr[16];
    bool any_left = false;
    for (int t = 0; t < 16; ++t) {
        pr[t] = pos_rescale(o.pos_multiplier[t], o.pos_shift[t]);
        any_left |= pr[t].left;
    }
    std::vector<Requant16> rqs;
    for (int64_t ch = 0; ch < o.cout; ch += 16) {
        const int64_t cols = std::min<int64_t>(16, o.cout - ch);
        rqs.emplace_back(o, ch, __mmask16((1u << cols) - 1));
    }
    const bool narrow = narrow_sums(o, pr);
    if (narrow) {
        if (any_left) output_tiles<true, true>(o, pr, rqs, n0, n1);
        else output_tiles<false, true>(o, pr, rqs, n0, n1);
    } else {
        if (any_left) output_tiles<true, false>(o, pr, rqs, n0, n1);
        else output_tiles<false, false>(o, pr, rqs, n0, n1);
    }
}

}  // namespace vantrel
