#include <arm_neon.h>

#include "bench/int8_peak.h"

namespace vantrel_bench {

int32_t sdot_loop_neon(int64_t iters) {
    int32x4_t acc[kInt8PerIter];
    for (int i = 0; i < kInt8PerIter; ++i) acc[i] = vdupq_n_s32(i);
    int8x16_t a = vdupq_n_s8(3), b = vdupq_n_s8(5);
    for (int64_t it = 0; it < iters; ++it) {
        for (int i = 0; i < kInt8PerIter; ++i) acc[i] = vdotq_s32(acc[i], a, b);
        __asm__ volatile("" : "+w"(a), "+w"(b));
    }
    int32x4_t s = acc[0];
    for (int i = 1; i < kInt8PerIter; ++i) s = vaddq_s32(s, acc[i]);
    return vaddvq_s32(s);
}

}  // namespace vantrel_bench
