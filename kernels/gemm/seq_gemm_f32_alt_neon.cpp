// Armv8.2 dot products: 64 bytes per step into four sdot accumulators, then
// 16-byte steps, one 8-byte step and single bytes.
#include <arm_neon.h>

#include "kernels/gemm/seq_gemm_f32_alt.h"

namespace vantrel {

namespace {

int32_t dot_s8_neon(const int8_t* a, const int8_t* b, int64_t k) {
    int32x4_t acc0 = vdupq_n_s32(0), acc1 = acc0, acc2 = acc0, acc3 = acc0;
    int64_t i = 0;
    for (; i + 64 <= k; i += 64) {
        acc0 = vdotq_s32(acc0, vld1q_s8(a + i), vld1q_s8(b + i));
        acc1 = vdotq_s32(acc1, vld1q_s8(a + i + 16), vld1q_s8(b + i + 16));
        acc2 = vdotq_s32(acc2, vld1q_s8(a + i + 32), vld1q_s8(b + i + 32));
        acc3 = vdotq_s32(acc3, vld1q_s8(a + i + 48), vld1q_s8(b + i + 48));
    }
    for (; i + 16 <= k; i += 16) acc0 = vdotq_s32(acc0, vld1q_s8(a + i), vld1q_s8(b + i));
    int32x2_t acc8 = vdup_n_s32(0);
    if (i + 8 <= k) {
        acc8 = vdot_s32(acc8, vld1_s8(a + i), vld1_s8(b + i));
        i += 8;
    }
    int32x4_t s = vaddq_s32(vaddq_s32(acc0, acc1), vaddq_s32(acc2, acc3));
    uint32_t acc = uint32_t(vaddvq_s32(s)) + uint32_t(vaddv_s32(acc8));
    for (; i < k; ++i) acc += uint32_t(int32_t(a[i]) * int32_t(b[i]));
    return int32_t(acc);
}

}  // namespace

void k_seq_gemm_f32_alt_neon(const float* x, const int8_t* q, const float* scale,
                             const float* bias, float* y, int32_t k, int32_t n, void*) {
    seq_gemm_f32_alt_rows(x, q, scale, bias, y, k, n, &dot_s8_neon);
}

}  // namespace vantrel
