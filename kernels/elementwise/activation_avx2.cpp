// Activation kernels on eight lanes: two groups of 4 per register, a lone
// last group in a partial register, then the scalar tail (activation.h).
#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/activation_loops.h"
#include "kernels/simd/vmath_avx2.h"

namespace vantrel {

namespace {
struct ActLanesAvx2 : vmath::VmathLanesAvx2 {
    static V leaky(V v, V a) {
        return _mm256_blendv_ps(_mm256_mul_ps(a, v), v, _mm256_cmp_ps(v, _mm256_setzero_ps(), _CMP_GE_OQ));
    }
};
}  // namespace

VANTREL_ACTIVATION_KERNELS(avx2, ActLanesAvx2)

}  // namespace vantrel
