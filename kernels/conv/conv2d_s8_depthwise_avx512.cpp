// int8 depthwise 3x3 on AVX-512: 16 channels per block in one 16-lane int32
// sum, requantize on 16 lanes, saturating narrow to int8.
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>

#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_depthwise_loops.h"
#include "kernels/simd/requant_x86.h"

namespace vantrel {

namespace {
inline __m512i load16x32(const int32_t* p) { return _mm512_loadu_si512(p); }

// (2xm + 2^31) >> 32 as (xm + 2^30) >> 31; only x = m = INT32_MIN saturates.
inline __m512i sqrdmulh(__m512i x, __m512i m) {
    const __m512i rnd = _mm512_set1_epi64(int64_t(1) << 30);
    __m512i even = _mm512_add_epi64(_mm512_mul_epi32(x, m), rnd);
    __m512i odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(x, 32), _mm512_srli_epi64(m, 32)), rnd);
    __m512i r = _mm512_mask_blend_epi32(__mmask16(0xAAAA), _mm512_srli_epi64(even, 31), _mm512_slli_epi64(odd, 1));
    const __m512i min = _mm512_set1_epi32(INT32_MIN);
    __mmask16 sat = _mm512_cmpeq_epi32_mask(x, min) & _mm512_cmpeq_epi32_mask(m, min);
    return _mm512_mask_blend_epi32(sat, r, _mm512_set1_epi32(INT32_MAX));
}

// Per-lane rounding shift, shifts clamped to [-32, 32]: beyond them every
// value rounds to 0 (right) or saturates (left).
inline __m512i rounding_shift(__m512i t, __m512i e) {
    e = _mm512_min_epi32(_mm512_max_epi32(e, _mm512_set1_epi32(-32)), _mm512_set1_epi32(32));
    const __m512i zero = _mm512_setzero_si512();
    __m512i left = shift_left_saturate(t, _mm512_max_epi32(e, zero));
    __m512i s = _mm512_max_epi32(_mm512_sub_epi32(zero, e), zero);
    // (t + 2^(s-1)) >> s without overflow: (t >> s) + bit s-1 of t.
    __m512i bit = _mm512_and_si512(_mm512_srav_epi32(t, _mm512_sub_epi32(s, _mm512_set1_epi32(1))),
                                   _mm512_set1_epi32(1));
    __m512i right = _mm512_add_epi32(_mm512_srav_epi32(t, s), bit);
    return _mm512_mask_blend_epi32(_mm512_cmpge_epi32_mask(e, zero), right, left);
}

// Whether some lane of (m, e) leaves the common case: m = INT32_MIN (the
// doubling overflow), a shift of 0 or more (left shifts, no rounding) or
// below -32 (clamped).
inline bool rare_lanes(__m512i m, __m512i e) {
    return (_mm512_cmpeq_epi32_mask(m, _mm512_set1_epi32(INT32_MIN)) |
            _mm512_cmpgt_epi32_mask(e, _mm512_set1_epi32(-1)) |
            _mm512_cmplt_epi32_mask(e, _mm512_set1_epi32(-32))) != 0;
}

// requantize for lanes in the common case only: the same doubling high
// multiply (no overflow to catch), the rounding right shift by s = -e in
// [1, 32], and out_zp added without a clamp (|u| <= 2^30 cannot overflow;
// the narrowing saturates as the clamped sum would).
inline __m128i requant_common(__m512i x, __m512i m, __m512i e, __m512i zp) {
    const __m512i rnd = _mm512_set1_epi64(int64_t(1) << 30);
    const __m512i even = _mm512_add_epi64(_mm512_mul_epi32(x, m), rnd);
    const __m512i odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(x, 32), _mm512_srli_epi64(m, 32)), rnd);
    const __m512i t = _mm512_mask_blend_epi32(__mmask16(0xAAAA), _mm512_srli_epi64(even, 31), _mm512_slli_epi64(odd, 1));
    const __m512i s = _mm512_sub_epi32(_mm512_setzero_si512(), e);
    const __m512i bit = _mm512_and_si512(_mm512_srav_epi32(t, _mm512_sub_epi32(s, _mm512_set1_epi32(1))),
                                         _mm512_set1_epi32(1));
    return _mm512_cvtsepi32_epi8(_mm512_add_epi32(_mm512_add_epi32(_mm512_srav_epi32(t, s), bit), zp));
}

struct Avx512Pixel {
    static void run(const int8_t* const* taps, const int8_t* w_tap_major, const int32_t* bias32,
                    const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out,
                    int64_t c) {
        const __m512i zp = _mm512_set1_epi32(out_zp);
        int64_t ch = 0;
        // 32 channels a step: one 512-bit 16-bit multiply per tap, widened
        // to two 16-lane sums (the same exact products and sums as below).
        for (; ch + 32 <= c; ch += 32) {
            __m512i lo = _mm512_setzero_si512(), hi = _mm512_setzero_si512();
            for (int t = 0; t < 9; ++t) {
                const __m512i p = _mm512_mullo_epi16(
                    _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(taps[t] + ch))),
                    _mm512_cvtepi8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(w_tap_major + t * c + ch))));
                lo = _mm512_add_epi32(lo, _mm512_cvtepi16_epi32(_mm512_castsi512_si256(p)));
                hi = _mm512_add_epi32(hi, _mm512_cvtepi16_epi32(_mm512_extracti64x4_epi64(p, 1)));
            }
            if (bias32) {
                lo = _mm512_add_epi32(lo, load16x32(bias32 + ch));
                hi = _mm512_add_epi32(hi, load16x32(bias32 + ch + 16));
            }
            const __m512i ml = load16x32(multiplier + ch), mh = load16x32(multiplier + ch + 16);
            const __m512i el = load16x32(shift + ch), eh = load16x32(shift + ch + 16);
            __m128i yl, yh;
            if (rare_lanes(ml, el) || rare_lanes(mh, eh)) {
                yl = _mm512_cvtsepi32_epi8(add_zero_point_saturate(rounding_shift(sqrdmulh(lo, ml), el), zp));
                yh = _mm512_cvtsepi32_epi8(add_zero_point_saturate(rounding_shift(sqrdmulh(hi, mh), eh), zp));
            } else {
                yl = requant_common(lo, ml, el, zp);
                yh = requant_common(hi, mh, eh, zp);
            }
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ch), yl);
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ch + 16), yh);
        }
        for (; ch + 16 <= c; ch += 16) {
            __m512i acc = _mm512_setzero_si512();
            for (int t = 0; t < 9; ++t) {
                // |x*w| <= 2^14, exact in 16 bits.
                __m256i p = _mm256_mullo_epi16(
                    _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(taps[t] + ch))),
                    _mm256_cvtepi8_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(w_tap_major + t * c + ch))));
                acc = _mm512_add_epi32(acc, _mm512_cvtepi16_epi32(p));
            }
            if (bias32) acc = _mm512_add_epi32(acc, load16x32(bias32 + ch));
            __m512i u = rounding_shift(sqrdmulh(acc, load16x32(multiplier + ch)), load16x32(shift + ch));
            _mm_storeu_si128(reinterpret_cast<__m128i*>(out + ch),
                             _mm512_cvtsepi32_epi8(add_zero_point_saturate(u, zp)));
        }
        for (; ch < c; ++ch)
            out[ch] = depthwise3x3_channel_s8(taps, w_tap_major, bias32, multiplier, shift, out_zp, ch, c);
    }
};
}  // namespace

void conv2d_s8_depthwise3x3_avx512(VANTREL_DEPTHWISE3X3_S8_ARGS) {
    depthwise3x3_s8<Avx512Pixel>(in, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out, c,
                                 h, w, stride);
}

}  // namespace vantrel
