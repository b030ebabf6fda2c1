// vexp, recip and vsin (vmath.h) on eight lanes, i.e. two groups of 4. Each
// operation rounds exactly like the one-lane version. Include only from
// files compiled with AVX2 and FMA.
#pragma once
#include <immintrin.h>

#include "kernels/vmath.h"

namespace vantrel {
namespace vmath {

static inline __m256 vexp_avx2(__m256 z) {
    // The constant goes first: min/max return the second operand when either
    // is NaN, so a NaN input passes through as in the one-lane version.
    z = _mm256_min_ps(_mm256_set1_ps(kExpHi), z);
    z = _mm256_max_ps(_mm256_set1_ps(kExpLo), z);
    __m256 k = _mm256_round_ps(_mm256_mul_ps(z, _mm256_set1_ps(kLog2e)),
                               _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256 r = _mm256_fnmadd_ps(k, _mm256_set1_ps(kLn2Hi), z);
    r = _mm256_fnmadd_ps(k, _mm256_set1_ps(kLn2Lo), r);
    __m256 p = _mm256_set1_ps(kExpP0);
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP1));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP2));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP3));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP4));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP5));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP6));
    p = _mm256_fmadd_ps(p, r, _mm256_set1_ps(kExpP7));
    __m256i ki = _mm256_cvttps_epi32(k);  // k is integral; NaN lanes give NaN below anyway
    __m256i e = _mm256_slli_epi32(_mm256_add_epi32(ki, _mm256_set1_epi32(127)), 23);
    return _mm256_mul_ps(p, _mm256_castsi256_ps(e));
}

static inline __m256 recip_step_avx2(__m256 d, __m256 r) {
    return _mm256_mul_ps(r, _mm256_sub_ps(_mm256_set1_ps(2.0f), _mm256_mul_ps(d, r)));
}

// Correctly rounded quotient as first estimate (see recip in vmath.h).
static inline __m256 recip_avx2(__m256 d) {
    __m256 r0 = _mm256_div_ps(_mm256_set1_ps(1.0f), d);
    return recip_step_avx2(d, recip_step_avx2(d, r0));
}

static inline __m256 vsin_avx2(__m256 x) {
    __m256 k = _mm256_round_ps(_mm256_mul_ps(x, _mm256_set1_ps(kInvPi)),
                               _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    __m256 r = _mm256_sub_ps(x, _mm256_mul_ps(k, _mm256_set1_ps(kPi)));
    __m256 q = _mm256_mul_ps(r, r);
    __m256 p = _mm256_set1_ps(kSinP0);
    p = _mm256_add_ps(_mm256_mul_ps(p, q), _mm256_set1_ps(kSinP1));
    p = _mm256_add_ps(_mm256_mul_ps(p, q), _mm256_set1_ps(kSinP2));
    p = _mm256_add_ps(_mm256_mul_ps(p, q), _mm256_set1_ps(kSinP3));
    p = _mm256_add_ps(_mm256_mul_ps(p, q), _mm256_set1_ps(kSinP4));
    __m256 y = _mm256_mul_ps(r, p);
    __m256 absk = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), k);
    __m256 small = _mm256_cmp_ps(absk, _mm256_set1_ps(kParityLimit), _CMP_LT_OQ);
    __m256i sign = _mm256_slli_epi32(_mm256_cvttps_epi32(k), 31);
    return _mm256_xor_ps(y, _mm256_and_ps(_mm256_castsi256_ps(sign), small));
}

}  // namespace vmath
}  // namespace vantrel
