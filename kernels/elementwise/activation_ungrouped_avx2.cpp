// The activations of activation_ungrouped.h on eight lanes.
#include "kernels/elementwise/activation_ungrouped.h"
#include "kernels/elementwise/activation_ungrouped_loops.h"
#include "kernels/simd/vmath_avx2.h"

namespace vantrel {

namespace {
struct UngroupedLanesAvx2 : vmath::VmathLanesAvx2 {
    static V abs(V v) { return _mm256_andnot_ps(_mm256_set1_ps(-0.0f), v); }
    // max/min return their second operand on NaN or equal zeros.
    static V floor_at(V v, V c) { return _mm256_max_ps(c, v); }
    static V ceil_at(V v, V c) { return _mm256_min_ps(c, v); }
    static V if_negative(V x, V a, V b) { return _mm256_blendv_ps(b, a, _mm256_cmp_ps(x, _mm256_setzero_ps(), _CMP_LT_OQ)); }
    static V vexp(V v) { return vmath::vexp_lanes<vmath::VmathLanesAvx2>(v); }
};
}  // namespace

VANTREL_UNGROUPED_ACTIVATION_KERNELS(_avx2, UngroupedLanesAvx2)

}  // namespace vantrel
