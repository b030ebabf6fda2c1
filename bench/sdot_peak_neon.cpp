#include <arm_neon.h>

#include "bench/int8_peak.h"

namespace vantrel_bench {

// Written in assembly, like the x86 loops, so that what is timed is exactly
// twelve independent sdot per iteration.
int32_t sdot_loop_neon(int64_t iters) {
    static_assert(kInt8PerIter == 12, "twelve chains below");
    int32x4_t c0 = vdupq_n_s32(0), c1 = vdupq_n_s32(1), c2 = vdupq_n_s32(2), c3 = vdupq_n_s32(3),
              c4 = vdupq_n_s32(4), c5 = vdupq_n_s32(5), c6 = vdupq_n_s32(6), c7 = vdupq_n_s32(7),
              c8 = vdupq_n_s32(8), c9 = vdupq_n_s32(9), c10 = vdupq_n_s32(10), c11 = vdupq_n_s32(11);
    const int8x16_t a = vdupq_n_s8(3), b = vdupq_n_s8(5);
#define VANTREL_STEP(c) "sdot %[" c "].4s, %[a].16b, %[b].16b\n\t"
    for (int64_t it = 0; it < iters; ++it)
        __asm__ volatile(
            VANTREL_STEP("c0") VANTREL_STEP("c1") VANTREL_STEP("c2") VANTREL_STEP("c3")
            VANTREL_STEP("c4") VANTREL_STEP("c5") VANTREL_STEP("c6") VANTREL_STEP("c7")
            VANTREL_STEP("c8") VANTREL_STEP("c9") VANTREL_STEP("c10") VANTREL_STEP("c11")
            : [c0] "+w"(c0), [c1] "+w"(c1), [c2] "+w"(c2), [c3] "+w"(c3), [c4] "+w"(c4),
              [c5] "+w"(c5), [c6] "+w"(c6), [c7] "+w"(c7), [c8] "+w"(c8), [c9] "+w"(c9),
              [c10] "+w"(c10), [c11] "+w"(c11)
            : [a] "w"(a), [b] "w"(b));
#undef VANTREL_STEP
    int32x4_t s = vaddq_s32(vaddq_s32(vaddq_s32(c0, c1), vaddq_s32(c2, c3)),
                            vaddq_s32(vaddq_s32(c4, c5), vaddq_s32(c6, c7)));
    s = vaddq_s32(s, vaddq_s32(vaddq_s32(c8, c9), vaddq_s32(c10, c11)));
    return vaddvq_s32(s);
}

}  // namespace vantrel_bench
