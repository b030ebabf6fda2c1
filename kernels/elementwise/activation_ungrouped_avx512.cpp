// The activations of activation_ungrouped.h on sixteen lanes.
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "kernels/elementwise/activation_ungrouped.h"
#include "kernels/elementwise/activation_ungrouped_loops.h"
#include "kernels/simd/vmath_avx512.h"

namespace vantrel {

namespace {
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

VANTREL_UNGROUPED_ACTIVATION_KERNELS(_avx512, UngroupedLanesAvx512)

}  // namespace vantrel
