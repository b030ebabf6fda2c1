#include "kernels/elementwise/channel_mul_f32.h"
#include "kernels/elementwise/channel_mul_f32_loops.h"
#include "kernels/simd/lanes_f32_avx2.h"

namespace vantrel {

void k_channel_mul_f32_avx2(const float* x, const float* s, float* y, int32_t rows, int32_t c, void*) {
    channel_mul_lanes<LanesF32Avx2>(x, s, y, rows, c);
}

}  // namespace vantrel
