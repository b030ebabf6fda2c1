#include <arm_neon.h>

#include "kernels/elementwise/add_f32.h"

namespace vantrel {

void k_add_f32_neon(const float* a, const float* b, float* out, int32_t n, bool relu, void*) {
    int64_t end = n < 0 ? 0 : n;
    int64_t groups_end = end / 4 * 4;
    const float32x4_t zero = vdupq_n_f32(0.0f);
    int64_t i = 0;
    for (; i < groups_end; i += 4) {
        float32x4_t s = vaddq_f32(vld1q_f32(a + i), vld1q_f32(b + i));
        vst1q_f32(out + i, relu ? vmaxq_f32(s, zero) : s);
    }
    for (; i < end; ++i) out[i] = relu ? add_f32::relu_tail(a[i] + b[i]) : a[i] + b[i];
}

}  // namespace vantrel
