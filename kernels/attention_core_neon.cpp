// Attention core on Advanced SIMD: four keys per register for the scores,
// four features per register for the weighted values.
#include <arm_neon.h>
#include <math.h>

#include "kernels/attention_core.h"
#include "kernels/attention_core_loops.h"
#include "kernels/vmath_neon.h"

namespace vantrel {

namespace {

struct AttentionOpsNeon {
    static void scores(const float* q, const float* kt, int64_t stride, int64_t n, int64_t d,
                       float scale, float* s) {
        const float32x4_t vs = vdupq_n_f32(scale);
        int64_t j = 0;
        for (; j + 16 <= n; j += 16) {
            float32x4_t a0 = vdupq_n_f32(0.0f), a1 = a0, a2 = a0, a3 = a0;
            for (int64_t c = 0; c < d; ++c) {
                const float32x4_t qc = vdupq_n_f32(q[c]);
                const float* k = kt + c * stride + j;
                a0 = vfmaq_f32(a0, qc, vld1q_f32(k));
                a1 = vfmaq_f32(a1, qc, vld1q_f32(k + 4));
                a2 = vfmaq_f32(a2, qc, vld1q_f32(k + 8));
                a3 = vfmaq_f32(a3, qc, vld1q_f32(k + 12));
            }
            vst1q_f32(s + j, vmulq_f32(vs, a0));
            vst1q_f32(s + j + 4, vmulq_f32(vs, a1));
            vst1q_f32(s + j + 8, vmulq_f32(vs, a2));
            vst1q_f32(s + j + 12, vmulq_f32(vs, a3));
        }
        for (; j + 4 <= n; j += 4) {
            float32x4_t a0 = vdupq_n_f32(0.0f);
            for (int64_t c = 0; c < d; ++c) a0 = vfmaq_f32(a0, vdupq_n_f32(q[c]), vld1q_f32(kt + c * stride + j));
            vst1q_f32(s + j, vmulq_f32(vs, a0));
        }
        for (; j < n; ++j) {
            float acc = 0.0f;
            for (int64_t c = 0; c < d; ++c) acc = ::fmaf(q[c], kt[c * stride + j], acc);
            s[j] = scale * acc;
        }
    }
    static void weights(const float* s, int64_t n, float m, float* p) {
        const int64_t groups = n / 4 * 4;
        const float32x4_t vm = vdupq_n_f32(m);
        int64_t j = 0;
        for (; j < groups; j += 4) vst1q_f32(p + j, vmath::vexp_neon(vsubq_f32(vld1q_f32(s + j), vm)));
        for (; j < n; ++j) p[j] = ::expf(s[j] - m);
    }
    static void accumulate(float* acc, float a, const float* p, const float* v, int64_t n, int64_t d) {
        const float32x4_t va = vdupq_n_f32(a);
        int64_t c = 0;
        for (; c + 16 <= d; c += 16) {
            float32x4_t a0 = vmulq_f32(vld1q_f32(acc + c), va);
            float32x4_t a1 = vmulq_f32(vld1q_f32(acc + c + 4), va);
            float32x4_t a2 = vmulq_f32(vld1q_f32(acc + c + 8), va);
            float32x4_t a3 = vmulq_f32(vld1q_f32(acc + c + 12), va);
            for (int64_t j = 0; j < n; ++j) {
                const float32x4_t w = vdupq_n_f32(p[j]);
                const float* vj = v + j * d + c;
                a0 = vfmaq_f32(a0, w, vld1q_f32(vj));
                a1 = vfmaq_f32(a1, w, vld1q_f32(vj + 4));
                a2 = vfmaq_f32(a2, w, vld1q_f32(vj + 8));
                a3 = vfmaq_f32(a3, w, vld1q_f32(vj + 12));
            }
            vst1q_f32(acc + c, a0);
            vst1q_f32(acc + c + 4, a1);
            vst1q_f32(acc + c + 8, a2);
            vst1q_f32(acc + c + 12, a3);
        }
        for (; c + 4 <= d; c += 4) {
            float32x4_t a0 = vmulq_f32(vld1q_f32(acc + c), va);
            for (int64_t j = 0; j < n; ++j) a0 = vfmaq_f32(a0, vdupq_n_f32(p[j]), vld1q_f32(v + j * d + c));
            vst1q_f32(acc + c, a0);
        }
        for (; c < d; ++c) {
            float x = acc[c] * a;
            for (int64_t j = 0; j < n; ++j) x = ::fmaf(p[j], v[j * d + c], x);
            acc[c] = x;
        }
    }
};

}  // namespace

void attention_core_f32_neon(const float* qkv, float* out, int32_t tokens, int32_t embed,
                             int32_t num_heads) {
    attention_core_run<AttentionOpsNeon>(qkv, out, tokens, embed, num_heads);
}

}  // namespace vantrel
