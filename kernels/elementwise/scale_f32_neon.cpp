#include <arm_neon.h>

#include "kernels/elementwise/scale_f32.h"

namespace vantrel {

void k_scale_f32_neon(const float* x, float* y, int32_t n, void*, float scalar) {
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) vst1q_f32(y + i, vmulq_n_f32(vld1q_f32(x + i), scalar));
    for (; i < n; ++i) y[i] = x[i] * scalar;
}

}  // namespace vantrel
