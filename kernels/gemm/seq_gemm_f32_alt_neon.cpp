// Armv8.2 dot products: 64 bytes per step into four sdot accumulators, then
// 16-byte steps, one 8-byte step and single bytes.
#include <arm_neon.h>

#include "kernels/gemm/seq_gemm_f32_alt.h"

namespace vantrel {

namespace {

struct Dot {
    using Acc = int32x4_t;
    static constexpr int64_t kBytes = 16;
    static void step(Acc& acc, const int8_t* a, const int8_t* b) { acc = vdotq_s32(acc, vld1q_s8(a), vld1q_s8(b)); }
};

int32_t dot_s8_neon(const int8_t* a, const int8_t* b, int64_t k) {
    int32x4_t acc0 = vdupq_n_s32(0), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    int64_t i = 0;
    dot_s8_steps<Dot>(a, b, k, i, acc0, acc1, acc2, acc3);
    int32x2_t acc8 = vdup_n_s32(0);
    if (i + 8 <= k) {
        acc8 = vdot_s32(acc8, vld1_s8(a + i), vld1_s8(b + i));
        i += 8;
    }
    int32x4_t s = vaddq_s32(vaddq_s32(acc0, acc1), vaddq_s32(acc2, acc3));
    return dot_s8_finish(a, b, i, k, uint32_t(vaddvq_s32(s)) + uint32_t(vaddv_s32(acc8)));
}

}  // namespace

VANTREL_SEQ_GEMM_F32_ALT_KERNEL(k_seq_gemm_f32_alt_neon, dot_s8_neon)

}  // namespace vantrel
