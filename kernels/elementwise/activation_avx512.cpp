// Activation kernels on sixteen lanes: four groups of 4 per register, the
// last one to three groups under a mask, then the scalar tail (activation.h).
// GCC 12 flags the deliberately undefined pass-through operands inside its
// AVX-512 intrinsic headers as maybe-uninitialized.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "kernels/elementwise/activation.h"
#include "kernels/elementwise/activation_loops.h"
#include "kernels/simd/vmath_avx512.h"

namespace vantrel {

namespace {
struct ActLanesAvx512 : vmath::VmathLanesAvx512 {
    static V leaky(V v, V a) {
        return _mm512_mask_blend_ps(_mm512_cmp_ps_mask(v, _mm512_setzero_ps(), _CMP_GE_OQ), _mm512_mul_ps(a, v), v);
    }
};
}  // namespace

VANTREL_ACTIVATION_KERNELS(avx512, ActLanesAvx512)

}  // namespace vantrel
