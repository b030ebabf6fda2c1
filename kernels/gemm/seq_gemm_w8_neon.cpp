// Neon weight-only int8 dot products: lanes 0-3 and 4-7 in two registers.
#include <arm_neon.h>

#include <algorithm>
#include <cstring>

#include "kernels/gemm/seq_gemm_w8.h"

namespace vantrel {

namespace {

float dot_w8_neon(const float* x, const int8_t* q, const float* scales, int64_t k, int64_t group) {
    float32x4_t acc_lo = vdupq_n_f32(0.0f), acc_hi = acc_lo;
    for (int64_t k0 = 0, g = 0; k0 < k; k0 += group, ++g) {
        const int64_t k1 = std::min(k, k0 + group);
        float32x4_t lo = vdupq_n_f32(0.0f), hi = lo;
        float xs[8];
        int8_t qs[8];
        for (int64_t i = k0; i < k1; i += 8) {
            const float* xp = x + i;
            const int8_t* qp = q + i;
            if (i + 8 > k1) {  // zero-padded last block of the group
                std::memset(xs, 0, sizeof xs);
                std::memset(qs, 0, sizeof qs);
                std::memcpy(xs, xp, size_t(k1 - i) * 4);
                std::memcpy(qs, qp, size_t(k1 - i));
                xp = xs;
                qp = qs;
            }
            const int16x8_t w = vmovl_s8(vld1_s8(qp));
            lo = vfmaq_f32(lo, vld1q_f32(xp), vcvtq_f32_s32(vmovl_s16(vget_low_s16(w))));
            hi = vfmaq_f32(hi, vld1q_f32(xp + 4), vcvtq_f32_s32(vmovl_s16(vget_high_s16(w))));
        }
        acc_lo = vfmaq_n_f32(acc_lo, lo, scales[g]);
        acc_hi = vfmaq_n_f32(acc_hi, hi, scales[g]);
    }
    float lanes[8];
    vst1q_f32(lanes, acc_lo);
    vst1q_f32(lanes + 4, acc_hi);
    return w8_lane_total(lanes);
}

}  // namespace

void k_seq_gemm_w8_f32_neon(const float* x, const int8_t* q, const float* scales, const float* bias,
                            float* y, int32_t t, int32_t k, int32_t n, int32_t group, void*) {
    seq_gemm_w8_rows(x, q, scales, bias, y, t, k, n, group, &dot_w8_neon);
}

}  // namespace vantrel
