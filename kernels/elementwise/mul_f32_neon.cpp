#include <arm_neon.h>

#include "kernels/elementwise/mul_f32.h"

namespace vantrel {

void k_mul_f32_neon(const float* a, const float* b, float* out, int32_t n, void*) {
    int64_t i = 0;
    for (; i + 4 <= n; i += 4) vst1q_f32(out + i, vmulq_f32(vld1q_f32(a + i), vld1q_f32(b + i)));
    for (; i < n; ++i) out[i] = a[i] * b[i];
}

}  // namespace vantrel
