#include <arm_neon.h>

#include "kernels/conv/conv2d_f32_depthwise.h"
#include "kernels/conv/conv2d_f32_depthwise_loops.h"

namespace vantrel {

namespace {
// Keeps lanes with s > 0; NaN, -0 and negatives become +0.
inline float32x4_t relu4(float32x4_t s) {
    return vreinterpretq_f32_u32(vandq_u32(vreinterpretq_u32_f32(s), vcgtq_f32(s, vdupq_n_f32(0.0f))));
}

struct NeonPixel {
    static void run(const float* const* taps, const int64_t* index, int n, const float* w_taps,
                    const float* bias, float* out, int64_t cout, int64_t mult, bool relu) {
        int64_t o = 0;
        // Two vectors per step keep two independent FMA chains in flight.
        for (; o + 8 <= cout; o += 8) {
            float32x4_t a0 = vdupq_n_f32(0.0f), a1 = vdupq_n_f32(0.0f);
            for (int i = 0; i < n; ++i) {
                const float* wr = w_taps + index[i] * cout + o;
                float32x4_t x0, x1;
                if (mult == 1) {
                    x0 = vld1q_f32(taps[i] + o);
                    x1 = vld1q_f32(taps[i] + o + 4);
                } else {
                    float xs[8];
                    for (int l = 0; l < 8; ++l) xs[l] = taps[i][(o + l) / mult];
                    x0 = vld1q_f32(xs);
                    x1 = vld1q_f32(xs + 4);
                }
                a0 = vfmaq_f32(a0, x0, vld1q_f32(wr));
                a1 = vfmaq_f32(a1, x1, vld1q_f32(wr + 4));
            }
            if (bias) {
                a0 = vaddq_f32(a0, vld1q_f32(bias + o));
                a1 = vaddq_f32(a1, vld1q_f32(bias + o + 4));
            }
            if (relu) {
                a0 = relu4(a0);
                a1 = relu4(a1);
            }
            vst1q_f32(out + o, a0);
            vst1q_f32(out + o + 4, a1);
        }
        for (; o < cout; ++o)
            out[o] = depthwise_channel_f32(taps, index, n, w_taps, bias, o, o / mult, cout, relu);
    }
};
}  // namespace

VANTREL_DEPTHWISE_F32_ENTRY_POINTS(neon, NeonPixel)

}  // namespace vantrel
