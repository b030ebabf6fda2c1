// The sixteen-lane structs of the AVX-512 activation kernels, shared with
// the float matrix product, whose tiles apply the same activations in
// registers (so with the same bits). Include only from files compiled with
// AVX-512 (F, DQ).
#pragma once
#include <immintrin.h>

#include "kernels/simd/vmath_avx512.h"

namespace vantrel {
namespace {

// activation_loops.h's lane struct.
struct ActLanesAvx512 : vmath::VmathLanesAvx512 {
    static V leaky(V v, V a) {
        return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_GE_OQ), _mm512_mul_ps(a, v), v);
    }
};

// activation_ungrouped_loops.h's lane struct.
struct UngroupedLanesAvx512 : vmath::VmathLanesAvx512 {
    static V abs(V v) { return _mm512_abs_ps(v); }
    // max/min return their second operand on NaN or equal zeros.
    static V floor_at(V v, V c) { return _mm512_max_ps(c, v); }
    static V ceil_at(V v, V c) { return _mm512_min_ps(c, v); }
    static V if_negative(V x, V a, V b) {
        return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(x, _mm512_setzero_ps(), _CMP_LT_OQ), b, a);
    }
    static V vexp(V v) { return vmath::vexp_lanes<vmath::VmathLanesAvx512>(v); }
};

}  // namespace
}  // namespace vantrel
