// Windowed and adaptive average pooling on AVX2.
#include <immintrin.h>

#include "kernels/pool/avgpool2d.h"
#include "kernels/pool/avgpool2d_loops.h"
#include "kernels/simd/lanes_f32_avx2.h"

namespace vantrel {

namespace {
struct AvgF32 : LanesF32Avx2 {
    static V div(V a, V b) { return _mm256_div_ps(a, b); }
};
}  // namespace

VANTREL_AVGPOOL2D_KERNELS(_avx2, AvgF32)

}  // namespace vantrel
