#include "kernels/attention/causal_attention_f32.h"
#include "kernels/attention/causal_attention_f32_loops.h"
#include "kernels/simd/lanes_f32_neon.h"

namespace vantrel {

namespace {

struct CausalLanesNeon : LanesF32Neon {
    // Lanes 0..3 in a[0], 4..7 in a[1]: ((l0+l1)+(l2+l3)) + ((l4+l5)+(l6+l7)).
    static float hsum8(const V* a) {
        const float32x4_t p = vpaddq_f32(a[0], a[1]);
        const float32x4_t p2 = vpaddq_f32(p, p);
        return vgetq_lane_f32(p2, 0) + vgetq_lane_f32(p2, 1);
    }
    // Four sums, times scale, in the same order: pair sums, quad sums, then the halves.
    static void hsum8x4_scaled(const V* a, const V* b, const V* c, const V* d, float scale, float* out) {
        const float32x4_t ab = vpaddq_f32(vpaddq_f32(a[0], a[1]), vpaddq_f32(b[0], b[1]));
        const float32x4_t cd = vpaddq_f32(vpaddq_f32(c[0], c[1]), vpaddq_f32(d[0], d[1]));
        vst1q_f32(out, vmulq_n_f32(vpaddq_f32(ab, cd), scale));
    }
    // m = s[0], then m = s[j] > m ? s[j] : m, lane by lane as a compare and
    // select (vmaxq would let a NaN through), the lanes meeting by the same
    // rule.
    static float row_max(const float* s, int64_t n) {
        float m = s[0];
        int64_t j = 1;
        if (n >= 9) {
            float32x4_t v = vdupq_n_f32(m);
            for (; j + 4 <= n; j += 4) {
                const float32x4_t x = vld1q_f32(s + j);
                v = vbslq_f32(vcgtq_f32(x, v), x, v);
            }
            float l[4];
            vst1q_f32(l, v);
            for (float x : l) m = x > m ? x : m;
        }
        for (; j < n; ++j) m = s[j] > m ? s[j] : m;
        return m;
    }
};

}  // namespace

void k_causal_attention_f32_neon(const float* q, const float* k, const float* v, float* kv_cache,
                                 int32_t cache_position, int32_t capacity, float* out,
                                 int32_t tokens, float rope_theta, int32_t num_q_heads,
                                 int32_t num_kv_heads, int32_t head_dim, int32_t rope_position,
                                 uint8_t /*cache_flag*/, float* work, void* /*stream*/) {
    causal_attention_run<CausalOpsLanes<CausalLanesNeon>>(q, k, v, kv_cache, cache_position, capacity, out,
                                                          tokens, rope_theta, num_q_heads, num_kv_heads,
                                                          head_dim, rope_position, work);
}

}  // namespace vantrel
