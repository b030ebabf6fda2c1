// vexp, recip and vsin (vmath.h) on sixteen lanes, i.e. four groups of 4.
// Each operation rounds exactly like the one-lane version. Include only
// from files compiled with AVX-512 (F, DQ).
#pragma once
#include <immintrin.h>

#include "kernels/vmath.h"

namespace vantrel {
namespace vmath {

static inline __m512 vexp_avx512(__m512 z) {
    // Constant first: a NaN input is returned as the second operand.
    z = _mm512_min_ps(_mm512_set1_ps(kExpHi), z);
    z = _mm512_max_ps(_mm512_set1_ps(kExpLo), z);
    __m512 k = _mm512_roundscale_ps(_mm512_mul_ps(z, _mm512_set1_ps(kLog2e)),
                                    _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m512 r = _mm512_fnmadd_ps(k, _mm512_set1_ps(kLn2Hi), z);
    r = _mm512_fnmadd_ps(k, _mm512_set1_ps(kLn2Lo), r);
    __m512 p = _mm512_set1_ps(kExpP0);
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExpP1));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExpP2));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExpP3));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExpP4));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExpP5));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExpP6));
    p = _mm512_fmadd_ps(p, r, _mm512_set1_ps(kExpP7));
    __m512i ki = _mm512_cvttps_epi32(k);
    __m512i e = _mm512_slli_epi32(_mm512_add_epi32(ki, _mm512_set1_epi32(127)), 23);
    return _mm512_mul_ps(p, _mm512_castsi512_ps(e));
}

static inline __m512 recip_step_avx512(__m512 d, __m512 r) {
    return _mm512_mul_ps(r, _mm512_sub_ps(_mm512_set1_ps(2.0f), _mm512_mul_ps(d, r)));
}

// Correctly rounded quotient as first estimate (see recip in vmath.h).
static inline __m512 recip_avx512(__m512 d) {
    __m512 r0 = _mm512_div_ps(_mm512_set1_ps(1.0f), d);
    return recip_step_avx512(d, recip_step_avx512(d, r0));
}

static inline __m512 vsin_avx512(__m512 x) {
    __m512 k = _mm512_roundscale_ps(_mm512_mul_ps(x, _mm512_set1_ps(kInvPi)),
                                    _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m512 r = _mm512_sub_ps(x, _mm512_mul_ps(k, _mm512_set1_ps(kPi)));
    __m512 q = _mm512_mul_ps(r, r);
    __m512 p = _mm512_set1_ps(kSinP0);
    p = _mm512_add_ps(_mm512_mul_ps(p, q), _mm512_set1_ps(kSinP1));
    p = _mm512_add_ps(_mm512_mul_ps(p, q), _mm512_set1_ps(kSinP2));
    p = _mm512_add_ps(_mm512_mul_ps(p, q), _mm512_set1_ps(kSinP3));
    p = _mm512_add_ps(_mm512_mul_ps(p, q), _mm512_set1_ps(kSinP4));
    __m512 y = _mm512_mul_ps(r, p);
    __mmask16 small = _mm512_cmp_ps_mask(_mm512_abs_ps(k), _mm512_set1_ps(kParityLimit), _CMP_LT_OQ);
    __m512i sign = _mm512_maskz_slli_epi32(small, _mm512_cvttps_epi32(k), 31);
    return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(y), sign));
}

}  // namespace vmath
}  // namespace vantrel
