#include <arm_neon.h>

#include "bench/fma_peak.h"

namespace vantrel_bench {

float fma_loop_neon(int64_t iters) {
    float32x4_t acc[kFmaPerIter];
    for (int i = 0; i < kFmaPerIter; ++i) acc[i] = vdupq_n_f32(float(i));
    const float32x4_t m = vdupq_n_f32(0.999999f), c = vdupq_n_f32(1e-6f);
    for (int64_t it = 0; it < iters; ++it)
        for (int i = 0; i < kFmaPerIter; ++i) acc[i] = vfmaq_f32(c, acc[i], m);
    float32x4_t s = acc[0];
    for (int i = 1; i < kFmaPerIter; ++i) s = vaddq_f32(s, acc[i]);
    return vaddvq_f32(s);
}

}  // namespace vantrel_bench
