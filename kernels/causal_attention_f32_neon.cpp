#include <arm_neon.h>
#include <math.h>

#include "kernels/causal_attention_f32.h"
#include "kernels/causal_attention_f32_loops.h"

namespace vantrel {

namespace {

// Lanes 0..3 in lo, 4..7 in hi: ((l0+l1)+(l2+l3)) + ((l4+l5)+(l6+l7)).
inline float lanes8_sum(float32x4_t lo, float32x4_t hi) {
    const float32x4_t p = vpaddq_f32(lo, hi);
    const float32x4_t p2 = vpaddq_f32(p, p);
    return vgetq_lane_f32(p2, 0) + vgetq_lane_f32(p2, 1);
}

struct CausalOpsNeon {
    static void rope(float* x, const float* cs, const float* sn, int64_t half) {
        float* y = x + half;
        int64_t i = 0;
        for (; i + 4 <= half; i += 4) {
            const float32x4_t a = vld1q_f32(x + i), b = vld1q_f32(y + i);
            const float32x4_t c = vld1q_f32(cs + i), s = vld1q_f32(sn + i);
            vst1q_f32(x + i, vfmsq_f32(vmulq_f32(c, a), s, b));
            vst1q_f32(y + i, vfmaq_f32(vmulq_f32(c, b), s, a));
        }
        for (; i < half; ++i) {
            const float a = x[i], b = y[i];
            x[i] = fmaf(-sn[i], b, cs[i] * a);
            y[i] = fmaf(sn[i], a, cs[i] * b);
        }
    }

    static void scores(const float* q, const float* keys, int64_t stride, int64_t n, int64_t d,
                       float scale, float* s) {
        const int64_t d8 = d / 8 * 8;
        int64_t j = 0;
        // Two keys at a time keep four independent multiply-add chains.
        for (; j + 2 <= n; j += 2) {
            const float* k0 = keys + j * stride;
            const float* k1 = k0 + stride;
            float32x4_t a0 = vdupq_n_f32(0.0f), b0 = a0, a1 = a0, b1 = a0;
            for (int64_t c = 0; c < d8; c += 8) {
                const float32x4_t qa = vld1q_f32(q + c), qb = vld1q_f32(q + c + 4);
                a0 = vfmaq_f32(a0, qa, vld1q_f32(k0 + c));
                b0 = vfmaq_f32(b0, qb, vld1q_f32(k0 + c + 4));
                a1 = vfmaq_f32(a1, qa, vld1q_f32(k1 + c));
                b1 = vfmaq_f32(b1, qb, vld1q_f32(k1 + c + 4));
            }
            float r0 = lanes8_sum(a0, b0), r1 = lanes8_sum(a1, b1);
            for (int64_t c = d8; c < d; ++c) {
                r0 = fmaf(q[c], k0[c], r0);
                r1 = fmaf(q[c], k1[c], r1);
            }
            s[j] = scale * r0;
            s[j + 1] = scale * r1;
        }
        for (; j < n; ++j) {
            const float* kr = keys + j * stride;
            float32x4_t a = vdupq_n_f32(0.0f), b = a;
            for (int64_t c = 0; c < d8; c += 8) {
                a = vfmaq_f32(a, vld1q_f32(q + c), vld1q_f32(kr + c));
                b = vfmaq_f32(b, vld1q_f32(q + c + 4), vld1q_f32(kr + c + 4));
            }
            float r = lanes8_sum(a, b);
            for (int64_t c = d8; c < d; ++c) r = fmaf(q[c], kr[c], r);
            s[j] = scale * r;
        }
    }

    static void weighted_sum(const float* w, const float* vals, int64_t stride, int64_t n,
                             int64_t d, float* o) {
        int64_t c = 0;
        // Column blocks stay in registers across all j; each element's chain
        // still runs in ascending j.
        for (; c + 16 <= d; c += 16) {
            float32x4_t a0 = vdupq_n_f32(0.0f), a1 = a0, a2 = a0, a3 = a0;
            for (int64_t j = 0; j < n; ++j) {
                const float* vr = vals + j * stride + c;
                const float32x4_t wj = vdupq_n_f32(w[j]);
                a0 = vfmaq_f32(a0, wj, vld1q_f32(vr));
                a1 = vfmaq_f32(a1, wj, vld1q_f32(vr + 4));
                a2 = vfmaq_f32(a2, wj, vld1q_f32(vr + 8));
                a3 = vfmaq_f32(a3, wj, vld1q_f32(vr + 12));
            }
            vst1q_f32(o + c, a0);
            vst1q_f32(o + c + 4, a1);
            vst1q_f32(o + c + 8, a2);
            vst1q_f32(o + c + 12, a3);
        }
        for (; c + 4 <= d; c += 4) {
            float32x4_t a = vdupq_n_f32(0.0f);
            for (int64_t j = 0; j < n; ++j) a = vfmaq_f32(a, vdupq_n_f32(w[j]), vld1q_f32(vals + j * stride + c));
            vst1q_f32(o + c, a);
        }
        for (; c < d; ++c) {
            float a = 0.0f;
            for (int64_t j = 0; j < n; ++j) a = fmaf(w[j], vals[j * stride + c], a);
            o[c] = a;
        }
    }
};

}  // namespace

void k_causal_attention_f32_neon(const float* q, const float* k, const float* v, float* kv_cache,
                                 int32_t cache_position, int32_t capacity, float* out,
                                 int32_t tokens, float rope_theta, int32_t num_q_heads,
                                 int32_t num_kv_heads, int32_t head_dim, int32_t rope_position,
                                 uint8_t /*cache_flag*/, float* work, void* /*stream*/) {
    causal_attention_run<CausalOpsNeon>(q, k, v, kv_cache, cache_position, capacity, out, tokens,
                                        rope_theta, num_q_heads, num_kv_heads, head_dim,
                                        rope_position, work);
}

}  // namespace vantrel
