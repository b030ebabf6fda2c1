// int8 depthwise 3x3 on Advanced SIMD: 16 channels per block, widening
// 8-bit multiplies into four 4-lane int32 sums, requantize with SQRDMULH
// and SRSHL, saturating narrow to int8.
#include <arm_neon.h>

#include "kernels/conv/conv2d_s8_depthwise.h"
#include "kernels/conv/conv2d_s8_depthwise_loops.h"

namespace vantrel {

namespace {
// SQRDMULH and SQRSHL are steps 2 and 3 of requantize, SQADD its saturating
// add of out_zp. The shift is clamped to [-32, 32] (beyond them values round
// to 0 or saturate) because SQRSHL reads only its low byte.
inline int32x4_t requant4(int32x4_t acc, const int32_t* bias32, const int32_t* m, const int32_t* e,
                          int32x4_t zp) {
    int32x4_t x = bias32 ? vaddq_s32(acc, vld1q_s32(bias32)) : acc;
    int32x4_t s = vminq_s32(vmaxq_s32(vld1q_s32(e), vdupq_n_s32(-32)), vdupq_n_s32(32));
    return vqaddq_s32(vqrshlq_s32(vqrdmulhq_s32(x, vld1q_s32(m)), s), zp);
}

struct NeonPixel {
    static void run(const int8_t* const* taps, const int8_t* w_tap_major, const int32_t* bias32,
                    const int32_t* multiplier, const int32_t* shift, int8_t out_zp, int8_t* out,
                    int64_t c) {
        const int32x4_t zp = vdupq_n_s32(out_zp);
        int64_t ch = 0;
        for (; ch + 16 <= c; ch += 16) {
            int32x4_t a0 = vdupq_n_s32(0), a1 = a0, a2 = a0, a3 = a0;
            for (int t = 0; t < 9; ++t) {
                const int8x16_t x = vld1q_s8(taps[t] + ch), wv = vld1q_s8(w_tap_major + t * c + ch);
                const int16x8_t lo = vmull_s8(vget_low_s8(x), vget_low_s8(wv));
                const int16x8_t hi = vmull_high_s8(x, wv);
                a0 = vaddw_s16(a0, vget_low_s16(lo));
                a1 = vaddw_high_s16(a1, lo);
                a2 = vaddw_s16(a2, vget_low_s16(hi));
                a3 = vaddw_high_s16(a3, hi);
            }
            const int32_t* b = bias32 ? bias32 + ch : nullptr;
            a0 = requant4(a0, b, multiplier + ch, shift + ch, zp);
            a1 = requant4(a1, b ? b + 4 : nullptr, multiplier + ch + 4, shift + ch + 4, zp);
            a2 = requant4(a2, b ? b + 8 : nullptr, multiplier + ch + 8, shift + ch + 8, zp);
            a3 = requant4(a3, b ? b + 12 : nullptr, multiplier + ch + 12, shift + ch + 12, zp);
            const int16x8_t s01 = vcombine_s16(vqmovn_s32(a0), vqmovn_s32(a1));
            const int16x8_t s23 = vcombine_s16(vqmovn_s32(a2), vqmovn_s32(a3));
            vst1q_s8(out + ch, vcombine_s8(vqmovn_s16(s01), vqmovn_s16(s23)));
        }
        for (; ch < c; ++ch)
            out[ch] = depthwise3x3_channel_s8(taps, w_tap_major, bias32, multiplier, shift, out_zp, ch, c);
    }
};
}  // namespace

void conv2d_s8_depthwise3x3_neon(VANTREL_DEPTHWISE3X3_S8_ARGS) {
    depthwise3x3_s8<NeonPixel>(in, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out, c, h,
                               w, stride);
}

void conv2d_s8_depthwise3x3_rows_neon(VANTREL_DEPTHWISE3X3_ROWS_S8_ARGS) {
    depthwise3x3_band_s8<NeonPixel>(in, lo, w_tap_major, bias32, multiplier, shift, in_zp, out_zp, out, c, h, w, stride,
                              oy0, oy1);
}

}  // namespace vantrel
