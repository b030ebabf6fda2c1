// Activation kernels on Advanced SIMD: one group of 4 per register, then
// the scalar tail (activation.h).
#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/activation_loops.h"
#include "kernels/simd/vmath_neon.h"

namespace vantrel {

namespace {
struct ActLanesNeon : vmath::VmathLanesNeon {
    static V leaky(V v, V a) { return vbslq_f32(vcgeq_f32(v, vdupq_n_f32(0.0f)), v, vmulq_f32(a, v)); }
};
}  // namespace

VANTREL_ACTIVATION_KERNELS(neon, ActLanesNeon)

}  // namespace vantrel
