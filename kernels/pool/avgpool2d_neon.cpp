// Windowed and adaptive average pooling on Advanced SIMD.
#include <arm_neon.h>

#include "kernels/pool/avgpool2d.h"
#include "kernels/pool/avgpool2d_loops.h"
#include "kernels/simd/lanes_f32_neon.h"

namespace vantrel {

namespace {
struct AvgF32 : LanesF32Neon {
    static V div(V a, V b) { return vdivq_f32(a, b); }
};
}  // namespace

VANTREL_AVGPOOL2D_KERNELS(_neon, AvgF32)

}  // namespace vantrel
