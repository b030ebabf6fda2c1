// vexp, recip and vsin (vmath.h) on sixteen lanes, i.e. four groups of 4.
// Each operation rounds exactly like the one-lane version. Include only
// from files compiled with AVX-512 (F, DQ).
#pragma once
#include <immintrin.h>

#include "kernels/simd/lanes_f32_avx512.h"
#include "kernels/simd/vmath_lanes.h"

namespace vantrel {
namespace vmath {
namespace {

// The zero-masking forms with every lane kept compute the plain
// instructions; the plain intrinsics start from an undefined register that
// GCC 12 reports as uninitialised wherever they are inlined.
constexpr __mmask16 kAllLanes = 0xFFFF;

struct VmathLanesAvx512 : LanesF32Avx512 {
    // Constant first: a NaN input is returned as the second operand.
    static V min_keep_nan(V z, V c) { return _mm512_maskz_min_ps(kAllLanes, c, z); }
    static V max_keep_nan(V z, V c) { return _mm512_maskz_max_ps(kAllLanes, c, z); }
    // v > acc ? v : acc per lane (a NaN v leaves acc).
    static V max_skip_nan(V acc, V v) { return _mm512_maskz_max_ps(kAllLanes, v, acc); }
    static V round(V v) {
        return _mm512_maskz_roundscale_ps(kAllLanes, v, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    }
    static V div(V a, V b) { return _mm512_div_ps(a, b); }
    static V pow2i(V k) {
        const __m512i e = _mm512_maskz_slli_epi32(
            kAllLanes, _mm512_add_epi32(_mm512_maskz_cvttps_epi32(kAllLanes, k), _mm512_set1_epi32(127)), 23);
        return _mm512_castsi512_ps(e);
    }
    static V negate_if_odd(V y, V k) {
        const __mmask16 small = _mm512_cmp_ps_mask(_mm512_abs_ps(k), _mm512_set1_ps(kParityLimit), _CMP_LT_OQ);
        const __m512i sign = _mm512_maskz_slli_epi32(small, _mm512_maskz_cvttps_epi32(kAllLanes, k), 31);
        return _mm512_castsi512_ps(_mm512_xor_si512(_mm512_castps_si512(y), sign));
    }
};

}  // namespace

static inline __m512 vexp_avx512(__m512 z) { return vexp_lanes<VmathLanesAvx512>(z); }
static inline __m512 recip_avx512(__m512 d) { return recip_lanes<VmathLanesAvx512>(d); }
static inline __m512 vsin_avx512(__m512 x) { return vsin_lanes<VmathLanesAvx512>(x); }

}  // namespace vmath
}  // namespace vantrel
