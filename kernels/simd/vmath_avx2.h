// vexp, recip and vsin (vmath.h) on eight lanes, i.e. two groups of 4. Each
// operation rounds exactly like the one-lane version. Include only from
// files compiled with AVX2 and FMA.
#pragma once
#include <immintrin.h>

#include "kernels/simd/lanes_f32_avx2.h"
#include "kernels/simd/vmath_lanes.h"

namespace vantrel {
namespace vmath {
namespace {

struct VmathLanesAvx2 : LanesF32Avx2 {
    // The constant goes first: min/max return the second operand when either
    // is NaN, so a NaN input passes through as in the one-lane version.
    static V min_keep_nan(V z, V c) { return _mm256_min_ps(c, z); }
    static V max_keep_nan(V z, V c) { return _mm256_max_ps(c, z); }
    // v > acc ? v : acc per lane (a NaN v leaves acc).
    static V max_skip_nan(V acc, V v) { return _mm256_max_ps(v, acc); }
    static V round(V v) { return _mm256_round_ps(v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC); }
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
    static V pow2i(V k) {
        const __m256i e = _mm256_slli_epi32(_mm256_add_epi32(_mm256_cvttps_epi32(k), _mm256_set1_epi32(127)), 23);
        return _mm256_castsi256_ps(e);
    }
    static V negate_if_odd(V y, V k) {
        const V absk = _mm256_andnot_ps(_mm256_set1_ps(-0.0f), k);
        const V small = _mm256_cmp_ps(absk, _mm256_set1_ps(kParityLimit), _CMP_LT_OQ);
        const __m256i sign = _mm256_slli_epi32(_mm256_cvttps_epi32(k), 31);
        return _mm256_xor_ps(y, _mm256_and_ps(_mm256_castsi256_ps(sign), small));
    }
};

}  // namespace

static inline __m256 vexp_avx2(__m256 z) { return vexp_lanes<VmathLanesAvx2>(z); }
static inline __m256 recip_avx2(__m256 d) { return recip_lanes<VmathLanesAvx2>(d); }
static inline __m256 vsin_avx2(__m256 x) { return vsin_lanes<VmathLanesAvx2>(x); }

}  // namespace vmath
}  // namespace vantrel
