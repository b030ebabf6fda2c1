// The saturating steps of requantize() on x86 int32 lanes: the left shift
// and the add of out_zp. Included by the AVX2 and AVX-512 kernels only.
#pragma once
#include <immintrin.h>

#include <cstdint>

namespace vantrel {

// t << s per lane for counts in [0, 32], saturated to int32: a lane whose
// shifted value does not shift back to t overflowed and takes INT32_MAX or
// INT32_MIN by the sign of t (a count of 32 overflows every nonzero t).
inline __m256i shift_left_saturate(__m256i t, __m256i s) {
    const __m256i l = _mm256_sllv_epi32(t, s);
    const __m256i kept = _mm256_cmpeq_epi32(_mm256_srav_epi32(l, s), t);
    const __m256i sat = _mm256_xor_si256(_mm256_srai_epi32(t, 31), _mm256_set1_epi32(INT32_MAX));
    return _mm256_blendv_epi8(sat, l, kept);
}

// u + zp without wrap-around. Clamping u to +-2^16 first changes no result
// once the sum is narrowed to int8 (|zp| <= 128).
inline __m256i add_zero_point_saturate(__m256i u, __m256i zp) {
    const __m256i lim = _mm256_set1_epi32(1 << 16);
    u = _mm256_min_epi32(_mm256_max_epi32(u, _mm256_sub_epi32(_mm256_setzero_si256(), lim)), lim);
    return _mm256_add_epi32(u, zp);
}

// requantize() on 8 lanes: 64-bit products of the even and of the odd
// lanes, bits 31..62 of p + 2^30 kept (the low word of (p + 2^30) >> 31),
// the one overflow (x = m = INT32_MIN) flipped to INT32_MAX, then the shift
// and the add of out_zp, both saturating.
struct RequantLanes8 {
    __m256i mult, mult_odd, lsh, rsh, rsh1, rbit, zp;
    RequantLanes8(const int32_t* m, const int32_t* sh, int8_t out_zp) {
        mult = _mm256_loadu_si256((const __m256i*)m);
        mult_odd = _mm256_srli_epi64(mult, 32);
        const __m256i s = _mm256_loadu_si256((const __m256i*)sh);
        const __m256i z = _mm256_setzero_si256();
        lsh = _mm256_max_epi32(s, z);
        rsh = _mm256_max_epi32(_mm256_sub_epi32(z, s), z);
        rsh1 = _mm256_max_epi32(_mm256_sub_epi32(rsh, _mm256_set1_epi32(1)), z);
        rbit = _mm256_min_epi32(rsh, _mm256_set1_epi32(1));
        zp = _mm256_set1_epi32(out_zp);
    }
    __m256i operator()(__m256i x) const {
        const __m256i half = _mm256_set1_epi64x(int64_t(1) << 30);
        const __m256i imin = _mm256_set1_epi32(INT32_MIN);
        __m256i pe = _mm256_mul_epi32(x, mult);
        __m256i po = _mm256_mul_epi32(_mm256_srli_epi64(x, 32), mult_odd);
        pe = _mm256_srli_epi64(_mm256_add_epi64(pe, half), 31);
        po = _mm256_slli_epi64(_mm256_add_epi64(po, half), 1);
        __m256i t = _mm256_blend_epi32(pe, po, 0xAA);
        const __m256i sat =
            _mm256_and_si256(_mm256_cmpeq_epi32(x, imin), _mm256_cmpeq_epi32(mult, imin));
        t = shift_left_saturate(_mm256_xor_si256(t, sat), lsh);
        __m256i u = _mm256_add_epi32(_mm256_srav_epi32(t, rsh),
                                     _mm256_and_si256(_mm256_srav_epi32(t, rsh1), rbit));
        return add_zero_point_saturate(u, zp);
    }
};

#if defined(__AVX512F__)
inline __m512i shift_left_saturate(__m512i t, __m512i s) {
    const __m512i l = _mm512_sllv_epi32(t, s);
    const __mmask16 kept = _mm512_cmpeq_epi32_mask(_mm512_srav_epi32(l, s), t);
    const __m512i sat = _mm512_xor_si512(_mm512_srai_epi32(t, 31), _mm512_set1_epi32(INT32_MAX));
    return _mm512_mask_blend_epi32(kept, sat, l);
}

inline __m512i add_zero_point_saturate(__m512i u, __m512i zp) {
    const __m512i lim = _mm512_set1_epi32(1 << 16);
    u = _mm512_min_epi32(_mm512_max_epi32(u, _mm512_sub_epi32(_mm512_setzero_si512(), lim)), lim);
    return _mm512_add_epi32(u, zp);
}

// requantize() of 16 int32 lanes to int8 codes, lanes outside `keep` loading
// a zero scale: the doubling high multiply on the even and odd lanes in 64
// bits (the one overflow, x = m = INT32_MIN, saturates to INT32_MAX), then
// t << lsh (saturating) or the rounding shift (t >> s) + bit s-1 of t, and
// the saturating add of out_zp.
//
// The usual lanes (right shift s in [1, 32] after clamping, no overflow
// case) take both roundings in one: nested floor divisions compose, so
// ((x m + 2^30) >> 31 + 2^(s-1)) >> s = (x m + 2^30 + 2^(30+s)) >> (31 + s),
// below 2^63 for s <= 32. The odd lanes shift by s - 1 instead, which
// leaves their result in the high half of the 64-bit lane where the blend
// takes it. Shifts past 32 round everything to 0, as s = 32 does.
struct RequantLanes16 {
    __m512i mult, mult_odd, lsh, rsh, rsh1, rbit, zp;
    __m512i rnd_even, rnd_odd, sh_even, sh_odd;
    __mmask16 mmin;
    // Whether some lane needs the overflow check, the left shift or the
    // clamp before out_zp. The usual scale below 1/2 needs none of them
    // (after a right shift of at least 1, u + zp cannot overflow and the
    // narrowing saturates alike), so apply<false> then gives the same codes.
    bool rare;
    RequantLanes16(const int32_t* m, const int32_t* sh, int8_t out_zp, __mmask16 keep = 0xFFFF) {
        mult = _mm512_maskz_loadu_epi32(keep, m);
        mult_odd = _mm512_srli_epi64(mult, 32);
        mmin = _mm512_cmpeq_epi32_mask(mult, _mm512_set1_epi32(INT32_MIN));
        const __m512i s = _mm512_maskz_loadu_epi32(keep, sh);
        const __m512i z = _mm512_setzero_si512();
        lsh = _mm512_max_epi32(s, z);
        rsh = _mm512_max_epi32(_mm512_sub_epi32(z, s), z);
        rsh1 = _mm512_max_epi32(_mm512_sub_epi32(rsh, _mm512_set1_epi32(1)), z);
        rbit = _mm512_min_epi32(rsh, _mm512_set1_epi32(1));
        zp = _mm512_set1_epi32(out_zp);
        rare = mmin != 0 || _mm512_mask_test_epi32_mask(keep, lsh, lsh) != 0 ||
               _mm512_mask_cmpeq_epi32_mask(keep, rsh, z) != 0;
        const __m512i s32 = _mm512_min_epi32(rsh, _mm512_set1_epi32(32));
        const __m512i s_even = _mm512_and_si512(s32, _mm512_set1_epi64(0xFFFFFFFF));
        const __m512i s_odd = _mm512_srli_epi64(s32, 32);
        const __m512i half = _mm512_set1_epi64(int64_t(1) << 30);
        rnd_even = _mm512_add_epi64(half, _mm512_sllv_epi64(half, s_even));
        rnd_odd = _mm512_add_epi64(half, _mm512_sllv_epi64(half, s_odd));
        sh_even = _mm512_add_epi64(s_even, _mm512_set1_epi64(31));
        sh_odd = _mm512_sub_epi64(s_odd, _mm512_set1_epi64(1));  // lanes outside keep: -1, never stored
    }
    // The usual lanes' steps on their five vectors (mult_odd is mult >> 32),
    // for callers that keep only those.
    static __m128i apply_usual(__m512i x, __m512i m, __m512i m_odd, __m512i r_even, __m512i r_odd,
                               __m512i s_even, __m512i s_odd, __m512i z) {
        const __m512i even = _mm512_add_epi64(_mm512_mul_epi32(x, m), r_even);
        const __m512i odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(x, 32), m_odd), r_odd);
        const __m512i u = _mm512_mask_blend_epi32(__mmask16(0xAAAA), _mm512_srav_epi64(even, s_even),
                                                  _mm512_srav_epi64(odd, s_odd));
        return _mm512_cvtsepi32_epi8(_mm512_add_epi32(u, z));
    }
    template <bool RARE>
    __m128i apply(__m512i x) const {
        if constexpr (!RARE) return apply_usual(x, mult, mult_odd, rnd_even, rnd_odd, sh_even, sh_odd, zp);
        const __m512i rnd = _mm512_set1_epi64(int64_t(1) << 30);
        const __m512i even = _mm512_add_epi64(_mm512_mul_epi32(x, mult), rnd);
        const __m512i odd = _mm512_add_epi64(_mm512_mul_epi32(_mm512_srli_epi64(x, 32), mult_odd), rnd);
        __m512i t = _mm512_mask_blend_epi32(__mmask16(0xAAAA), _mm512_srli_epi64(even, 31),
                                            _mm512_slli_epi64(odd, 1));
        const __mmask16 sat = _mm512_mask_cmpeq_epi32_mask(mmin, x, _mm512_set1_epi32(INT32_MIN));
        t = _mm512_mask_blend_epi32(sat, t, _mm512_set1_epi32(INT32_MAX));
        t = shift_left_saturate(t, lsh);
        const __m512i u = _mm512_add_epi32(_mm512_srav_epi32(t, rsh),
                                           _mm512_and_si512(_mm512_srav_epi32(t, rsh1), rbit));
        return _mm512_cvtsepi32_epi8(add_zero_point_saturate(u, zp));
    }
};
#endif

}  // namespace vantrel
