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
#endif

}  // namespace vantrel
