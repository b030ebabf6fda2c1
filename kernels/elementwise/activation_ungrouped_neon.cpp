// The activations of activation_ungrouped.h on Advanced SIMD.
#include "kernels/elementwise/activation_ungrouped.h"
#include "kernels/elementwise/activation_ungrouped_loops.h"
#include "kernels/simd/vmath_neon.h"

namespace vantrel {

namespace {
struct UngroupedLanesNeon : vmath::VmathLanesNeon {
    static V abs(V v) { return vabsq_f32(v); }
    // Compare and select rather than FMAX/FMIN, which turn -0 into +0
    // against a bound of 0 and so would differ from the other paths.
    static V floor_at(V v, V c) { return vbslq_f32(vcgtq_f32(c, v), c, v); }
    static V ceil_at(V v, V c) { return vbslq_f32(vcltq_f32(c, v), c, v); }
    static V if_negative(V x, V a, V b) { return vbslq_f32(vcltq_f32(x, vdupq_n_f32(0.0f)), a, b); }
    static V vexp(V v) { return vmath::vexp_lanes<vmath::VmathLanesNeon>(v); }
};
}  // namespace

VANTREL_UNGROUPED_ACTIVATION_KERNELS(_neon, UngroupedLanesNeon)

}  // namespace vantrel
