// int8 depthwise 3x3 on AVX2: 16 channels per block, 16-bit products
// widened into two 8-lane int32 sums, then requantize on 8 lanes.
#include <immintrin.h>

#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_depthwise_loops.h"
#include "kernels/simd/requant_x86.h"

namespace vantrel {

namespace {
inline __m256i load8x32(const int32_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Saturating rounding doubling high multiply: (2xm + 2^31) >> 32, computed
// as (xm + 2^30) >> 31 so the 64-bit sum cannot overflow; only
// x = m = INT32_MIN saturates.
inline __m256i sqrdmulh(__m256i x, __m256i m) {
    const __m256i rnd = _mm256_set1_epi64x(int64_t(1) << 30);
    __m256i even = _mm256_add_epi64(_mm256_mul_epi32(x, m), rnd);
    __m256i odd = _mm256_add_epi64(_mm256_mul_epi32(_mm256_srli_epi64(x, 32), _mm256_srli_epi64(m, 32)), rnd);
    // Bits 31..62: the low word of even >> 31, the high word of odd << 1.
    __m256i r = _mm256_blend_epi32(_mm256_srli_epi64(even, 31), _mm256_slli_epi64(odd, 1), 0xAA);
    const __m256i min = _mm256_set1_epi32(INT32_MIN);
    __m256i sat = _mm256_and_si256(_mm256_cmpeq_epi32(x, min), _mm256_cmpeq_epi32(m, min));
    return _mm256_blendv_epi8(r, _mm256_set1_epi32(INT32_MAX), sat);
}

// Per-lane rounding shift of requantize. Shifts are clamped to [-32, 32]:
// beyond them every value rounds to 0 (right) or saturates (left), as in
// the scalar code.
inline __m256i rounding_shift(__m256i t, __m256i e) {
    e = _mm256_min_epi32(_mm256_max_epi32(e, _mm256_set1_epi32(-32)), _mm256_set1_epi32(32));
    const __m256i zero = _mm256_setzero_si256();
    __m256i left = shift_left_saturate(t, _mm256_max_epi32(e, zero));
    __m256i s = _mm256_max_epi32(_mm256_sub_epi32(zero, e), zero);
    // (t + 2^(s-1)) >> s without overflow: (t >> s) + bit s-1 of t.
    __m256i bit = _mm256_and_si256(_mm256_srav_epi32(t, _mm256_sub_epi32(s, _mm256_set1_epi32(1))),
                                   _mm256_set1_epi32(1));
    __m256i right = _mm256_add_epi32(_mm256_srav_epi32(t, s), bit);
    return _mm256_blendv_epi8(right, left, _mm256_cmpgt_epi32(e, _mm256_set1_epi32(-1)));
}

// requantize up to the int8 narrowing: int32 lanes of u + out_zp.
inline __m256i requant8(__m256i acc, __m256i bias, const int32_t* m, const int32_t* e, __m256i zp) {
    __m256i x = _mm256_add_epi32(acc, bias);
    return add_zero_point_saturate(rounding_shift(sqrdmulh(x, load8x32(m)), load8x32(e)), zp);
}

inline __m256i widen_product(const int8_t* x, const int8_t* w) {
    // |x*w| <= 2^14, exact in 16 bits.
    return _mm256_mullo_epi16(_mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(x))),
                              _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w))));
}

struct Avx2Pixel {
    static void run(const int8_t* const* taps, const int8_t* w_tap_major, const int32_t* bias32,
                    const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out,
                    int64_t c) {
        const __m256i zp = _mm256_set1_epi32(out_zp);
        int64_t ch = 0;
        for (; ch + 16 <= c; ch += 16) {
            __m256i lo = _mm256_setzero_si256(), hi = _mm256_setzero_si256();
            for (int t = 0; t < 9; ++t) {
                __m256i p = widen_product(taps[t] + ch, w_tap_major + t * c + ch);
                lo = _mm256_add_epi32(lo, _mm256_cvtepi16_epi32(_mm256_castsi256_si128(p)));
                hi = _mm256_add_epi32(hi, _mm256_cvtepi16_epi32(_mm256_extracti128_si256(p, 1)));
            }
            const __m256i b_lo = bias32 ? load8x32(bias32 + ch) : _mm256_setzero_si256();
            const __m256i b_hi = bias32 ? load8x32(bias32 + ch + 8) : _mm256_setzero_si256();
            lo = requant8(lo, b_lo, multiplier + ch, shift + ch, zp);
            hi = requant8(hi, b_hi, multiplier + ch + 8, shift + ch + 8, zp);
            // Saturating packs clamp to int8; the permute undoes the in-lane interleave.
            __m256i s16 = _mm256_permute4x64_epi64(_mm256_packs_epi32(lo, hi), 0xD8);
            __m128i y = _mm_packs_epi16(_mm256_castsi256_si128(s16), _mm256_extracti128_si256(s16, 1));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ch), y);
        }
        for (; ch < c; ++ch)
            out[ch] = depthwise3x3_channel_s8(taps, w_tap_major, bias32, multiplier, shift, out_zp, ch, c);
    }
};
}  // namespace

void conv2d_s8_depthwise3x3_avx2(VANTREL_DEPTHWISE3X3_S8_ARGS) {
    depthwise3x3_s8<Avx2Pixel>(in, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out, c, h,
                               w, stride);
}

void conv2d_s8_depthwise3x3_rows_avx2(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS) {
    depthwise3x3_band_s8<Avx2Pixel>(in, lo, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out, c, h, w, stride,
                              oy0, oy1);
}

}  // namespace vantrel
